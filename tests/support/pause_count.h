// Counting pauses: the test binary replaces the C library's sleep, nanosleep and
// clock_nanosleep with versions that count each call of the calling thread, then pause just as the
// originals do. A test can so tell whether code paused, and how often, without judging any time.
#ifndef FERND_TESTS_SUPPORT_PAUSE_COUNT_H_
#define FERND_TESTS_SUPPORT_PAUSE_COUNT_H_

namespace fernd {

/// How many times the calling thread has called sleep, nanosleep or clock_nanosleep.
long pause_count();

}  // namespace fernd

#endif  // FERND_TESTS_SUPPORT_PAUSE_COUNT_H_
