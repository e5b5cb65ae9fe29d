// quilac's command line: getopt over a fixed option string, the usage text.
#include "options.h"
#include "fleet.h"
#include "number_arg.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

int usage_error(const char *prog)
{
	print_usage(prog);
	return 1;
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
		"  \t\t\tname[:port], up to %d times: the next after a lost session\n"
		" -p <port>:\tmqtt  borker port (default: 1883)\n"
		" -i <id>:\t\tmqtt  client id\n"
		" -S:\t\t\tUse stderr instead of syslog for log messages\n"
		" -v:\t\t\tDump version\n"
		" -w <count>:\tAPI workers at once (default: %d)\n"
		" -q <KiB>:\tQueue of reports waiting for a worker (default: %d)\n"
		" -t <seconds>:\tTime limit of a worker, 0: none (default: %d)\n"
		" -u <name>:\tmqtt  user name (default: root)\n"
		" -P <file>:\tmqtt  password file (default: Base64 of the client id)\n"
		" -C <file>:\tCA file or directory: TLS to the broker\n"
		" -E <file>:\tTLS client certificate\n"
		" -K <file>:\tTLS client key\n"
		" -g <group>:\tShare reports and the client registry with a group of bridges\n"
		" -D <seconds>:\tTime a stop may take to finish its work (default: %d)\n"
		"\n", prog, DEFAULT_LOG_LEVEL, MAX_BROKERS, DEFAULT_MAX_WORKERS, DEFAULT_QUEUE_KIB,
		DEFAULT_TIME_LIMIT_S, DEFAULT_DRAIN_LIMIT_S);
}

int parse_options(int argc, char **argv, bridge_options *opts)
{
	int ch;

	optind = 0;	/* full reset: parse_options may run more than once */
	/* '+': stop at the first word that is not an option, never reorder */
	while ((ch = getopt(argc, argv, "+cdvl:p:b:i:Sw:q:t:u:P:C:E:K:g:D:")) != -1) {
		switch (ch) {
		case 'd':
			opts->daemonize = true;
			break;
		case 'l':
			if (!number_arg('l', optarg, 0, MAX_LOG_LEVEL, &opts->log_level))
				return usage_error(argv[0]);
			break;
		case 'b':
			if (!strcmp(optarg, "0")) {
				fprintf(stderr, "Invalid mqtt borker name.\n");
				return usage_error(argv[0]);
			}
			if (!broker_add(&opts->brokers, optarg))
				return usage_error(argv[0]);
			break;
		case 'p':
			if (!port_arg('p', optarg, &opts->port))
				return usage_error(argv[0]);
			break;
		case 'i':
			opts->client_id = optarg;
			break;
		case 'S':
			opts->use_syslog = false;
			break;
		case 'w':
			if (!number_arg('w', optarg, 1, MAX_WORKERS, &opts->max_workers))
				return usage_error(argv[0]);
			break;
		case 'q':
			if (!number_arg('q', optarg, 1, MAX_QUEUE_KIB, &opts->queue_kib))
				return usage_error(argv[0]);
			break;
		case 't':
			if (!number_arg('t', optarg, 0, MAX_TIME_LIMIT_S, &opts->time_limit_s))
				return usage_error(argv[0]);
			break;
		case 'u':
			opts->user = optarg;
			break;
		case 'P':
			opts->password_file = optarg;
			break;
		case 'C':
			opts->ca = optarg;
			break;
		case 'E':
			opts->cert = optarg;
			break;
		case 'K':
			opts->key = optarg;
			break;
		case 'g':
			if (!fleet_group_valid(optarg)) {
				fprintf(stderr, "Invalid group '%s': 1 to %d of A-Z a-z 0-9 _ -.\n",
					optarg, FLEET_GROUP_MAX);
				return usage_error(argv[0]);
			}
			opts->group = optarg;
			break;
		case 'D':
			if (!number_arg('D', optarg, 0, MAX_DRAIN_LIMIT_S, &opts->drain_limit_s))
				return usage_error(argv[0]);
			break;
		case 'v':
			printf("%s %s\n", argv[0], BRIDGE_VERSION);
			return 0;
		default:	/* -c, unknown options, missing arguments */
			return usage_error(argv[0]);
		}
	}
	return -1;
}
