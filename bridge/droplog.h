// What quilac has to drop, or any event that may come in a flood (a worker
// that fails for every report), is logged at most once a second per reason,
// with the count since the last line: a flood must not flush the system
// log's small ring.
#pragma once

#include <stdint.h>

extern "C" {
#include <libubox/uloop.h>
}

constexpr int DROP_LOG_INTERVAL_MS = 1000;

struct drop_log {
	const char *reason;
	const char *unit = nullptr;	// for what is not a message dropped: "time(s)",
					// "abnormal exit(s)"
	unsigned long pending;	// dropped since the last line
	int64_t last_ms;	// when the last line was written; 0: never
	char topic[128];	// of the latest drop, cut
	unsigned long total;	// as the line reports it
	uloop_timeout flush;
	int level = 0;		// of its lines
};

// Counts one drop of a message on `topic`; `total` is the caller's running
// count, this one included.
void drop_note(drop_log *d, const char *topic, unsigned long total);
// Writes what is pending now, and stops the timer (at shutdown).
void drop_flush(drop_log *d);
