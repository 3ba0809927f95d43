// Timestamps of events and records: UTC, microseconds, "Z".
// (Defined with the event code for now; the JSON-writer work moves them here.)
#pragma once

#include <cstdint>

// The current instant as a malloc'd text, or null.
char *event_timestamp();
// Formats a UTC instant exactly as event_timestamp does, into a 32-byte buffer.
// Never enters the C library's time-zone code.
void format_utc_timestamp(int64_t seconds, long microseconds, char out[32]);
