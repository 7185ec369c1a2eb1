// The monotonic clock and pauses that time limits and polls are measured
// with: wall-clock changes never shorten or stretch them.
#pragma once

// Milliseconds since an arbitrary fixed point.
long long monotonicMillis();
void sleepMillis(long millis);
