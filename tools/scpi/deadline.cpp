#include "scpi/deadline.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>

namespace kestrel::scpi
{

Clock::time_point deadlineAfter(double seconds)
{
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int millisecondsLeft(Clock::time_point deadline)
{
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? int(left.count()) : 0;
}

bool waitFor(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, millisecondsLeft(deadline));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

bool pauseBeforeRetry(Clock::time_point deadline, int* pauseMs)
{
    const int left = millisecondsLeft(deadline);
    if (left == 0)
        return false;
    poll(nullptr, 0, std::min(*pauseMs, left));
    *pauseMs = std::min(*pauseMs * 2, 50);
    return true;
}

} // namespace kestrel::scpi
