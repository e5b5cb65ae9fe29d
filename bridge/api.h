// Dispatch of device reports to the API program, one worker process each.
#pragma once

#include <sys/types.h>

struct mosquitto;
struct mosquitto_message;
struct ustream;
struct uloop_process;

// The worker's output lines are cut at this many bytes (the read buffer).
constexpr int API_LINE_BUFFER = 8192;

void api_on_message(struct mosquitto *mosq, void *user, const struct mosquitto_message *msg);
int api_spawn(const char *json);

// Takes over a started worker (a zero-filled record from calloc): watches the
// process and reads its output from `read_fd`; released when it has exited.
struct api_worker;
struct api_worker *api_worker_new(void);
void api_watch(struct api_worker *w, pid_t pid, int read_fd);
void api_on_output(struct ustream *s, int bytes);
void api_on_exit(struct uloop_process *p, int status);
