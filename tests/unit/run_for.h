// Runs the event loop for at most `ms`, so that a test whose condition never
// comes still ends (a callback may end the loop earlier with uloop_end).
#pragma once

extern "C" {
#include <libubox/uloop.h>
}

inline void run_for(int ms)
{
	uloop_timeout guard = {};
	guard.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&guard, ms);
	uloop_run();
	uloop_timeout_cancel(&guard);
}

// Runs the event loop in short slices until `done()` holds or `max_ms` have
// passed; returns done(). For conditions a slow machine (an emulator) reaches
// much later than a fast one.
template <typename Done>
inline bool run_until(Done done, int max_ms = 2000)
{
	for (int waited = 0; !done() && waited < max_ms; waited += 5)
		run_for(5);
	return done();
}
