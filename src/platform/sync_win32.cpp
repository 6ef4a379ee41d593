#include "platform/sync.h"

#include <windows.h>

#include <memory>

namespace platform {

struct Lock::Impl {
    CRITICAL_SECTION section;
};

Lock::Lock() {
    auto impl = std::make_unique<Impl>();
    if (InitializeCriticalSectionAndSpinCount(&impl->section, 1024))
        impl_ = std::move(impl);
}

Lock::~Lock() {
    if (impl_)
        DeleteCriticalSection(&impl_->section);
}

void Lock::lock() {
    EnterCriticalSection(&impl_->section);
}
void Lock::unlock() {
    LeaveCriticalSection(&impl_->section);
}

struct ManualResetEvent::Impl {
    HANDLE handle = nullptr;
};

ManualResetEvent::ManualResetEvent() {
    HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) {
        creationError_ = GetLastError();
        return;
    }
    impl_ = std::make_unique<Impl>();
    impl_->handle = handle;
}

ManualResetEvent::~ManualResetEvent() {
    if (impl_)
        CloseHandle(impl_->handle);
}

void ManualResetEvent::set() {
    SetEvent(impl_->handle);
}
void ManualResetEvent::reset() {
    ResetEvent(impl_->handle);
}

bool ManualResetEvent::isSet() const {
    return WaitForSingleObject(impl_->handle, 0) == WAIT_OBJECT_0;
}

bool ManualResetEvent::wait() {
    return WaitForSingleObject(impl_->handle, INFINITE) == WAIT_OBJECT_0;
}

bool ManualResetEvent::waitFor(unsigned long timeoutMs) {
    return WaitForSingleObject(impl_->handle, static_cast<DWORD>(timeoutMs)) == WAIT_OBJECT_0;
}

namespace {

DWORD WINAPI runQueued(LPVOID context) {
    std::unique_ptr<std::function<void()>> fn(static_cast<std::function<void()>*>(context));
    (*fn)();
    return 0;
}

} // namespace

unsigned long runOnPoolThread(std::function<void()> fn) {
    // The pool owns the function from a successful queueing on; runQueued frees it.
    auto owned = std::make_unique<std::function<void()>>(std::move(fn));
    if (!QueueUserWorkItem(runQueued, owned.get(), WT_EXECUTELONGFUNCTION))
        return GetLastError();
    owned.release();
    return 0;
}

} // namespace platform
