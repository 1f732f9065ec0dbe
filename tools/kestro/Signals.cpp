#include "Signals.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace kestro::tool {

struct TemporaryName::Slot {
    std::atomic<bool> claimed{false};
    std::atomic<bool> armed{false}; // the handler reads `path` only while set
    char path[4096];
};

namespace {

TemporaryName::Slot gSlots[8];
std::atomic<int> gSignals{0};
timer_t gWatchdog;
bool gHaveWatchdog = false;
constexpr long kGraceNanoseconds = 700'000'000; // the first signal's cleanup must fit in this

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the signal handler reads these");

[[noreturn]] void EndNow(const char* text, size_t bytes) {
    for (auto& slot : gSlots)
        if (slot.armed.load())
            unlink(slot.path);
    ssize_t ignored = write(2, text, bytes);
    (void)ignored;
    _exit(130);
}

void OnSignal(int) {
    if (gSignals.fetch_add(1) == 0) {
        const int saved = errno;
        if (gHaveWatchdog) {
            itimerspec when{};
            when.it_value.tv_nsec = kGraceNanoseconds;
            timer_settime(gWatchdog, 0, &when, nullptr);
        }
        errno = saved;
        return;
    }
    static const char text[] = "kestro: interrupted again; stopped at once\n";
    EndNow(text, sizeof text - 1);
}

void OnWatchdog(int) {
    static const char text[] =
        "kestro: interrupted; stopped at once (the step under way did not end in time)\n";
    EndNow(text, sizeof text - 1);
}

} // namespace

bool TemporaryName::Take(const char* path) {
    Release();
    const size_t n = std::strlen(path);
    for (auto& slot : gSlots) {
        bool expected = false;
        if (n >= sizeof slot.path || !slot.claimed.compare_exchange_strong(expected, true))
            continue;
        std::memcpy(slot.path, path, n + 1);
        slot.armed.store(true);
        slot_ = &slot;
        return true;
    }
    return false;
}

char* TemporaryName::data() {
    return slot_ ? slot_->path : nullptr;
}

void TemporaryName::Release() {
    if (slot_) {
        slot_->armed.store(false);
        slot_->claimed.store(false);
    }
    slot_ = nullptr;
}

bool Interrupted() {
    return gSignals.load() > 0;
}

void ClearInterrupt() {
    gSignals.store(0);
}

int InterruptCallback(void*) {
    return Interrupted() ? 1 : 0;
}

void InstallSignalHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocked read or write returns EINTR and the loop looks
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &sa, nullptr);
    sa.sa_handler = OnWatchdog;
    sigaction(SIGALRM, &sa, nullptr);
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = SIGALRM;
    gHaveWatchdog = timer_create(CLOCK_MONOTONIC, &event, &gWatchdog) == 0;
    signal(SIGPIPE, SIG_IGN);
}

} // namespace kestro::tool
