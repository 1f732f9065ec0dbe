#pragma once
// A thread of the platform for tests. The codec and its tests are built with the platform's own
// threads (the library then takes nothing from the process that it does not give back), and with
// those the compiler's library has no std::thread or std::async.
#include <windows.h>

#include <functional>
#include <memory>

namespace kt {

class Thread {
public:
    Thread() = default;
    explicit Thread(std::function<void()> body)
        : body_(std::make_unique<std::function<void()>>(std::move(body))) {
        handle_ = CreateThread(nullptr, 0, Run, body_.get(), 0, nullptr);
        if (!handle_) // no second thread: run it here rather than not at all
            (*body_)();
    }
    Thread(Thread&& o) noexcept : handle_(o.handle_), body_(std::move(o.body_)) {
        o.handle_ = nullptr;
    }
    Thread& operator=(Thread&& o) noexcept {
        if (this != &o) {
            wait();
            handle_ = o.handle_;
            body_ = std::move(o.body_);
            o.handle_ = nullptr;
        }
        return *this;
    }
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // Like a std::async result, the thread is waited for when it goes out of scope.
    ~Thread() { wait(); }

    void wait() {
        if (!handle_)
            return;
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    static DWORD WINAPI Run(void* body) {
        (*static_cast<std::function<void()>*>(body))();
        return 0;
    }
    HANDLE handle_ = nullptr;
    std::unique_ptr<std::function<void()>> body_;
};

} // namespace kt
