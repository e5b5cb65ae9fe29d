// Token buckets in their "theoretical arrival time" form: one timestamp per
// bucket, which runs ahead of the clock by one interval per request taken and
// refuses a request once it is more than a burst ahead.
//
// Sources share a fixed table of buckets indexed by a hash keyed at random.
// A bucket is never handed to a newcomer afresh: sources that meet in a slot
// share its budget, so no choice of addresses earns more than the bound, and
// what an attacker can learn about the slots gains nothing.
#include "rate_limit.h"

#include <sys/random.h>

struct rate_stats g_rate_stats;

namespace {

constexpr int64_t SOURCE_INTERVAL_US = 1000000 / RATE_PER_SOURCE;
constexpr int64_t TOTAL_INTERVAL_US = 1000000 / RATE_TOTAL;
constexpr int64_t BROADCAST_INTERVAL_US = 1000000 / RATE_BROADCAST;

int64_t sources[RATE_SOURCE_SLOTS];	/* each slot's arrival time */
int64_t total_tat_us;
int64_t broadcast_tat_us;
uint32_t hash_key;
bool keyed;

// The bucket's next arrival time when it takes a request now; -1 when it refuses.
int64_t take(int64_t tat, int64_t now, int64_t interval, int burst)
{
	int64_t t = tat > now ? tat : now;
	return t - now > (burst - 1) * interval ? -1 : t + interval;
}

int64_t &slot_of(uint32_t addr)
{
	if (!keyed) {
		/* Until the kernel has entropy (early at boot) the key is 0: asked
		 * again each time until it has. */
		keyed = getrandom(&hash_key, sizeof(hash_key), GRND_NONBLOCK) == (ssize_t) sizeof(hash_key);
		if (!keyed)
			hash_key = 0;
	}
	static_assert(RATE_SOURCE_SLOTS == 1u << 10, "the hash gives 10 bits");
	uint32_t h = (addr ^ hash_key) * 2654435761u;	/* Knuth's multiplicative hash */
	return sources[h >> 22];
}

// Takes a request from the total and from `bucket`; false (nothing taken)
// when either refuses.
bool take_with_total(int64_t &bucket, int64_t now, int64_t interval, int burst)
{
	int64_t next = take(bucket, now, interval, burst);
	int64_t total_next = take(total_tat_us, now, TOTAL_INTERVAL_US, RATE_TOTAL_BURST);
	if (next < 0 || total_next < 0)
		return false;
	bucket = next;
	total_tat_us = total_next;
	return true;
}

} // namespace

rate_answer rate_limit_answer(uint32_t addr, int64_t now_ms, bool on_link)
{
	int64_t now = now_ms * 1000;
	if (take_with_total(slot_of(addr), now, SOURCE_INTERVAL_US, RATE_SOURCE_BURST)) {
		g_rate_stats.answered++;
		return rate_answer::UNICAST;
	}
	if (on_link && take_with_total(broadcast_tat_us, now, BROADCAST_INTERVAL_US, RATE_BROADCAST_BURST)) {
		g_rate_stats.broadcast++;
		return rate_answer::BROADCAST;
	}
	g_rate_stats.limited++;
	return rate_answer::NONE;
}

void rate_limit_reset(void)
{
	for (auto &s : sources)
		s = 0;
	total_tat_us = 0;
	broadcast_tat_us = 0;
	g_rate_stats = {};
}
