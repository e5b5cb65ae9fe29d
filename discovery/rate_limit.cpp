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

int64_t sources[RATE_SOURCE_SLOTS];	/* each slot's arrival time */
int64_t total_tat_us;
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

} // namespace

bool rate_limit_allow(uint32_t addr, int64_t now_ms, bool on_link)
{
	int64_t now = now_ms * 1000;
	int64_t *source = on_link ? nullptr : &slot_of(addr);
	int64_t source_next = source ? take(*source, now, SOURCE_INTERVAL_US, RATE_SOURCE_BURST) : 0;
	int64_t total_next = take(total_tat_us, now, TOTAL_INTERVAL_US, RATE_TOTAL_BURST);
	if (source_next < 0 || total_next < 0) {
		g_rate_stats.limited++;
		return false;
	}
	if (source)
		*source = source_next;
	total_tat_us = total_next;
	g_rate_stats.answered++;
	return true;
}

void rate_limit_reset(void)
{
	for (auto &s : sources)
		s = 0;
	total_tat_us = 0;
	g_rate_stats = {};
}
