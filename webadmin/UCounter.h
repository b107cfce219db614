// The wait object of the web program: a pause between tries while the database is busy.
// (Not the counter database itself, which lives in counterdb/.)
#pragma once

#include <cstdint>

class TBaseDispatcher {
public:
    TBaseDispatcher() = default;
    TBaseDispatcher(const TBaseDispatcher&) = delete;
    TBaseDispatcher& operator=(const TBaseDispatcher&) = delete;

    // Waits Timeout milliseconds. Nothing in this system ends the wait early, so a plain
    // timed wait does what a wait on a never-signalled event would.
    void WaitForDispatch(uint16_t timeout);

    int32_t State = 0;
};
