// The levelled logger: syslog, or standard error one whole line per message.
#pragma once

#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>

// Levels 0..4 map to LOG_CRIT, LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG.
void log_open(const char *ident, bool use_syslog, int level);
void log_msg(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_vmsg(int level, const char *format, va_list ap);
void log_set_level(int level);
void log_close(void);

// A failure that may come back the same way many times (a broker that stays
// down, a wrong password): the first line goes out at its level, lines that
// repeat it are only counted and summed up at LOG_REPEAT_LEVEL, at most once
// every LOG_REPEAT_INTERVAL_MS. A different line, or log_repeat_end(), says
// what is still counted and starts anew.
constexpr int LOG_REPEAT_LEVEL = 1;
constexpr int LOG_REPEAT_INTERVAL_MS = 60 * 1000;

struct log_repeat {
	char last[200];		// the line repeats are compared with; "" none
	unsigned long count;	// repeats not yet summed up
	unsigned long total;	// repeats since the line was first logged
	int64_t summed_ms;	// when the last line about it went out
};

void log_repeat_msg(log_repeat *r, int level, const char *format, ...)
	__attribute__((format(printf, 3, 4)));
// The repeats not yet summed up, and forgets the line. Returns how many
// times the line came in all (0 when none was pending).
unsigned long log_repeat_end(log_repeat *r);
