// The monotonic clock in milliseconds, for intervals and deadlines. In 64
// bits: a 32-bit long (the router's) would wrap after 24.8 days of uptime.
#pragma once

#include <stdint.h>
#include <time.h>

inline int64_t monotonic_ms(void)
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t) ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}
