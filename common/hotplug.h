// Events for the platform's hotplug scripts.
#pragma once

#include "child.h"

constexpr const char *HOTPLUG_CALL = "/sbin/hotplug-call";

// Runs `HOTPLUG_CALL name` with `vars` set in its environment; nobody waits
// for it or looks at its result (the event loop reaps it). 0 when it was
// started, -1 when no child could be made: the event is lost.
int hotplug_event(const char *name, const struct child_var *vars, size_t n);

// What hotplug_event() calls; by default it starts HOTPLUG_CALL. A test sets
// its own runner to see the events without starting anything.
typedef int (*hotplug_runner_fn)(const char *name, const struct child_var *vars, size_t n);
extern hotplug_runner_fn hotplug_runner;
