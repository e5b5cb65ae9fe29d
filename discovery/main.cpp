// quildis: finds the access controller (AP mode, -c) or announces it (AC mode)
// on UDP port 32200 of one interface.
#include "auth.h"
#include "controllers.h"
#include "daemon.h"
#include "datagram.h"
#include "detach.h"
#include "number_arg.h"
#include "signals.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

struct quildis_options {
	const char *ifname = "br-lan";
	const char *key_file = nullptr;
	bool foreground = false;
};

void print_usage(FILE *to, const char *prog)
{
	fprintf(to,
		"Usage: %s [options]\nOptions:\n -i <name>:\t\tinterface (default: br-lan)\n"
		" -c:\t\t\tAP mode: find the controller (default: AC mode, announce it)\n"
		" -P <proto>:\t\tprotocol announced (default: none)\n"
		" -p <port>:\t\tport announced, 1..%d (default: none)\n"
		" -k <file>:\t\tkey: sign announcements (AC), take only signed ones (AP)\n"
		" -a <address>:\tAP: ask this controller by unicast as well (at most %zu)\n"
		" -t <seconds>:\ttime limit of a hotplug script, 0: none (default: %d)\n"
		" -f:\t\t\tstay in the foreground\n"
		" -h:\t\t\tthis text\n\n",
		prog, PORT_MAX, DISC_MAX_CONTROLLERS, DISC_HOTPLUG_LIMIT_S);
}

[[noreturn]] void usage(const char *prog)
{
	print_usage(stderr, prog);
	exit(1);
}

// Refuses a value the way number_arg() does: the option, the value, why.
[[noreturn]] void refuse(char option, const char *value, const char *why)
{
	fprintf(stderr, "Invalid -%c value '%s': %s.\n", option, value, why);
	exit(1);
}

void add_controller(const char *text)
{
	size_t before = g_controllers.count;
	if (!controllers_add(&g_controllers, text))
		refuse('a', text, "not a controller's IPv4 address");
	if (g_controllers.count == before && before == DISC_MAX_CONTROLLERS &&
	    !controllers_has(&g_controllers, text))
		refuse('a', text, "more controllers than an AP asks");
}

quildis_options parse_options(int argc, char **argv)
{
	quildis_options o;
	int ch;

	while ((ch = getopt(argc, argv, "a:cfhi:k:p:P:t:")) != -1) {
		switch (ch) {
		case 'a':
			add_controller(optarg);
			break;
		case 'c':
			g_quildis_mode = QUILDIS_AP;
			break;
		case 'f':
			o.foreground = true;	/* for supervisors that keep it in the foreground */
			break;
		case 'i':
			o.ifname = optarg;
			break;
		case 'k':
			o.key_file = optarg;
			break;
		case 'p':
			if (!port_arg('p', optarg, &g_port))
				exit(1);	/* the line says it all: no usage text */
			break;
		case 'P':
			/* what an AP would refuse is never announced */
			if (!disc_is_proto_name(optarg))
				refuse('P', optarg, "letters, digits and \"._+-\", at most 31, "
				       "starting with a letter or digit");
			free(g_proto);
			g_proto = strdup(optarg);
			break;
		case 'h':
			print_usage(stdout, argv[0]);
			exit(0);
		case 't':
			if (!number_arg('t', optarg, 0, DISC_HOTPLUG_LIMIT_MAX_S, &g_hotplug_limit_s))
				exit(1);
			break;
		default:
			usage(argv[0]);
		}
	}
	return o;
}

} // namespace

int main(int argc, char **argv)
{
	quildis_options opts = parse_options(argc, argv);

	/* Refused before detaching, so the caller sees it: cutting the name could
	 * bind the daemon to another interface. */
	if (strlen(opts.ifname) >= IFNAMSIZ) {
		fprintf(stderr, "interface name too long (at most %d characters): %s\n",
			IFNAMSIZ - 1, opts.ifname);
		return 255;
	}

	if (opts.key_file && disc_auth_load_key(opts.key_file) < 0)
		return 255;
	size_t longest = disc_auth_enabled() ? disc_announce_max_len() : 0;
	if (longest > DISC_MAX_DATAGRAM) {
		fprintf(stderr, "a signed announcement would take %zu bytes, more than the %zu an AP reads "
			"(shorten -P)\n", longest, DISC_MAX_DATAGRAM);
		return 255;
	}

	if (!opts.foreground)
		daemon_detach(false);
	setvbuf(stdout, nullptr, _IOLBF, 0);
	daemon_signals_install();

	g_ifname = strdup(opts.ifname);
	if (!g_ifname)
		return 255;
	int fd = open_server_socket(g_ifname);
	if (fd < 0)
		return 255;
	if (g_quildis_mode == QUILDIS_AP)
		printf("AP: asking for a controller on %s, UDP port %d\n", g_ifname, DISC_PORT);
	else
		printf("AC: answering on %s, UDP port %d\n", g_ifname, DISC_PORT);

	uloop_init();
	server_fd.fd = fd;
	server_fd.cb = on_server_readable;
	uloop_fd_add(&server_fd, ULOOP_READ);
	ubus_setup();

	daemon_catch_early_term();
	uloop_run();

	ubus_teardown();
	uloop_fd_delete(&server_fd);
	close(fd);
	uloop_done();
	free(g_ifname);
	free(g_proto);
	disc_auth_set_key(nullptr, 0);
	return 0;
}
