// UTC timestamps as events and records carry them:
// "YYYY-MM-DDTHH:MM:SS.uuuuuuZ". Never enters the C library's time-zone
// code, which may open files (judged calls) under its own lock.
#pragma once

#include <cstdint>

// Formats a UTC instant into a 32-byte buffer.
void format_utc_timestamp(int64_t seconds, long microseconds, char out[32]);
// The time now, formatted.
void current_timestamp(char out[32]);
