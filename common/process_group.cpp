// Leftovers of exited group leaders, each watched by a timer of its own
// until its limit.
#include "process_group.h"

extern "C" {
#include <libubox/list.h>
#include <libubox/uloop.h>
}

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

struct group_watch {
	list_head link;
	uloop_timeout deadline;
	pid_t pgid;
	group_limit_fn on_limit;
	void *ctx;
};

LIST_HEAD(watched_groups);

void kill_at_limit(uloop_timeout *t)
{
	group_watch *g = container_of(t, group_watch, deadline);
	int n = group_members(g->pgid, false);
	if (n > 0) {
		if (g->on_limit)
			g->on_limit(g->ctx, g->pgid, n);
		kill(-g->pgid, SIGKILL);
	}
	list_del(&g->link);
	free(g);
}

} // namespace

int group_members(pid_t pgid, bool leader_alive)
{
	DIR *proc = opendir("/proc");
	int n = 0;

	if (!proc)
		return 0;
	while (dirent *d = readdir(proc)) {
		char path[64], buf[512];
		pid_t pid = (pid_t) atoi(d->d_name);
		if (pid <= 0)
			continue;
		snprintf(path, sizeof(path), "/proc/%d/stat", (int) pid);
		int fd = open(path, O_RDONLY | O_CLOEXEC);
		if (fd < 0)
			continue;
		ssize_t len = read(fd, buf, sizeof(buf) - 1);
		close(fd);
		if (len <= 0)
			continue;
		buf[len] = '\0';
		/* "pid (comm) state ppid pgrp ...": comm may hold anything, even ") " */
		const char *rest = strrchr(buf, ')');
		char state;
		int pgrp;
		if (!rest || sscanf(rest + 1, " %c %*d %d", &state, &pgrp) != 2)
			continue;
		if (pid == pgid && !leader_alive) {
			n = -1;
			break;
		}
		if (pgrp == pgid && pid != pgid && state != 'Z')
			n++;
	}
	closedir(proc);
	return n;
}

void group_watch_leftovers(pid_t pgid, int64_t ms_left, group_limit_fn on_limit, void *ctx)
{
	if (kill(-pgid, 0) < 0)
		return;	/* nobody left */
	group_watch *g = (group_watch *) calloc(1, sizeof(*g));
	if (!g) {
		kill(-pgid, SIGKILL);	/* cannot be watched: killed now rather than never */
		return;
	}
	g->pgid = pgid;
	g->on_limit = on_limit;
	g->ctx = ctx;
	g->deadline.cb = kill_at_limit;
	list_add_tail(&g->link, &watched_groups);
	uloop_timeout_set(&g->deadline, ms_left > 0 ? (int) ms_left : 0);
}

int group_watch_kill_all(void)
{
	group_watch *g, *next;
	int n = 0;

	list_for_each_entry_safe(g, next, &watched_groups, link) {
		if (group_members(g->pgid, false) > 0 && kill(-g->pgid, SIGKILL) == 0)
			n++;
		uloop_timeout_cancel(&g->deadline);
		list_del(&g->link);
		free(g);
	}
	return n;
}

void group_watch_stop_all(void)
{
	group_watch_kill_all();
}
