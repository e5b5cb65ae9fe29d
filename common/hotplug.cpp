// Hotplug events: HOTPLUG_CALL started through child_spawn(), or whatever
// runner a test has put in its place.
#include "hotplug.h"

#include <stdlib.h>

namespace {

pid_t spawn_hotplug_call(const char *name, const struct child_var *vars, size_t n)
{
	char **env = child_env(vars, n);
	if (!env)
		return -1;

	char *const argv[] = { (char *) HOTPLUG_CALL, (char *) name, nullptr };
	const child_spec spec = {
		.path = HOTPLUG_CALL,
		.argv = argv,
		.envp = env,
		.stdio_fd = -1,
		.exec_error = nullptr,
		.own_group = true,	/* killed as a whole when it hangs */
	};
	pid_t pid = child_spawn(&spec);
	free(env);
	return pid;
}

void on_hotplug_exit(uloop_process *p, int)
{
	hotplug_watch *w = container_of(p, hotplug_watch, process);
	uloop_timeout_cancel(&w->deadline);
	if (w->on_end)
		w->on_end(w);
}

void on_hotplug_deadline(uloop_timeout *t)
{
	hotplug_watch *w = container_of(t, hotplug_watch, deadline);
	w->killed = true;
	child_kill_group(w->process.pid);
}

} // namespace

void hotplug_watch_start(struct hotplug_watch *w, pid_t pid)
{
	w->killed = false;
	w->process.pid = pid;
	w->process.cb = on_hotplug_exit;
	uloop_process_add(&w->process);
	w->deadline.cb = on_hotplug_deadline;
	if (w->time_limit_s > 0)
		uloop_timeout_set(&w->deadline, w->time_limit_s * 1000);
}

hotplug_runner_fn hotplug_runner = spawn_hotplug_call;

pid_t hotplug_event(const char *name, const struct child_var *vars, size_t n)
{
	return hotplug_runner(name, vars, n);
}
