// How often an AC answers requests: each source address at most
// RATE_PER_SOURCE a second (bursts of RATE_SOURCE_BURST), all of them
// together at most RATE_TOTAL a second (bursts of RATE_TOTAL_BURST). A
// request costs 14 bytes and its answer up to 18 times that, to any address
// a request claims to come from: the bounds keep quildis from becoming an
// amplifier toward other networks or a LAN host, far above what a fleet asks
// (4,000 APs that all search at once ask 800 times a second).
//
// Anyone on the LAN can forge an AP's address and spend its budget. So a
// request from the LAN over its source's budget is answered to the whole LAN
// by broadcast instead, at most RATE_BROADCAST a second (bursts of
// RATE_BROADCAST_BURST): every AP hears those answers, whoever spent its own,
// and a forged LAN address earns no more unicast than any other.
#pragma once

#include <stdint.h>

constexpr int RATE_PER_SOURCE = 4;
constexpr int RATE_SOURCE_BURST = 8;
constexpr int RATE_TOTAL = 1000;
constexpr int RATE_TOTAL_BURST = 4000;	/* a fleet of keyed APs that all ask on hearing the AC start */
constexpr int RATE_BROADCAST = 4;
constexpr int RATE_BROADCAST_BURST = 8;
constexpr unsigned RATE_SOURCE_SLOTS = 1024;

struct rate_stats {
	uint64_t answered;	/* to the source */
	uint64_t broadcast;	/* to the LAN, the source over its budget */
	uint64_t limited;	/* not at all */
};
extern struct rate_stats g_rate_stats;

enum class rate_answer { NONE, UNICAST, BROADCAST };

// How a request from `addr` (an IPv4 address in network byte order, in the
// interface's subnet when `on_link`) arriving at `now_ms` (a monotonic clock)
// may be answered; counts it.
rate_answer rate_limit_answer(uint32_t addr, int64_t now_ms, bool on_link);
// Forgets every source and the counts (tests).
void rate_limit_reset(void);
