// Starting the programs a daemon runs (API workers, hotplug scripts), each
// with the same hygiene: only descriptors 0-2 open, file-creation mask 022,
// every signal at its default disposition and none blocked.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// The mask every child starts with, whatever the daemon's own (a detached
// daemon runs with 0).
constexpr mode_t CHILD_UMASK = 022;

struct child_spec {
	const char *path;		// executed as it is, no PATH search
	char *const *argv;
	char *const *envp;		// nullptr: the daemon's own environment
	int stdio_fd = -1;		// >= 0: becomes 0, 1 and 2; -1: they are inherited
					// (the default, so a child_spec that leaves it out
					// never wires descriptor 0 to all three)
	const char *exec_error;		// written to descriptor 2 when exec fails, or nullptr
	bool own_group;			// leads a process group of its own, so that it can
					// be stopped together with whatever it started
	int *exec_errno = nullptr;	// or where exec's error is put when it fails (0
					// when it did not), known as child_spawn() returns
};

// Starts the child and returns its pid, or -1 with errno set when no child
// could be made. A child whose exec fails exits with status 127. The caller
// reaps it (the event loop reaps every child). The parent resumes only once
// the child has exec'd or exited, so everything `spec` points at (argv,
// envp, texts) may be freed as soon as this returns.
pid_t child_spawn(const struct child_spec *spec);

// Kills a child started with own_group together with everything it started
// (a hung script's children hold its pipes and locks as well); a child that
// could not lead a group is killed alone.
void child_kill_group(pid_t pid);

// One variable for child_env(); a null value leaves the name as it is.
struct child_var {
	const char *name;
	const char *value;
};

// The daemon's environment with `vars` set (overwriting), in one block that
// the caller frees with free(), which may be right after child_spawn()
// returns. nullptr when memory runs out.
char **child_env(const struct child_var *vars, size_t n);
