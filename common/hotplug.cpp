// Hotplug events: HOTPLUG_CALL started through child_spawn(), or whatever
// runner a test has put in its place, run one at a time per queue.
#include "hotplug.h"
#include "clock.h"
#include "process_group.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

bool pack(hotplug_vars *out, const child_var *vars, size_t n)
{
	out->len = 0;
	out->n = 0;
	for (size_t i = 0; i < n; i++) {
		if (!vars[i].value)
			continue;
		size_t name_len = strlen(vars[i].name) + 1, value_len = strlen(vars[i].value) + 1;
		if (out->n == HOTPLUG_VARS_MAX || name_len + value_len > sizeof(out->text) - out->len)
			return false;
		memcpy(out->text + out->len, vars[i].name, name_len);
		memcpy(out->text + out->len + name_len, vars[i].value, value_len);
		out->len += name_len + value_len;
		out->n++;
	}
	return true;
}

bool same_vars(const hotplug_vars &a, const hotplug_vars &b)
{
	return a.len == b.len && !memcmp(a.text, b.text, a.len);
}

void log_line(hotplug_queue *q, pid_t pid, const char *what)
{
	char line[192];
	snprintf(line, sizeof(line), "%s %s (%d): %s", HOTPLUG_CALL, q->name, (int) pid, what);
	if (q->log)
		q->log(line);
}

void on_leftovers(void *ctx, pid_t pgid, int n)
{
	hotplug_queue *q = (hotplug_queue *) ctx;
	char what[96];
	snprintf(what, sizeof(what), "%d process(es) left in its group after %d seconds, killed", n,
		 q->time_limit_s);
	log_line(q, pgid, what);
}

void start(hotplug_queue *q);

void on_hold_down_end(uloop_timeout *t)
{
	hotplug_queue *q = container_of(t, hotplug_queue, hold_down);
	if (q->waiting) {
		q->waiting = false;
		q->current = q->next;
		start(q);
	}
}

void on_script_end(uloop_process *p, int)
{
	hotplug_queue *q = container_of(p, hotplug_queue, process);
	uloop_timeout_cancel(&q->deadline);
	if (q->time_limit_s > 0)
		group_watch_leftovers(p->pid, q->started_ms + q->time_limit_s * INT64_C(1000) - monotonic_ms(),
				      on_leftovers, q);
	uloop_timeout_set(&q->hold_down, HOTPLUG_HOLD_DOWN_MS);
}

void on_time_limit(uloop_timeout *t)
{
	hotplug_queue *q = container_of(t, hotplug_queue, deadline);
	char what[64];
	snprintf(what, sizeof(what), "still running after %d seconds, killed", q->time_limit_s);
	log_line(q, q->process.pid, what);
	child_kill_group(q->process.pid);	/* on_script_end follows */
}

void start(hotplug_queue *q)
{
	child_var vars[HOTPLUG_VARS_MAX];
	const char *p = q->current.text;
	for (size_t i = 0; i < q->current.n; i++) {
		vars[i].name = p;
		p += strlen(p) + 1;
		vars[i].value = p;
		p += strlen(p) + 1;
	}
	pid_t pid = hotplug_event(q->name, vars, q->current.n);
	if (pid <= 0) {
		if (pid < 0 && q->lost)
			q->lost(q);
		return;	/* 0: a test's runner, nothing to watch */
	}
	q->started_ms = monotonic_ms();
	q->process.pid = pid;
	q->process.cb = on_script_end;
	uloop_process_add(&q->process);
	q->deadline.cb = on_time_limit;
	if (q->time_limit_s > 0)
		uloop_timeout_set(&q->deadline, q->time_limit_s * 1000);
}

} // namespace

hotplug_runner_fn hotplug_runner = spawn_hotplug_call;

pid_t hotplug_event(const char *name, const struct child_var *vars, size_t n)
{
	return hotplug_runner(name, vars, n);
}

bool hotplug_busy(const struct hotplug_queue *q)
{
	return q->process.pending || q->hold_down.pending;
}

void hotplug_post(struct hotplug_queue *q, const struct child_var *vars, size_t n)
{
	hotplug_vars v;
	if (!pack(&v, vars, n)) {
		if (q->lost)
			q->lost(q);
		return;
	}
	q->hold_down.cb = on_hold_down_end;
	if (hotplug_busy(q)) {
		q->waiting = !same_vars(v, q->current);
		if (q->waiting)
			q->next = v;
		return;
	}
	q->current = v;
	start(q);
}

// A script is not left to run past its daemon, where no time limit holds and
// it could end after the first script of the next start.
void hotplug_stop(struct hotplug_queue *q)
{
	q->waiting = false;
	uloop_timeout_cancel(&q->hold_down);
	uloop_timeout_cancel(&q->deadline);
	if (q->process.pending) {
		child_kill_group(q->process.pid);
		uloop_process_delete(&q->process);
	}
}
