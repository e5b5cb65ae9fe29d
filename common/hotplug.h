// Events for the platform's hotplug scripts.
#pragma once

#include "child.h"

#include <stdint.h>

extern "C" {
#include <libubox/uloop.h>
}

constexpr const char *HOTPLUG_CALL = "/sbin/hotplug-call";

// Runs `HOTPLUG_CALL name` with `vars` set in its environment, leading a
// process group of its own. The child's pid; 0 when a test's runner started
// nothing to watch; -1 when no child could be made: the event is lost.
pid_t hotplug_event(const char *name, const struct child_var *vars, size_t n);

// The same for an array of variables, counted by the compiler.
template <size_t N>
pid_t hotplug_event(const char *name, const struct child_var (&vars)[N])
{
	return hotplug_event(name, vars, N);
}

// The variables of one event, kept as "NAME\0value\0" pairs.
constexpr size_t HOTPLUG_VARS_MAX = 8;
constexpr size_t HOTPLUG_TEXT_MAX = 512;
struct hotplug_vars {
	char text[HOTPLUG_TEXT_MAX];
	size_t len;
	size_t n;
};

// Whatever its events' rate, a daemon runs one script of one name at a time,
// in order: an event posted while a script runs (or during the hold-down
// after it) waits, replacing whatever waited before it, so the scripts end
// up seeing the newest values and the last to end tells the daemon's state.
// One equal to the running script's values drops what waited. Between the
// end of one script and the start of the next, HOTPLUG_HOLD_DOWN_MS pass: a
// peer that flips the daemon's state as fast as it can costs at most one run
// per hold-down. A script running past `time_limit_s` is killed with its
// process group; what a script that ended left in its group is killed at
// the same limit.
constexpr int HOTPLUG_HOLD_DOWN_MS = 1000;

struct hotplug_queue {
	const char *name;		// the argument of HOTPLUG_CALL
	int time_limit_s;		// 0: never
	void (*log)(const char *line);	// a whole line about a script that was killed
	void (*lost)(struct hotplug_queue *q);	// an event could not be started (or nullptr)

	// The queue's own.
	struct uloop_process process;
	struct uloop_timeout deadline;
	struct uloop_timeout hold_down;
	int64_t started_ms;
	bool waiting;
	struct hotplug_vars current;	// the event started last
	struct hotplug_vars next;	// the one that waits, when `waiting`
};

// Posts an event with `vars` (null values are left out).
void hotplug_post(struct hotplug_queue *q, const struct child_var *vars, size_t n);
template <size_t N>
void hotplug_post(struct hotplug_queue *q, const struct child_var (&vars)[N])
{
	hotplug_post(q, vars, N);
}
// Whether a script of the queue runs, or its hold-down has not passed.
bool hotplug_busy(const struct hotplug_queue *q);
// Forgets what waits and kills the running script's group (the daemon ends);
// what ended scripts left is killed by group_watch_stop_all().
void hotplug_stop(struct hotplug_queue *q);

// What hotplug_event() calls; by default it starts HOTPLUG_CALL. A test sets
// its own runner to see the events without starting anything.
typedef pid_t (*hotplug_runner_fn)(const char *name, const struct child_var *vars, size_t n);
extern hotplug_runner_fn hotplug_runner;
