// The monotonic clock on Windows.
#include "clock.h"

#include "win_util.h"

long long monotonicMillis() {
    return static_cast<long long>(GetTickCount64());
}

void sleepMillis(long millis) {
    Sleep(static_cast<DWORD>(millis));
}
