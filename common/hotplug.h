// Events for the platform's hotplug scripts.
#pragma once

#include "child.h"

extern "C" {
#include <libubox/uloop.h>
}

constexpr const char *HOTPLUG_CALL = "/sbin/hotplug-call";

// Runs `HOTPLUG_CALL name` with `vars` set in its environment; nobody looks
// at its result (the event loop reaps it). The child's pid, which a caller may
// watch to learn when the event is over; 0 when a test's runner started
// nothing to watch; -1 when no child could be made: the event is lost.
pid_t hotplug_event(const char *name, const struct child_var *vars, size_t n);

// The same for an array of variables, counted by the compiler.
template <size_t N>
pid_t hotplug_event(const char *name, const struct child_var (&vars)[N])
{
	return hotplug_event(name, vars, N);
}

// One event at a time, watched to its end: a child still running after
// `time_limit_s` seconds (0: never) is killed with its process group, so a
// script that hangs cannot hold back the events after it.
struct hotplug_watch {
	struct uloop_process process;
	struct uloop_timeout deadline;
	int time_limit_s;
	bool killed;				// the last child was killed over the limit
	void (*on_end)(struct hotplug_watch *w);	// after the child ended or was killed
};

// Watches the child `pid` (> 0) of hotplug_event().
void hotplug_watch_start(struct hotplug_watch *w, pid_t pid);
inline bool hotplug_watch_running(const struct hotplug_watch *w)
{
	return w->process.pending;
}

// What hotplug_event() calls; by default it starts HOTPLUG_CALL. A test sets
// its own runner to see the events without starting anything.
typedef pid_t (*hotplug_runner_fn)(const char *name, const struct child_var *vars, size_t n);
extern hotplug_runner_fn hotplug_runner;
