// The steady clock that every timing of the core reads. Components take it
// by reference so that tests can drive time by hand.
#pragma once

#include <chrono>

class TimeSource {
public:
    using Clock = std::chrono::steady_clock;

    virtual ~TimeSource() = default;
    virtual Clock::time_point Now() = 0;
};
