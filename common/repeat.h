// A failure that may come back the same way many times (a broker that stays
// down, a wrong password, a bus daemon that is gone): the first line goes out
// at its level, lines that repeat it are only counted and summed up at
// LOG_REPEAT_LEVEL, at most once every LOG_REPEAT_INTERVAL_MS. A different
// line, or repeat_end(), says what is still counted and starts anew.
#pragma once

#include <stdint.h>

// Levels 0..4: critical, warning, notice, info, debug.
constexpr int LOG_REPEAT_LEVEL = 1;
constexpr int LOG_REPEAT_INTERVAL_MS = 60 * 1000;

// Where a daemon's lines go: one whole line, no line end.
typedef void (*log_line_fn)(int level, const char *line);

struct log_repeat {
	char last[200];		// the line repeats are compared with; "" none
	unsigned long count;	// repeats not yet summed up
	unsigned long total;	// repeats since the line was first logged
	int64_t summed_ms;	// when the last line about it went out
};

void repeat_line(log_repeat *r, log_line_fn out, int level, const char *line);
// The repeats not yet summed up, and forgets the line. Returns how many
// times the line came in all (0 when none was pending).
unsigned long repeat_end(log_repeat *r, log_line_fn out);
