// The lock, the manual-reset event and the pool thread that the bridge needs.
#pragma once

#include <functional>
#include <memory>

namespace platform {

// A critical section with spin count 1024 on Windows, a mutex on POSIX.
class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    // False when the system could not create it (InitializeCriticalSectionAndSpinCount).
    bool valid() const { return impl_ != nullptr; }
    void lock();
    void unlock();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

class LockGuard {
public:
    explicit LockGuard(Lock& lock) : lock_(lock) { lock_.lock(); }
    ~LockGuard() { lock_.unlock(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    Lock& lock_;
};

// A manual-reset event, created unsignalled.
class ManualResetEvent {
public:
    ManualResetEvent();
    ~ManualResetEvent();
    ManualResetEvent(const ManualResetEvent&) = delete;
    ManualResetEvent& operator=(const ManualResetEvent&) = delete;

    // False when creation failed; creationError() then holds the system's code.
    bool valid() const { return impl_ != nullptr; }
    unsigned long creationError() const { return creationError_; }
    void set();
    void reset();
    bool isSet() const;
    // Waits without limit; false (code in lastError) when the wait itself failed.
    bool wait();
    // Waits at most timeoutMs; true when signalled.
    bool waitFor(unsigned long timeoutMs);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    unsigned long creationError_ = 0;
};

// Runs fn once on a pool thread meant for long work (QueueUserWorkItem with
// WT_EXECUTELONGFUNCTION on Windows, a detached thread on POSIX).
// Returns 0, or the system's error code when the work could not be queued.
unsigned long runOnPoolThread(std::function<void()> fn);

} // namespace platform
