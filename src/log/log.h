#pragma once
// The optional log file: one time-stamped line per call, appended unbuffered.
// Until log_open succeeds every line is dropped, and nothing ever goes to
// the console.
#include <cstdio>
#include <ctime>

namespace kr::log {

// Opens the file for appending (created if absent); "-" is standard error.
// A failed open leaves the log closed and returns false with errno set; the
// caller says it. Called once, before other threads start.
bool log_open(const char* path);

// Writes "<UTC time> [<pid>]: <message>\n". Lines from several threads never
// interleave. Does nothing while the log is closed.
void log_print(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// For tests: sends the log to an open stream, closing the stream it
// replaces but standard error (null closes the log again). Only while no
// other thread logs.
void log_set_stream(std::FILE* stream);

// Breaks the calendar time down as UTC; false when it cannot.
bool utc_breakdown(long long seconds, std::tm* out);

}  // namespace kr::log
