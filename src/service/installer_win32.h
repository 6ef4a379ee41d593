// What --install asks of the Windows service control manager beyond creating the service: a
// description and the recovery on failure. Built apart from the calls so that tests can read it.
#pragma once

#include <array>

#include <windows.h>

namespace service {

// The text that the Services console shows under Description.
extern const wchar_t* const kServiceDescription;

// Restart after 10, 30 and 60 seconds (the last action repeats for later failures); a day without
// a failure starts the count again. With the flag set, a stop that reports a non-zero exit code
// (a worker that failed) counts as a failure too, not only a process that ended unexpectedly.
// The structures point into this object, so it stays where it was made.
class FailureActions {
public:
    FailureActions();
    FailureActions(const FailureActions&) = delete;
    FailureActions& operator=(const FailureActions&) = delete;

    // SERVICE_CONFIG_FAILURE_ACTIONS and SERVICE_CONFIG_FAILURE_ACTIONS_FLAG.
    SERVICE_FAILURE_ACTIONSW* actions() { return &actions_; }
    SERVICE_FAILURE_ACTIONS_FLAG* flag() { return &flag_; }

private:
    std::array<SC_ACTION, 3> steps_;
    SERVICE_FAILURE_ACTIONSW actions_;
    SERVICE_FAILURE_ACTIONS_FLAG flag_;
};

} // namespace service
