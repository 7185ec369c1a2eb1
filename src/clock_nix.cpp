// The monotonic clock on Linux and macOS.
#include "clock.h"

#include <time.h>

#include <cerrno>

long long monotonicMillis() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void sleepMillis(long millis) {
    struct timespec pause = {millis / 1000, (millis % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}
