// Repeated failures: counted, and summed up at most once a minute.
#include "repeat.h"
#include "clock.h"

#include <stdio.h>
#include <string.h>

namespace {

void sum_up(log_repeat *r, log_line_fn out, int64_t now)
{
	char line[sizeof(r->last) + 64];
	snprintf(line, sizeof(line), "repeated %lu more time(s), %lu in all: %s", r->count,
		 r->total + 1, r->last);
	out(LOG_REPEAT_LEVEL, line);
	r->count = 0;
	r->summed_ms = now;
}

} // namespace

void repeat_line(log_repeat *r, log_line_fn out, int level, const char *line)
{
	int64_t now = monotonic_ms();
	if (r->last[0] && !strncmp(line, r->last, sizeof(r->last) - 1)) {
		r->count++;
		r->total++;
		if (now - r->summed_ms >= LOG_REPEAT_INTERVAL_MS)
			sum_up(r, out, now);
		return;
	}
	repeat_end(r, out);
	snprintf(r->last, sizeof(r->last), "%s", line);
	r->summed_ms = now;
	out(level, line);
}

unsigned long repeat_end(log_repeat *r, log_line_fn out)
{
	if (!r->last[0])
		return 0;
	if (r->count)
		sum_up(r, out, monotonic_ms());
	unsigned long all = r->total + 1;
	r->last[0] = '\0';
	r->total = 0;
	return all;
}
