// quilac: bridges device reports between the MQTT broker and the API program,
// and offers the bus object "quilac".
#include "api.h"
#include "credentials.h"
#include "detach.h"
#include "drain.h"
#include "fleet.h"
#include "log.h"
#include "mqtt.h"
#include "options.h"
#include "registry.h"
#include "signals.h"
#include "ubus.h"

extern "C" {
#include <libubox/uloop.h>
}

namespace {

constexpr const char *LOG_IDENT = "quilac-1.0";

} // namespace

int main(int argc, char **argv)
{
	bridge_options opts;

	int status = parse_options(argc, argv, &opts);
	if (status >= 0)
		return status;
	/* refused before detaching, so the caller sees why */
	if (opts.client_id && credentials_load(&opts) < 0)
		return 1;
	if (opts.daemonize)
		daemon_detach(!opts.use_syslog);
	if (!opts.client_id) {
		print_usage(argv[0]);
		return 1;
	}

	log_open(LOG_IDENT, opts.use_syslog, opts.log_level);
	daemon_signals_install();
	client_init();
	const api_limits limits = {
		.max_workers = opts.max_workers,
		.queue_bytes = (size_t) opts.queue_kib * 1024,
		.time_limit_s = opts.time_limit_s,
	};
	api_configure(&limits);
	fleet_configure(opts.group, opts.client_id);
	uloop_init();
	/* the bus first: its connect reads the bus daemon's greeting blocking, and
	   the exit of the resolver's child (SIGCHLD) would cut that read short */
	bridge_ubus_setup();
	mqtt_start(&opts.brokers, opts.port, opts.client_id);

	daemon_catch_early_term();
	uloop_run();

	/* logged here, not in the handler, where it could deadlock */
	if (daemon_term_signal())
		log_msg(2, "recv %d signal", daemon_term_signal());
	drain_run(opts.drain_limit_s);
	mqtt_stop();
	fleet_stop();
	api_stop();
	bridge_ubus_teardown();
	credentials_clear();
	log_close();
	uloop_done();
	return 0;
}
