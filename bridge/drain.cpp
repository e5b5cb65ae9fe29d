// The stop's second run of the loop. Reports still in flight when the
// report filters are unsubscribed are taken like any other: the session
// acknowledged them, so they are ours to run.
#include "drain.h"
#include "api.h"
#include "backlog.h"
#include "clock.h"
#include "fleet.h"
#include "log.h"
#include "mqtt.h"
#include "signals.h"

extern "C" {
#include <libubox/uloop.h>
}

namespace {

// Often enough to end soon after the last acknowledgement, cheap enough
// for the few seconds a stop takes.
constexpr int CHECK_MS = 50;

uloop_timeout check_timer;
uloop_timeout limit_timer;
uloop_timeout hand_back_timer;

bool done()
{
	return mqtt_reports_stopped() && api_idle() && mqtt_all_acknowledged();
}

void check(uloop_timeout *t)
{
	if (done())
		uloop_end();
	else
		uloop_timeout_set(t, CHECK_MS);
}

void out_of_time(uloop_timeout *)
{
	uloop_end();
}

// Half the limit has gone and reports still wait in the queue: in a group
// the others take them now rather than lose them at the limit. Not sooner,
// and only while another member is there: a shared subscription nobody
// holds drops what is published to it.
void hand_back(uloop_timeout *)
{
	api_stats as;
	api_get_stats(&as);
	if (!as.queued || !mqtt_reports_stopped() || mqtt_get_state() != MQTT_CONNECTED)
		return;
	if (!fleet_others_present()) {
		log_msg(2, "stopping: no other member of the group is there to take the queue\n");
		return;
	}
	int n = api_hand_back();
	if (n)
		log_msg(2, "stopping: %d queued report(s) handed back to the group\n", n);
}

// The loop again, until the work is done, the limit, or a second signal.
void run_until_done(int limit_s)
{
	log_msg(2, "stopping: finishing the reports taken, at most %d seconds\n", limit_s);
	check_timer.cb = check;
	limit_timer.cb = out_of_time;
	uloop_timeout_set(&check_timer, 0);
	uloop_timeout_set(&limit_timer, limit_s * 1000);
	if (fleet_grouped()) {
		hand_back_timer.cb = hand_back;
		uloop_timeout_set(&hand_back_timer, limit_s * 500);
	}
	daemon_catch_second_signal();
	uloop_run();
	uloop_timeout_cancel(&check_timer);
	uloop_timeout_cancel(&limit_timer);
	uloop_timeout_cancel(&hand_back_timer);
}

} // namespace

void drain_run(int limit_s)
{
	int64_t start = monotonic_ms();

	mqtt_stop_reports();
	fleet_leave();
	if (done())
		return;	/* nothing to finish: the stop is what it always was */
	run_until_done(limit_s);
	if (done()) {
		log_msg(2, "stopped after %d ms, nothing left\n", (int) (monotonic_ms() - start));
		return;
	}

	api_stats as;
	backlog_stats bs;
	api_get_stats(&as);
	backlog_get_stats(&bs);
	int killed = api_kill_all();
	log_msg(0, "stopped after %d ms with work left: %d report(s) queued, %d worker(s) "
		"killed, %d publication(s) not acknowledged\n", (int) (monotonic_ms() - start),
		as.queued, killed, bs.messages);
}
