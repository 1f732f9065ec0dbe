#pragma once
// GoogleTest's own hook for platform pieces, found before its empty default. The Windows builds
// use the platform's threads, whose compiler library has no std::mutex or std::condition_variable;
// GoogleTest's one use of them, the start signal of its Windows threads, is given an event here.
#if defined(_WIN32)
#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() {
        if (event_)
            CloseHandle(event_);
    }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

} // namespace internal
} // namespace testing
#endif
