// Rate-limited logging of drops: the first drop after a quiet second is
// written at once, later ones are summed up in one line a second.
#include "droplog.h"
#include "clock.h"
#include "log.h"

#include <string.h>

namespace {

void write_line(drop_log *d, int64_t now)
{
	if (d->unit)
		log_msg(d->level, "%s: %lu %s, the last on %s (%lu in all)\n", d->reason, d->pending,
			d->unit, d->topic, d->total);
	else
		log_msg(d->level, "%s: %lu message(s) dropped, the last on %s (%lu dropped in all)\n",
			d->reason, d->pending, d->topic, d->total);
	d->pending = 0;
	d->last_ms = now;
}

void flush_expired(uloop_timeout *t)
{
	drop_log *d = container_of(t, drop_log, flush);
	if (d->pending)
		write_line(d, monotonic_ms());
}

} // namespace

void drop_note(drop_log *d, const char *topic, unsigned long total)
{
	int64_t now = monotonic_ms();

	d->pending++;
	d->total = total;
	strncpy(d->topic, topic, sizeof(d->topic) - 1);
	d->topic[sizeof(d->topic) - 1] = '\0';
	if (!d->last_ms || now - d->last_ms >= DROP_LOG_INTERVAL_MS) {
		write_line(d, now);
		return;
	}
	if (!d->flush.pending) {
		d->flush.cb = flush_expired;
		uloop_timeout_set(&d->flush, (int) (d->last_ms + DROP_LOG_INTERVAL_MS - now));
	}
}

void drop_flush(drop_log *d)
{
	uloop_timeout_cancel(&d->flush);
	if (d->pending)
		write_line(d, monotonic_ms());
}
