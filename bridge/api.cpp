// Every report becomes `/usr/sbin/quilapi mqtt <json>`. The worker's standard
// output and error share one pipe read through a ustream: the first line is
// the reply topic, each further line is published on it.
//
// A burst of reports must neither exhaust the router's memory nor its
// descriptors: at most max_workers run at once, the rest wait in FIFO order
// in a queue bounded in bytes. A report that finds the queue full, or that
// is too large for one argument (measured before anything is built from it),
// is dropped, counted and logged (at most a line a second per reason). A
// worker that outlives the time limit is killed with everything it started,
// so a hung API program cannot hold a slot for ever; what it left running in
// its process group is killed at the same moment even when the worker itself
// has exited. And while the publish backlog is high (at its bound, until half
// of it is acknowledged), worker output is left in the pipes: a chatty worker
// then waits on its pipe instead of growing the daemon.
//
// What holds between the pieces below:
// - A worker record holds a slot from api_watch() until release(): while its
//   process runs, and after its exit for as long as its output is still held.
//   stats.workers counts the records, so never more than max_workers exist.
// - The queue is not empty only while every slot is taken, or while a failed
//   start waits for spawn_retry. A record's release starts the next report.
// - stats.queued and stats.queued_bytes change only in enqueue() and
//   dequeue() (and api_stop() at the end); queued_bytes <= queue_bytes.
// - A held worker (w->held) has its stream's reading blocked and nothing
//   consumed beyond its last published line. Only resume_held(), run when
//   the publish backlog has shrunk, clears it, oldest worker first.
// - A worker that exited before its time limit leaving processes in its
//   group has them watched (process_group.h) until that limit.
#include "api.h"
#include "child.h"
#include "clock.h"
#include "droplog.h"
#include "fleet.h"
#include "json_ptr.h"
#include "log.h"
#include "mqtt.h"
#include "options.h"
#include "process_group.h"
#include "registry.h"

extern "C" {
#include <libubox/list.h>
#include <libubox/uloop.h>
#include <libubox/ustream.h>
}
#include <json-c/json.h>
#include <mosquitto.h>

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>


namespace {

#define API_PATH "/usr/sbin/quilapi"
constexpr const char *API_NAME = "quilapi";
// What a worker whose exec failed writes on its pipe; no line end: never a line.
constexpr const char *API_EXEC_ERROR = "failed execl " API_PATH;
constexpr const char *OFFLINE_PREFIX = "offline/";
constexpr size_t OFFLINE_PREFIX_LEN = 8;

// After a failed start (no pipe, no process) the queue waits this long.
constexpr int SPAWN_RETRY_MS = 1000;

// A report waiting for a worker: its JSON text and its topic, copied.
struct api_job {
	list_head link;
	uint64_t report;	// its number, in order of arrival
	size_t len;
	size_t cost;		// bytes it takes of the queue's bound
	const char *topic;	// in text[], behind the JSON text
	char text[];
};

api_limits limits = { DEFAULT_MAX_WORKERS, (size_t) DEFAULT_QUEUE_KIB * 1024, DEFAULT_TIME_LIMIT_S };

LIST_HEAD(api_workers);
LIST_HEAD(api_queue);
api_stats stats;
uloop_timeout resume_timer;
uloop_timeout spawn_retry;
drop_log queue_full_log = { .reason = "worker queue full" };
drop_log too_large_log = { .reason = "message too large for the API program" };
// A worker that fails for every report must not write a line for each.
drop_log abnormal_log = { .reason = API_NAME, .unit = "abnormal exit(s)", .level = 1 };
unsigned long abnormal_exits;
// An API program that cannot be run: said once, again when the reason
// changes, and when it runs again.
log_repeat start_failures;

} // namespace

struct api_worker {
	list_head link;
	uloop_process process;
	ustream_fd output;
	uloop_timeout deadline;
	bool discarding;
	bool held;		// output waits for the publish backlog to shrink
	bool exited;		// reaped; the record waits only for its output
	int64_t started_ms;
	size_t consumed;	// bytes of output handled so far
	size_t drain_end;	// once exited: all the worker wrote ends here
	char *topic;		// the first line, once it has arrived
	bool not_run;		// its exec failed, as start_failures said
	bool killed;		// at its time limit
	char report[64];	// the report's topic, cut
};

namespace {

api_worker *worker_of(ustream *s)
{
	return container_of(container_of(s, ustream_fd, stream), api_worker, output);
}

// Every exit at debug level; an abnormal one (a status other than 0, a
// signal, the time limit) also as a warning with the report's topic, at most
// a line a second. One that never ran was said when its exec failed.
void report_exit(const api_worker *w, int status)
{
	pid_t pid = w->process.pid;
	char what[sizeof(abnormal_log.topic)];
	bool normal = false;

	if (WIFEXITED(status)) {
		log_msg(4, "%s (%d): exit with %d\n", API_NAME, pid, WEXITSTATUS(status));
		snprintf(what, sizeof(what), "%s: (%d) exit with %d", w->report, pid,
			 WEXITSTATUS(status));
		normal = WEXITSTATUS(status) == 0;
	} else if (WIFSIGNALED(status)) {
		log_msg(4, "%s (%d): exit with signal %d\n", API_NAME, pid, WTERMSIG(status));
		if (w->killed)
			snprintf(what, sizeof(what), "%s: (%d) killed after %d seconds", w->report,
				 pid, limits.time_limit_s);
		else
			snprintf(what, sizeof(what), "%s: (%d) exit with signal %d", w->report, pid,
				 WTERMSIG(status));
	} else {
		return;
	}
	if (!normal && !w->not_run)
		drop_note(&abnormal_log, what, ++abnormal_exits);
}

/* ---- the queue ---- */

bool enqueue(const char *topic, const char *text, size_t len, uint64_t report)
{
	size_t topic_len = strlen(topic);
	size_t cost = sizeof(api_job) + len + 1 + topic_len + 1;
	if (stats.queued_bytes + cost > limits.queue_bytes)
		return false;
	api_job *j = (api_job *) malloc(cost);
	if (!j)
		return false;
	j->report = report;
	j->len = len;
	j->cost = cost;
	memcpy(j->text, text, len + 1);
	j->topic = (char *) memcpy(j->text + len + 1, topic, topic_len + 1);
	list_add_tail(&j->link, &api_queue);
	stats.queued++;
	stats.queued_bytes += cost;
	return true;
}

// Takes the oldest report off the queue; the caller frees it.
api_job *dequeue()
{
	api_job *j = list_first_entry(&api_queue, api_job, link);

	list_del(&j->link);
	stats.queued--;
	stats.queued_bytes -= j->cost;
	return j;
}

void drop(drop_log *why, const char *topic)
{
	drop_note(why, topic, ++stats.dropped);
}

void start_queued();

void retry_spawn(uloop_timeout *)
{
	start_queued();
}

// A report that could not be started (api_spawn said why) waits first in the
// queue for the next try: after a pause, or when a worker ends.
void retry_later()
{
	spawn_retry.cb = retry_spawn;
	uloop_timeout_set(&spawn_retry, SPAWN_RETRY_MS);
}

// Starts queued reports while there are free slots.
void start_queued()
{
	while (stats.workers < limits.max_workers && !list_empty(&api_queue)) {
		api_job *j = list_first_entry(&api_queue, api_job, link);
		if (api_spawn(j->text, j->topic, j->report) < 0) {
			retry_later();
			return;
		}
		free(dequeue());
	}
}

// A report goes to a worker at once when a slot is free and nobody is
// waiting before it; otherwise to the back of the queue.
void dispatch(const char *topic, const char *text, uint64_t report)
{
	size_t len = strlen(text);

	if (len + 1 > API_ARG_MAX) {	/* measured before: only if json-c escapes differently */
		drop(&too_large_log, topic);
		return;
	}
	if (list_empty(&api_queue) && stats.workers < limits.max_workers) {
		if (api_spawn(text, topic, report) == 0)
			return;
		retry_later();
	}
	if (!enqueue(topic, text, len, report))
		drop(&queue_full_log, topic);
}

// `quilapi mqtt <json>` with its standard descriptors on `out_fd`, in a
// process group of its own, and QUILAC_REPORT (the report's number, for
// "update_client") in its environment. -1 with errno set on failure.
pid_t start_api_program(const char *json, uint64_t report, int out_fd, int *exec_errno)
{
	char *const argv[] = { (char *) API_NAME, (char *) "mqtt", (char *) json, nullptr };
	char number[16];
	snprintf(number, sizeof(number), "%u", (unsigned int) (report & CLIENT_REPORT_BITS));
	const child_var var = { "QUILAC_REPORT", number };
	char **env = child_env(&var, 1);
	if (!env) {
		errno = ENOMEM;
		return -1;
	}
	const child_spec spec = {
		.path = API_PATH,
		.argv = argv,
		.envp = env,
		.stdio_fd = out_fd,
		.exec_error = API_EXEC_ERROR,
		.own_group = true,
		.exec_errno = exec_errno,
	};
	pid_t pid = child_spawn(&spec);
	int err = errno;
	free(env);
	errno = err;
	return pid;
}

// What json-c makes of `text` (up to n bytes or a NUL) in a JSON string;
// counting stops once it is beyond API_ARG_MAX.
size_t escaped_length(const char *text, size_t n)
{
	size_t len = 0;

	for (size_t i = 0; i < n && text[i] && len <= API_ARG_MAX; i++) {
		unsigned char c = (unsigned char) text[i];
		if (c == '"' || c == '\\' || c == '/' || c == '\b' || c == '\f' || c == '\n' ||
		    c == '\r' || c == '\t')
			len += 2;
		else
			len += c < 0x20 ? 6 : 1;
	}
	return len;
}

// Why a worker could not be started, or its program not run: the same
// reason again is only counted.
void start_failed(const char *what, int err)
{
	log_repeat_msg(&start_failures, 0, "%s: cannot start a worker: %s: %s", API_NAME, what,
		       strerror(err));
}

/* ---- a worker's end ---- */

void release(api_worker *w)
{
	list_del(&w->link);
	ustream_free(&w->output.stream);
	close(w->output.fd.fd);
	free(w->topic);
	free(w);
	stats.workers--;
	start_queued();
}

// The worker has exited: what it wrote is published, then its slot is free.
// Only what it wrote: a background child it left holding the pipe may write
// on for ever, and must keep neither the slot nor the broker busy.
void finish(api_worker *w)
{
	ustream *s = &w->output.stream;

	while (!w->held && w->consumed < w->drain_end && ustream_poll(s))
		;
	if (!w->held)
		release(w);	/* held: the rest is published once the backlog shrinks */
}

// Stops reading the worker's pipe until resume_held(); what is buffered stays.
// The worker waits at the end of the list: the others, held before it, go on
// first once the backlog shrinks, so that one chatty worker cannot hold back
// everybody's output until its time limit.
void hold(api_worker *w)
{
	w->held = true;
	ustream_set_read_blocked(&w->output.stream, true);
	list_move_tail(&w->link, &api_workers);
}

void take(api_worker *w, int n)
{
	ustream_consume(&w->output.stream, n);
	w->consumed += (size_t) n;
}

// Gives held workers their output back, oldest first, for as long as the
// backlog stays low; a worker that is held again stops the walk.
void resume_held(uloop_timeout *)
{
	api_worker *w, *next;

	list_for_each_entry_safe(w, next, &api_workers, link) {
		if (!w->held)
			continue;
		if (mqtt_backlog_high())
			return;
		ustream *s = &w->output.stream;
		w->held = false;
		ustream_set_read_blocked(s, false);
		api_on_output(s, 0);	/* the lines already buffered */
		if (w->held)
			return;
		if (w->exited)
			finish(w);
		else
			ustream_poll(s);
	}
}

// What is left in a worker's group at its time limit, about to be killed:
// counted, and said like an abnormal exit (`report`: its topic, when known).
void count_leftovers(void *report, pid_t pgid, int n)
{
	char what[sizeof(abnormal_log.topic)];
	stats.killed_background += (unsigned long) n;
	snprintf(what, sizeof(what), "%s: (%d) %d process(es) left in its group after %d seconds, killed",
		 report ? (const char *) report : API_NAME, pgid, n, limits.time_limit_s);
	drop_note(&abnormal_log, what, ++abnormal_exits);
}

void on_deadline(uloop_timeout *t)
{
	api_worker *w = container_of(t, api_worker, deadline);
	pid_t pid = w->process.pid;

	stats.killed++;
	w->killed = true;	/* said with the exit, at most a line a second */
	log_msg(4, "%s (%d): still running after %d seconds, killed\n", API_NAME, pid,
		limits.time_limit_s);
	int n = group_members(pid, true);
	if (n > 0)
		count_leftovers(w->report, pid, n);
	child_kill_group(pid);	/* a hung script's children hold the pipe as well */
}

// The worker has exited before its time limit: what it left in its group
// is killed at that limit.
void watch_group(const api_worker *w)
{
	int64_t left = w->started_ms + limits.time_limit_s * INT64_C(1000) - monotonic_ms();
	group_watch_leftovers(w->process.pid, left, count_leftovers, nullptr);
}

} // namespace

void api_configure(const struct api_limits *l)
{
	limits = *l;
}

int api_time_limit_s(void)
{
	return limits.time_limit_s;
}

void api_stop(void)
{
	api_job *j, *next;

	list_for_each_entry_safe(j, next, &api_queue, link) {
		list_del(&j->link);
		free(j);
	}
	stats.queued = 0;
	stats.queued_bytes = 0;
	uloop_timeout_cancel(&resume_timer);
	uloop_timeout_cancel(&spawn_retry);
	drop_flush(&queue_full_log);
	drop_flush(&too_large_log);
	drop_flush(&abnormal_log);
	log_repeat_end(&start_failures);

	group_watch_stop_all();
}

size_t api_json_length(const char *topic, const char *payload, size_t payload_len)
{
	/* "{ "topic": "", "payload": "" }" around the two escaped strings */
	size_t len = 30 + escaped_length(topic, strlen(topic));
	return len > API_ARG_MAX ? len : len + escaped_length(payload, payload_len);
}

void api_on_message(struct mosquitto *, void *, const struct mosquitto_message *msg)
{
	const char *topic = msg->topic;

	if (msg->payloadlen <= 0 || !msg->payload) {
		log_msg(4, "message: %s (null)", topic);
		return;
	}
	uint64_t report = client_report_arrived();
	if (!strncmp(topic, OFFLINE_PREFIX, OFFLINE_PREFIX_LEN)) {
		client_delete(topic + OFFLINE_PREFIX_LEN);
		return;
	}

	/* the payload ends at its first NUL, as a C string would */
	const char *payload = (const char *) msg->payload;
	if (api_json_length(topic, payload, (size_t) msg->payloadlen) + 1 > API_ARG_MAX) {
		drop(&too_large_log, topic);	/* before anything is built from it */
		return;
	}

	json_ptr obj(json_object_new_object());
	if (!obj) {
		log_msg(0, "json object error for (%s)", topic);
		return;
	}
	json_object *jtopic = json_object_new_string(topic);
	if (!jtopic) {
		log_msg(0, "json msg topic %s error", topic);
		return;
	}
	json_object_object_add(obj.get(), "topic", jtopic);

	json_object *jpayload = json_object_new_string_len(payload, (int) strnlen(payload, msg->payloadlen));
	if (!jpayload) {
		log_msg(0, "json msg payload %s error", topic);
		return;
	}
	json_object_object_add(obj.get(), "payload", jpayload);

	/* the text belongs to obj */
	const char *text = json_object_to_json_string(obj.get());
	if (text)
		dispatch(topic, text, report);
}

int api_spawn(const char *json, const char *topic, uint64_t report)
{
	int fds[2];

	if (pipe(fds) < 0) {
		start_failed("no pipe", errno);
		return -1;
	}

	api_worker *w = api_worker_new();
	if (!w) {
		close(fds[0]);
		close(fds[1]);
		start_failed("no worker record", ENOMEM);
		return -1;
	}

	int exec_errno;
	pid_t pid = start_api_program(json, report, fds[1], &exec_errno);
	if (pid < 0) {
		start_failed("no process", errno);
		free(w);
		close(fds[0]);
		close(fds[1]);
		return -1;
	}
	close(fds[1]);

	snprintf(w->report, sizeof(w->report), "%s", topic);
	if (exec_errno) {
		start_failed(API_PATH, exec_errno);
		w->not_run = true;
	} else if (start_failures.last[0]) {
		log_repeat_end(&start_failures);
		log_msg(2, "%s: %s runs again\n", API_NAME, API_PATH);
	}
	api_watch(w, pid, fds[0]);
	return 0;
}

struct api_worker *api_worker_new(void)
{
	return (api_worker *) calloc(1, sizeof(api_worker));
}

void api_watch(struct api_worker *w, pid_t pid, int read_fd)
{
	w->process.pid = pid;
	w->process.cb = api_on_exit;
	uloop_process_add(&w->process);
	list_add_tail(&w->link, &api_workers);
	stats.workers++;

	if (limits.time_limit_s > 0) {
		w->started_ms = monotonic_ms();
		w->deadline.cb = on_deadline;
		uloop_timeout_set(&w->deadline, limits.time_limit_s * 1000);
	}

	fcntl(read_fd, F_SETFD, fcntl(read_fd, F_GETFD) | FD_CLOEXEC);
	w->output.stream.string_data = true;
	w->output.stream.notify_read = api_on_output;
	w->output.stream.r.buffer_len = API_LINE_BUFFER;
	ustream_fd_init(&w->output, read_fd);
}

void api_on_output(struct ustream *s, int)
{
	api_worker *w = worker_of(s);

	while (!w->held) {
		int n;
		char *data = ustream_get_read_buf(s, &n);
		if (!data || !n)
			return;

		/* string_data keeps a zero byte behind the data; a NUL inside ends the search too */
		char *lf = strchr(data, '\n');
		if (w->discarding) {
			if (lf)
				w->discarding = false;
			take(w, lf ? (int) (lf - data) + 1 : n);
			continue;
		}
		if (!lf) {
			if (n < s->r.buffer_len)
				return;	/* wait for the rest of the line */
			w->discarding = true;	/* a full buffer without a line end: drop the line */
			take(w, n);
			continue;
		}

		int k = (int) (lf - data);
		if (w->topic && mqtt_backlog_high()) {
			hold(w);	/* the line stays buffered, in its place */
			return;
		}
		*lf = '\0';
		if (w->topic) {
			/* refused for good: counted and logged there; full: the line waits */
			if (mqtt_publish(w->topic, data, k) == MQTT_BACKLOG_FULL) {
				*lf = '\n';
				hold(w);
				return;
			}
		} else if (!(w->topic = strdup(data))) {
			log_msg(0, "%s: no memory for the reply topic %s\n", API_NAME, data);
			*lf = '\n';	/* keep the line intact for the next attempt */
			return;
		}
		take(w, k + 1);
	}
}

void api_on_exit(struct uloop_process *p, int status)
{
	api_worker *w = container_of(p, api_worker, process);

	report_exit(w, status);
	if (w->deadline.pending) {
		uloop_timeout_cancel(&w->deadline);
		watch_group(w);
	}
	w->exited = true;

	/* Lines written just before the exit may still sit in the pipe. */
	int in_pipe = 0;
	if (ioctl(w->output.fd.fd, FIONREAD, &in_pipe) < 0)
		in_pipe = 0;
	w->drain_end = w->consumed + (size_t) w->output.stream.r.data_bytes + (size_t) in_pipe;
	finish(w);
}

void api_output_resume(void)
{
	resume_timer.cb = resume_held;
	uloop_timeout_set(&resume_timer, 0);
}

void api_get_stats(struct api_stats *st)
{
	*st = stats;
}

bool api_idle(void)
{
	return list_empty(&api_queue) && list_empty(&api_workers);
}

int api_kill_all(void)
{
	int n = 0;
	api_worker *w;

	list_for_each_entry(w, &api_workers, link) {
		if (!w->exited) {
			child_kill_group(w->process.pid);
			n++;
		}
	}
	group_watch_kill_all();
	return n;
}

// A queued report published again on its own topic; false when the session
// cannot take it now (its backlog is full) or it is not one of ours.
namespace {

bool republish(const api_job *j)
{
	json_ptr obj(json_tokener_parse(j->text));
	json_object *topic, *payload;
	if (!obj || !json_object_object_get_ex(obj.get(), "topic", &topic) ||
	    !json_object_object_get_ex(obj.get(), "payload", &payload))
		return false;
	return fleet_hand_back(json_object_get_string(topic), json_object_get_string(payload),
			       json_object_get_string_len(payload)) == 0;
}

} // namespace

int api_hand_back(void)
{
	int n = 0;

	while (!list_empty(&api_queue) &&
	       republish(list_first_entry(&api_queue, api_job, link))) {
		free(dequeue());
		n++;
	}
	return n;
}
