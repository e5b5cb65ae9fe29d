// The daemons' signal handling: SIGTERM ends the event loop, even when it
// arrives before the loop runs; SIGPIPE is ignored.
#include "signals.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <signal.h>
#include <string.h>

namespace {

volatile sig_atomic_t term_signal;
volatile sig_atomic_t signals_seen;
sig_atomic_t signals_before_run;	// what the loop about to run has already had
uloop_timeout early_term;

void on_sigterm(int sig)
{
	if (!term_signal)
		term_signal = sig;
	signals_seen = signals_seen + 1;
	uloop_cancelled = true;
}

void end_if_terminated(uloop_timeout *)
{
	if (signals_seen > signals_before_run)
		uloop_end();
}

void set_handler(int sig, void (*handler)(int))
{
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = handler;
	sigaction(sig, &sa, nullptr);
}

} // namespace

void daemon_signals_install(void)
{
	set_handler(SIGTERM, on_sigterm);
	set_handler(SIGPIPE, SIG_IGN);
	/* Whoever started us may have left SIGCHLD ignored: the kernel would then
	 * reap our children unseen, and the event loop, which takes over SIGCHLD
	 * only at its default, would never learn that one ended. */
	set_handler(SIGCHLD, SIG_DFL);
}

int daemon_term_signal(void)
{
	return term_signal;
}

void daemon_catch_early_term(void)
{
	signals_before_run = signals_seen;
	early_term.cb = end_if_terminated;
	uloop_timeout_set(&early_term, 0);
}

void daemon_catch_second_signal(void)
{
	set_handler(SIGINT, on_sigterm);
	daemon_catch_early_term();
}
