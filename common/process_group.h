// What a child that led a process group (child_spec.own_group) leaves
// running in that group after it exited: counted, and killed at the child's
// time limit. Shared by the bridge's workers and the hotplug events.
#pragma once

#include <stdint.h>
#include <sys/types.h>

// The live processes in process group `pgid`, its leader (pid `pgid`) left
// out. Once the leader is reaped (!leader_alive), any process with its pid is
// a stranger: the group is gone and its id taken, and the answer is -1.
int group_members(pid_t pgid, bool leader_alive);

// Called at the limit with what is left (n > 0), just before it is killed.
typedef void (*group_limit_fn)(void *ctx, pid_t pgid, int n);

// The leader `pgid` has exited (and been reaped): whatever is still in its
// group is killed `ms_left` from now (at once when <= 0), after `on_limit`.
// While the group has members its id cannot be taken by another process;
// a job that must outlive its leader leaves the group with setsid.
void group_watch_leftovers(pid_t pgid, int64_t ms_left, group_limit_fn on_limit, void *ctx);

// Kills what is left in every watched group now and forgets them; returns
// the number of groups killed (a stop that ran out of time).
int group_watch_kill_all(void);

// The same when the daemon ends: nothing it started outlives it.
void group_watch_stop_all(void);
