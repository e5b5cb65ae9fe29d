// SIGTERM and SIGPIPE handling shared by the daemons.
#pragma once

// SIGTERM records the signal and cancels the event loop (nothing else: no
// locks may be taken in a handler); SIGPIPE is ignored, so a write to a closed
// socket or pipe fails instead of ending the process. SIGCHLD goes back to
// its default, so the event loop sees every child end. Call before uloop_init.
void daemon_signals_install(void);

// The first SIGTERM received, or 0.
int daemon_term_signal(void);

// uloop_run() clears the cancellation on entry; this makes a SIGTERM that came
// before the loop started end it at its first iteration. Call after uloop_init.
void daemon_catch_early_term(void);

// For a second run of the loop, after the first signal (a stop that finishes
// its work): SIGTERM or SIGINT ends it, also one that came in between.
void daemon_catch_second_signal(void);
