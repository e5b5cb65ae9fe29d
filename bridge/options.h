// The command line of quilac.
#pragma once

#include <stdbool.h>

constexpr int DEFAULT_LOG_LEVEL = 3;
constexpr const char *BRIDGE_VERSION = "1.0";

struct bridge_options {
	const char *broker = "localhost";
	int port = 1883;
	const char *client_id = nullptr;
	int log_level = DEFAULT_LOG_LEVEL;
	bool use_syslog = true;
	bool daemonize = false;
};

// Parses argv into *opts. Returns -1 to go on, or the exit status when the
// process must end now (after -v, or after a usage error it has reported).
int parse_options(int argc, char **argv, bridge_options *opts);
void print_usage(const char *prog);
