// How often an AC answers requests: each source address beyond the LAN at
// most RATE_PER_SOURCE a second (bursts of RATE_SOURCE_BURST), all of them
// together at most RATE_TOTAL a second (bursts of RATE_TOTAL_BURST). A
// request costs 14 bytes and its answer up to 18 times that, to any address
// a request claims to come from: the bounds keep quildis from becoming an
// amplifier toward other networks, far above what a fleet asks (4,000 APs
// that all search at once ask 800 times a second). Sources on the LAN are
// bound by the total only: anyone who can forge their address could reach
// them directly, and a per-source budget would let a forger spend an AP's
// answers with datagrams of its own.
#pragma once

#include <stdint.h>

constexpr int RATE_PER_SOURCE = 4;
constexpr int RATE_SOURCE_BURST = 8;
constexpr int RATE_TOTAL = 1000;
constexpr int RATE_TOTAL_BURST = 4000;	/* a fleet of keyed APs that all ask on hearing the AC start */
constexpr unsigned RATE_SOURCE_SLOTS = 1024;

struct rate_stats {
	uint64_t answered;
	uint64_t limited;
};
extern struct rate_stats g_rate_stats;

// Whether a request from `addr` (an IPv4 address in network byte order, in
// the interface's subnet when `on_link`) arriving at `now_ms` (a monotonic
// clock) may be answered; counts it either way.
bool rate_limit_allow(uint32_t addr, int64_t now_ms, bool on_link);
// Forgets every source and the counts (tests).
void rate_limit_reset(void);
