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
	};
	pid_t pid = child_spawn(&spec);
	free(env);
	return pid;
}

} // namespace

hotplug_runner_fn hotplug_runner = spawn_hotplug_call;

pid_t hotplug_event(const char *name, const struct child_var *vars, size_t n)
{
	return hotplug_runner(name, vars, n);
}
