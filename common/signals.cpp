// The daemons' signal handling: SIGTERM ends the event loop, even when it
// arrives before the loop runs; SIGPIPE is ignored.
#include "signals.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t term_signal;
volatile sig_atomic_t signals_seen;
sig_atomic_t signals_before_run;	// what the runs before this one ended with
uloop_timeout early_term;
// A signal that comes just before the loop waits would only be seen at its
// next event (up to seconds later): the handler also writes a byte here.
int wake_pipe[2] = { -1, -1 };
uloop_fd wake;

void on_sigterm(int sig)
{
	if (!term_signal)
		term_signal = sig;
	signals_seen = signals_seen + 1;
	uloop_cancelled = true;
	int saved = errno;
	if (wake_pipe[1] >= 0 && write(wake_pipe[1], "", 1) < 0) {
		/* full: a wake-up is pending anyway */
	}
	errno = saved;
}

void drain_wake_pipe()
{
	char buf[16];
	while (wake_pipe[0] >= 0 && read(wake_pipe[0], buf, sizeof(buf)) > 0)
		;
}

void end_if_terminated(uloop_timeout *)
{
	if (signals_seen > signals_before_run)
		uloop_end();
}

void on_wake(uloop_fd *, unsigned int)
{
	drain_wake_pipe();
	end_if_terminated(nullptr);
}

void watch_wake_pipe()
{
	if (wake_pipe[0] < 0 && pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) < 0)
		return;	/* the loop's next event still sees the signal */
	wake.fd = wake_pipe[0];
	wake.cb = on_wake;
	uloop_fd_add(&wake, ULOOP_READ);
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

// Every signal since the handler was installed counts for the first run,
// also one that came while the daemon was still setting up.
void daemon_catch_early_term(void)
{
	drain_wake_pipe();	/* what came before is counted by signals_seen */
	watch_wake_pipe();
	early_term.cb = end_if_terminated;
	uloop_timeout_set(&early_term, 0);
}

void daemon_catch_second_signal(void)
{
	set_handler(SIGINT, on_sigterm);
	signals_before_run = term_signal ? 1 : 0;	/* the first run ended with that one */
	daemon_catch_early_term();
}
