// Runs the event loop for at most `ms`, so that a test whose condition never
// comes still ends (a callback may end the loop earlier with uloop_end).
#pragma once

extern "C" {
#include <libubox/uloop.h>
}

inline void run_for(int ms)
{
	static uloop_timeout guard;
	guard.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&guard, ms);
	uloop_run();
	uloop_timeout_cancel(&guard);
}
