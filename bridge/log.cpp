// The levelled logger: one threshold, one destination chosen at start.
#include "log.h"
#include "clock.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

namespace {

constexpr int PRIORITY[] = { LOG_CRIT, LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG };
constexpr int MAX_LEVEL = 4;

bool log_use_syslog = true;
int log_threshold = 3;

// 0..3 are kept; anything else, negative values included, means "everything".
int clamp(int level)
{
	return (unsigned int) level <= 3 ? level : MAX_LEVEL;
}

// One write per message, ended by exactly one line end: lines of several
// messages never run together. `text` has room for the line end.
void write_line(char *text, size_t len)
{
	if (!len || text[len - 1] != '\n')
		text[len++] = '\n';
	fwrite(text, 1, len, stderr);
}

void vwrite_line(const char *format, va_list ap)
{
	char small[512];
	va_list again;
	va_copy(again, ap);
	int n = vsnprintf(small, sizeof(small) - 1, format, ap);
	if (n < 0) {
		va_end(again);
		return;
	}
	if ((size_t) n < sizeof(small) - 1) {
		write_line(small, (size_t) n);
	} else if (char *big = (char *) malloc((size_t) n + 2)) {
		vsnprintf(big, (size_t) n + 1, format, again);
		write_line(big, (size_t) n);
		free(big);
	}
	va_end(again);
}

} // namespace

void log_open(const char *ident, bool use_syslog, int level)
{
	log_use_syslog = use_syslog;
	log_threshold = clamp(level);
	if (use_syslog)
		openlog(ident, 0, LOG_DAEMON);
}

void log_set_level(int level)
{
	log_threshold = clamp(level);
}

void log_vmsg(int level, const char *format, va_list ap)
{
	if (level > log_threshold)
		return;
	if (log_use_syslog)
		vsyslog(PRIORITY[level < 0 ? 0 : level > MAX_LEVEL ? MAX_LEVEL : level], format, ap);
	else
		vwrite_line(format, ap);
}

void log_msg(int level, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	log_vmsg(level, format, ap);
	va_end(ap);
}

void log_close(void)
{
	closelog();
}

/* ---- repeated failures ---- */

namespace {

void sum_up(log_repeat *r, int64_t now)
{
	log_msg(LOG_REPEAT_LEVEL, "repeated %lu more time(s), %lu in all: %s", r->count,
		r->total + 1, r->last);
	r->count = 0;
	r->summed_ms = now;
}

} // namespace

void log_repeat_msg(log_repeat *r, int level, const char *format, ...)
{
	char line[sizeof(r->last)];
	va_list ap;
	va_start(ap, format);
	vsnprintf(line, sizeof(line), format, ap);
	va_end(ap);

	int64_t now = monotonic_ms();
	if (r->last[0] && !strcmp(line, r->last)) {
		r->count++;
		r->total++;
		if (now - r->summed_ms >= LOG_REPEAT_INTERVAL_MS)
			sum_up(r, now);
		return;
	}
	log_repeat_end(r);
	memcpy(r->last, line, sizeof(line));
	r->summed_ms = now;
	log_msg(level, "%s", line);
}

unsigned long log_repeat_end(log_repeat *r)
{
	if (!r->last[0])
		return 0;
	if (r->count)
		sum_up(r, monotonic_ms());
	unsigned long all = r->total + 1;
	r->last[0] = '\0';
	r->total = 0;
	return all;
}
