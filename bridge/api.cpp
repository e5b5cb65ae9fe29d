// Every report becomes `/usr/sbin/quilapi mqtt <json>`. The worker's standard
// output and error share one pipe read through a ustream: the first line is
// the reply topic, each further line is published on it.
#include "api.h"
#include "child.h"
#include "log.h"
#include "mqtt.h"
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
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char *API_DIR = "/usr/sbin/";
constexpr const char *API_NAME = "quilapi";
constexpr const char *OFFLINE_PREFIX = "offline/";
constexpr size_t OFFLINE_PREFIX_LEN = 8;

// A worker that leaves a writer behind (a background child holding its
// output) must not keep the daemon draining forever.
constexpr int MAX_DRAIN_ROUNDS = 1024;

LIST_HEAD(api_workers);

} // namespace

struct api_worker {
	list_head link;
	uloop_process process;
	ustream_fd output;
	bool discarding;
	char name[16];
	char *topic;
};

namespace {

api_worker *worker_of(ustream *s)
{
	return container_of(container_of(s, ustream_fd, stream), api_worker, output);
}

void report_exit(const api_worker *w, int status)
{
	pid_t pid = w->process.pid;

	if (WIFEXITED(status))
		printf("%s (%d): exit with %d\n", w->name, pid, WEXITSTATUS(status));
	else if (WIFSIGNALED(status))
		printf("%s (%d): exit with signal %d\n", w->name, pid, WTERMSIG(status));
	else if (WIFSTOPPED(status))
		printf("%s (%d): stop with signal %d\n", w->name, pid, WSTOPSIG(status));
	fflush(stdout);
}

} // namespace

void api_on_message(struct mosquitto *, void *, const struct mosquitto_message *msg)
{
	const char *topic = msg->topic;

	if (msg->payloadlen <= 0 || !msg->payload) {
		log_msg(4, "message: %s (null)", topic);
		return;
	}
	if (!strncmp(topic, OFFLINE_PREFIX, OFFLINE_PREFIX_LEN)) {
		client_delete(topic + OFFLINE_PREFIX_LEN);
		return;
	}

	json_object *obj = json_object_new_object();
	if (!obj) {
		log_msg(0, "json object error for (%s)", topic);
		return;
	}
	json_object *jtopic = json_object_new_string(topic);
	if (!jtopic) {
		log_msg(0, "json msg topic %s error", topic);
		json_object_put(obj);
		return;
	}
	json_object_object_add(obj, "topic", jtopic);

	const char *payload = (const char *) msg->payload;
	json_object *jpayload = json_object_new_string_len(payload, (int) strnlen(payload, msg->payloadlen));
	if (!jpayload) {
		log_msg(0, "json msg payload %s error", topic);
		json_object_put(obj);
		return;
	}
	json_object_object_add(obj, "payload", jpayload);

	const char *text = json_object_to_json_string(obj);
	if (text)
		api_spawn(text);
	json_object_put(obj);
}

int api_spawn(const char *json)
{
	int fds[2];

	if (pipe(fds) < 0) {
		fprintf(stderr, "pipe failed for (%d)", errno);
		return -1;
	}

	api_worker *w = api_worker_new();
	if (!w) {
		close(fds[0]);
		close(fds[1]);
		return -1;
	}

	char path[64], exec_error[96];
	snprintf(path, sizeof(path), "%s%s", API_DIR, API_NAME);
	snprintf(exec_error, sizeof(exec_error), "failed execl %s", path);	/* no line end: never a line */
	char *const argv[] = { (char *) API_NAME, (char *) "mqtt", (char *) json, nullptr };
	const child_spec spec = {
		.path = path,
		.argv = argv,
		.envp = nullptr,
		.stdio_fd = fds[1],
		.exec_error = exec_error,
	};

	pid_t pid = child_spawn(&spec);
	if (pid < 0) {
		fprintf(stderr, "fork quilapi_process failed for");
		free(w);
		close(fds[0]);
		close(fds[1]);
		return -1;
	}

	close(fds[1]);
	api_watch(w, pid, fds[0]);
	return 0;
}

struct api_worker *api_worker_new(void)
{
	return (api_worker *) calloc(1, sizeof(api_worker));
}

void api_watch(struct api_worker *w, pid_t pid, int read_fd)
{
	snprintf(w->name, sizeof(w->name), "%s", API_NAME);
	w->process.pid = pid;
	w->process.cb = api_on_exit;
	uloop_process_add(&w->process);
	list_add_tail(&w->link, &api_workers);

	fcntl(read_fd, F_SETFD, fcntl(read_fd, F_GETFD) | FD_CLOEXEC);
	w->output.stream.string_data = true;
	w->output.stream.notify_read = api_on_output;
	w->output.stream.r.buffer_len = API_LINE_BUFFER;
	ustream_fd_init(&w->output, read_fd);
}

void api_on_output(struct ustream *s, int)
{
	api_worker *w = worker_of(s);

	for (;;) {
		int n;
		char *data = ustream_get_read_buf(s, &n);
		if (!data || !n)
			return;

		/* string_data keeps a zero byte behind the data; a NUL inside ends the search too */
		char *lf = strchr(data, '\n');
		if (w->discarding) {
			if (lf)
				w->discarding = false;
			ustream_consume(s, lf ? (int) (lf - data) + 1 : n);
			continue;
		}
		if (!lf) {
			if (n < s->r.buffer_len)
				return;	/* wait for the rest of the line */
			w->discarding = true;	/* a full buffer without a line end: drop the line */
			ustream_consume(s, n);
			continue;
		}

		int k = (int) (lf - data);
		*lf = '\0';
		if (w->topic) {
			mqtt_publish(w->topic, data, k);
		} else if (!(w->topic = strdup(data))) {
			fprintf(stderr, "dup %s failed\n", data);
			*lf = '\n';	/* keep the line intact for the next attempt */
			return;
		}
		ustream_consume(s, k + 1);
	}
}

void api_on_exit(struct uloop_process *p, int status)
{
	api_worker *w = container_of(p, api_worker, process);
	ustream *s = &w->output.stream;

	report_exit(w, status);

	/* Lines written just before the exit may still sit in the pipe. */
	for (int round = 0; round < MAX_DRAIN_ROUNDS && ustream_poll(s); round++)
		;

	list_del(&w->link);
	ustream_free(s);
	close(w->output.fd.fd);
	free(w->topic);
	free(w);
}
