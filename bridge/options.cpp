// quilac's command line: getopt over a fixed option string, the usage text.
#include "options.h"

#include <getopt.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// The number in `text`, or `fallback` when it is below `min`; at most `max`
// (an overlong number too, instead of wrapping round).
int number_in(const char *text, int min, int max, int fallback)
{
	long value = strtol(text, nullptr, 10);
	if (value < min)
		return fallback;
	return value > max ? max : (int) value;
}

} // namespace

void print_usage(const char *prog)
{
	fprintf(stderr,
		"Usage: %s [options]\n"
		"Options:\n"
		" -d:\t\t\tDaemonize program\n"
		" -l <level>:\tLog output level (default: %d)\n"
		" -b <name>:\tmqtt  borker name (default: localhost)\n"
		" -p <port>:\tmqtt  borker port (default: 1883)\n"
		" -i <id>:\t\tmqtt  client id\n"
		" -S:\t\t\tUse stderr instead of syslog for log messages\n"
		" -v:\t\t\tDump version\n"
		" -w <count>:\tAPI workers at once (default: %d)\n"
		" -q <KiB>:\tQueue of reports waiting for a worker (default: %d)\n"
		" -t <seconds>:\tTime limit of a worker, 0: none (default: %d)\n"
		"\n", prog, DEFAULT_LOG_LEVEL, DEFAULT_MAX_WORKERS, DEFAULT_QUEUE_KIB,
		DEFAULT_TIME_LIMIT_S);
}

int parse_options(int argc, char **argv, bridge_options *opts)
{
	int ch;

	optind = 0;	/* full reset: parse_options may run more than once */
	/* '+': stop at the first word that is not an option, never reorder */
	while ((ch = getopt(argc, argv, "+cdvl:p:b:i:Sw:q:t:")) != -1) {
		switch (ch) {
		case 'd':
			opts->daemonize = true;
			break;
		case 'l':
			opts->log_level = atoi(optarg);
			break;
		case 'b':
			if (!strcmp(optarg, "0")) {
				fprintf(stderr, "Invalid mqtt borker name.\n");
				print_usage(argv[0]);
				return 1;
			}
			opts->broker = optarg;
			break;
		case 'p':
			opts->port = atoi(optarg);
			break;
		case 'i':
			opts->client_id = optarg;
			break;
		case 'S':
			opts->use_syslog = false;
			break;
		case 'w':
			opts->max_workers = number_in(optarg, 1, INT_MAX, DEFAULT_MAX_WORKERS);
			break;
		case 'q':
			opts->queue_kib = number_in(optarg, 1, MAX_QUEUE_KIB, DEFAULT_QUEUE_KIB);
			break;
		case 't':
			opts->time_limit_s = number_in(optarg, 0, MAX_TIME_LIMIT_S, DEFAULT_TIME_LIMIT_S);
			break;
		case 'v':
			printf("%s %s\n", argv[0], BRIDGE_VERSION);
			return 0;
		default:	/* -c, unknown options, missing arguments */
			print_usage(argv[0]);
			return 1;
		}
	}
	return -1;
}
