// Dispatch of device reports to the API program, one worker process each, at
// most a set number at once; the others wait in a queue bounded in bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

struct mosquitto;
struct mosquitto_message;
struct ustream;
struct uloop_process;

// The worker's output lines are cut at this many bytes (the read buffer).
constexpr int API_LINE_BUFFER = 8192;

// The kernel's limit for one exec argument (32 pages of 4 KiB), its NUL
// included: the JSON text of a report must fit in it.
constexpr size_t API_ARG_MAX = 32 * 4096;

struct api_limits {
	int max_workers;
	size_t queue_bytes;
	int time_limit_s;	// 0: none
};
void api_configure(const struct api_limits *limits);
// Releases the queue (running workers are left to themselves).
void api_stop(void);
// The workers' time limit in seconds (0: none); hotplug scripts have it too.
int api_time_limit_s(void);

// The session's message callback: "offline/<id>" removes a registry entry,
// everything else is handed to a worker now or queued.
void api_on_message(struct mosquitto *mosq, void *user, const struct mosquitto_message *msg);
// The length of the JSON text json-c makes for a report, counted without
// building it; counting stops soon after API_ARG_MAX.
size_t api_json_length(const char *topic, const char *payload, size_t payload_len);
// Starts a worker for one JSON text, the report on `topic` numbered `report`
// (client_report_arrived), at once, whatever the slot limit; -1 when none
// could be started (the reason is logged).
int api_spawn(const char *json, const char *topic, uint64_t report);

// api_watch() takes over a started worker in a record from api_worker_new():
// it watches the process and reads its output from `read_fd`; the record is
// released once the process has exited and its output is published.
struct api_worker;
struct api_worker *api_worker_new(void);
void api_watch(struct api_worker *w, pid_t pid, int read_fd);
void api_on_output(struct ustream *s, int bytes);
void api_on_exit(struct uloop_process *p, int status);

// The publish backlog has shrunk: held worker output goes on, on the next
// turn of the loop: this is called from inside the backlog's bookkeeping,
// where no new publication may start.
void api_output_resume(void);

struct api_stats {
	int workers;		// records: running, or exited with output still to publish
	int queued;
	size_t queued_bytes;
	unsigned long dropped;	// reports that never reached a worker
	unsigned long killed;	// workers that ran out of time
	unsigned long killed_background;	// what they left in their groups, killed at the limit
};
void api_get_stats(struct api_stats *st);

// Nothing queued, no worker record left: every report taken has been run
// and its output handed to the session.
bool api_idle(void);
// Publishes queued reports again, oldest first, on the group's hand-back
// topic (which keeps each one's own) for the other bridges to take; stops where the session's backlog is
// full. Returns how many left the queue.
int api_hand_back(void);
// The end of a stop that ran out of time: kills the running workers' groups
// and what exited workers left in theirs; the queue is dropped by api_stop().
// Returns the number of workers killed.
int api_kill_all(void);
