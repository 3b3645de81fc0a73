// The wall clock of the system: whole Unix seconds (record creation and expiry) and
// milliseconds (the age of a write buffer), both read through one replaceable source so that
// a test that fixes the time fixes it everywhere.
#pragma once

#include <cstdint>

namespace tornquil {

// Whole Unix seconds of the wall clock; 0 when it reads before 1970.
uint64_t now_unix_secs();

// Whole Unix milliseconds of the wall clock; 0 when it reads before 1970.
uint64_t now_unix_millis();

// Replaces the wall clock for tests (nanoseconds since 1970, negative before); nullptr
// restores the system clock.
void TEST_set_wall_clock(int64_t (*clock_ns)());

}  // namespace tornquil
