// Read before every source of the library on Linux (-include): the C++
// library's timed waits on std::chrono::steady_clock (condition_variable's
// wait_for and wait_until, timed_mutex, shared_timed_mutex) would call
// pthread_cond_clockwait, pthread_mutex_clocklock and pthread_rwlock_clock*,
// which glibc has only since 2.30, and the shipped library must load on
// 2.17. Without them the C++ library waits with the CLOCK_REALTIME
// functions every glibc has, converting the deadline.
#pragma once

#include <bits/c++config.h>

#undef _GLIBCXX_USE_PTHREAD_COND_CLOCKWAIT
#undef _GLIBCXX_USE_PTHREAD_MUTEX_CLOCKLOCK
#undef _GLIBCXX_USE_PTHREAD_RWLOCK_CLOCKLOCK
