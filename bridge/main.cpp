// quilac: bridges device reports between the MQTT broker and the API program,
// and offers the bus object "quilac".
#include "log.h"
#include "mqtt.h"
#include "options.h"
#include "registry.h"
#include "ubus.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *log_ident = "quilac-1.0";

volatile sig_atomic_t term_signal;
uloop_timeout early_term;

// Only records the signal: logging from here could wait on a lock that the
// interrupted code holds. The message is logged once the loop has returned.
void on_sigterm(int sig)
{
	term_signal = sig;
	uloop_cancelled = true;
}

// uloop_run() clears uloop_cancelled on entry, so a SIGTERM that came during
// start-up is acted on from the loop's first iteration instead of being lost.
void end_if_terminated(uloop_timeout *)
{
	if (term_signal)
		uloop_end();
}

// Forks once or twice; a failed fork leaves the process where it is.
void detach()
{
	umask(0);
	pid_t pid = fork();
	if (pid < 0) {
		perror("fork error:\n");
		return;
	}
	if (pid > 0)
		exit(0);

	setsid();
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = SIG_IGN;
	sigemptyset(&sa.sa_mask);
	if (sigaction(SIGHUP, &sa, nullptr) < 0)
		perror("sigaction error:");

	pid = fork();
	if (pid < 0) {
		perror("fork error:\n");
		return;
	}
	if (pid > 0)
		exit(0);
}

void install_signals()
{
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = on_sigterm;
	sigaction(SIGTERM, &sa, nullptr);

	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = SIG_IGN;
	sigaction(SIGPIPE, &sa, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
	bridge_options opts;

	int status = parse_options(argc, argv, &opts);
	if (status >= 0)
		return status;
	if (opts.daemonize)
		detach();
	if (!opts.client_id) {
		print_usage(argv[0]);
		return 1;
	}

	log_open(log_ident, opts.use_syslog, opts.log_level);
	install_signals();
	client_init();
	uloop_init();
	mqtt_start(opts.broker, opts.port, opts.client_id);
	bridge_ubus_setup();

	early_term.cb = end_if_terminated;
	uloop_timeout_set(&early_term, 0);
	uloop_run();

	if (term_signal)
		log_msg(0, "recv %d signal", (int) term_signal);
	mqtt_stop();
	bridge_ubus_teardown();
	log_close();
	uloop_done();
	return 0;
}
