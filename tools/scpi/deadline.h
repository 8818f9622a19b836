#pragma once

#include <chrono>

namespace kestrel::scpi
{

// Every transport works to one deadline per stage: connect, then command and reply.
using Clock = std::chrono::steady_clock;

Clock::time_point deadlineAfter(double seconds);

// What is left of the deadline, rounded up; 0 once it has passed.
int millisecondsLeft(Clock::time_point deadline);

// poll() on one descriptor until one of the events or the deadline, through EINTR;
// false at the deadline or on a poll error.
bool waitFor(int fd, short events, Clock::time_point deadline);

// Sleeps before the next try of something that may succeed later (a lock another
// program holds): *pauseMs at first, doubling up to 50 ms, never past the deadline.
// False once the deadline has passed.
bool pauseBeforeRetry(Clock::time_point deadline, int* pauseMs);

} // namespace kestrel::scpi
