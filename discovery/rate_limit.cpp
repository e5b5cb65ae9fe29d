// Token buckets in their "theoretical arrival time" form: one timestamp per
// bucket, which runs ahead of the clock by one interval per request taken and
// refuses a request once it is more than a burst ahead.
//
// Sources live in a fixed table indexed by a hash keyed at random, so that a
// sender cannot pick addresses that share a slot with its victim; a source
// that meets a slot in use takes it over, which at worst grants one more
// burst, and the total bound holds regardless.
#include "rate_limit.h"

#include <sys/random.h>

struct rate_stats g_rate_stats;

namespace {

constexpr int64_t SOURCE_INTERVAL_US = 1000000 / RATE_PER_SOURCE;
constexpr int64_t TOTAL_INTERVAL_US = 1000000 / RATE_TOTAL;

struct source_slot {
	uint32_t addr;
	int64_t tat_us;
};

source_slot sources[RATE_SOURCE_SLOTS];
int64_t total_tat_us;
uint32_t hash_key;
bool keyed;

// The bucket's next arrival time when it takes a request now; -1 when it refuses.
int64_t take(int64_t tat, int64_t now, int64_t interval, int burst)
{
	int64_t t = tat > now ? tat : now;
	return t - now > (burst - 1) * interval ? -1 : t + interval;
}

source_slot *slot_of(uint32_t addr)
{
	if (!keyed) {
		/* Until the kernel has entropy (early at boot) the key is 0 and a
		 * sender can pick an address that shares its victim's slot, taking
		 * it over at every request: asked again each time until it has. */
		keyed = getrandom(&hash_key, sizeof(hash_key), GRND_NONBLOCK) == (ssize_t) sizeof(hash_key);
		if (!keyed)
			hash_key = 0;
	}
	static_assert(RATE_SOURCE_SLOTS == 1u << 10, "the hash gives 10 bits");
	uint32_t h = (addr ^ hash_key) * 2654435761u;	/* Knuth's multiplicative hash */
	source_slot *s = &sources[h >> 22];
	if (s->addr != addr) {
		s->addr = addr;
		s->tat_us = 0;
	}
	return s;
}

} // namespace

bool rate_limit_allow(uint32_t addr, int64_t now_ms)
{
	int64_t now = now_ms * 1000;
	source_slot *s = slot_of(addr);
	int64_t source_next = take(s->tat_us, now, SOURCE_INTERVAL_US, RATE_SOURCE_BURST);
	int64_t total_next = take(total_tat_us, now, TOTAL_INTERVAL_US, RATE_TOTAL_BURST);
	if (source_next < 0 || total_next < 0) {
		g_rate_stats.limited++;
		return false;
	}
	s->tat_us = source_next;
	total_tat_us = total_next;
	g_rate_stats.answered++;
	return true;
}

void rate_limit_reset(void)
{
	for (auto &s : sources)
		s = {};
	total_tat_us = 0;
	g_rate_stats = {};
}
