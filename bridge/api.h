// Dispatch of device reports to the API program, one worker process each.
#pragma once

struct mosquitto;
struct mosquitto_message;
struct ustream;
struct uloop_process;

// The worker's output lines are cut at this many bytes (the read buffer).
constexpr int api_line_buffer = 8192;

void api_on_message(struct mosquitto *mosq, void *user, const struct mosquitto_message *msg);
int api_spawn(const char *json);
void api_on_output(struct ustream *s, int bytes);
void api_on_exit(struct uloop_process *p, int status);
