#pragma once
// Calendar arithmetic on local date and time values.

#include <cstdint>

#include "platform/EventLoop.h"

namespace nimbrel::platform {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(int year, int month, int day);
void CivilFromDays(std::int64_t days, int& year, int& month, int& day);

// Milliseconds since 1970-01-01 00:00 of a local date and time, and back.
std::int64_t ToEpochMs(const LocalDateTime& t);
LocalDateTime FromEpochMs(std::int64_t ms);

// The local date and time from the system clock.
LocalDateTime SystemLocalNow();

}  // namespace nimbrel::platform
