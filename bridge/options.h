// The command line of quilac.
#pragma once

#include "brokers.h"

#include <stdbool.h>

constexpr int DEFAULT_LOG_LEVEL = 3;
constexpr int MAX_LOG_LEVEL = 4;	// 0 critical .. 4 debug
constexpr const char *BRIDGE_VERSION = "1.0";

// API workers at once. A worker is a shell or Lua script of a few MiB, mostly
// waiting on the bus or the flash; eight of them keep a router with 128 MiB
// well clear of the OOM killer and still overlap their waits.
constexpr int DEFAULT_MAX_WORKERS = 8;
// Reports waiting for a free worker, in KiB of their JSON texts: some
// thousands of typical reports, a small share of a router's memory.
constexpr int DEFAULT_QUEUE_KIB = 4096;
// Seconds a worker may run before it is killed; 0: no limit.
constexpr int DEFAULT_TIME_LIMIT_S = 60;
// The largest values taken: the time limit is armed in milliseconds of
// an int, and the queue's size in bytes must fit a 32-bit size_t.
constexpr int MAX_TIME_LIMIT_S = 2147483;
constexpr int MAX_QUEUE_KIB = 1 << 21;
// Every worker holds a process and a pipe: more than this would only run the
// router out of descriptors and memory.
constexpr int MAX_WORKERS = 1024;
// Seconds a planned stop (SIGTERM) may take to finish the work taken; the
// init script gives procd's term_timeout a few seconds more.
constexpr int DEFAULT_DRAIN_LIMIT_S = 20;
constexpr int MAX_DRAIN_LIMIT_S = 3600;

struct bridge_options {
	broker_list brokers;
	int port = 1883;
	const char *client_id = nullptr;
	int log_level = DEFAULT_LOG_LEVEL;
	bool use_syslog = true;
	bool daemonize = false;
	int max_workers = DEFAULT_MAX_WORKERS;
	int queue_kib = DEFAULT_QUEUE_KIB;
	int time_limit_s = DEFAULT_TIME_LIMIT_S;
	const char *user = "root";
	const char *password_file = nullptr;	// nullptr: the client id's Base64
	const char *ca = nullptr;		// CA file or directory; nullptr: no TLS
	const char *cert = nullptr;		// client certificate and its key
	const char *key = nullptr;
	const char *group = nullptr;		// nullptr: a bridge on its own
	int drain_limit_s = DEFAULT_DRAIN_LIMIT_S;
};

// Parses argv into *opts. Returns -1 to go on, or the exit status when the
// process must end now (after -v, or after a usage error it has reported).
int parse_options(int argc, char **argv, bridge_options *opts);
void print_usage(const char *prog);
