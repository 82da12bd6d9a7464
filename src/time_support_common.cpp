#include "time_support_common.h"

#include <sys/time.h>
#include <time.h>

uint64_t timeval_ms()
{
    struct timeval now;
    int retval = gettimeofday(&now, nullptr);
    if (retval < 0)
        return static_cast<uint64_t>(static_cast<int64_t>(retval));
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

uint64_t monotonic_ms()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}
