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
uloop_timeout early_term;

void on_sigterm(int sig)
{
	term_signal = sig;
	uloop_cancelled = true;
}

void end_if_terminated(uloop_timeout *)
{
	if (term_signal)
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
	early_term.cb = end_if_terminated;
	uloop_timeout_set(&early_term, 0);
}
