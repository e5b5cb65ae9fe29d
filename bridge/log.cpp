// The levelled logger: one threshold, one destination chosen at start.
#include "log.h"

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

// One record per message, without a line end of its own in the system log
// and ended by exactly one on standard error: lines of several messages
// never run together. `text` has room for one more byte.
void put(int level, char *text, size_t len)
{
	while (len && text[len - 1] == '\n')
		len--;
	if (log_use_syslog) {
		text[len] = '\0';
		syslog(PRIORITY[level < 0 ? 0 : level > MAX_LEVEL ? MAX_LEVEL : level], "%s", text);
		return;
	}
	text[len++] = '\n';
	fwrite(text, 1, len, stderr);
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
	char small[512];
	va_list again;
	va_copy(again, ap);
	int n = vsnprintf(small, sizeof(small) - 1, format, ap);
	if (n < 0) {
		va_end(again);
		return;
	}
	if ((size_t) n < sizeof(small) - 1) {
		put(level, small, (size_t) n);
	} else if (char *big = (char *) malloc((size_t) n + 2)) {
		vsnprintf(big, (size_t) n + 1, format, again);
		put(level, big, (size_t) n);
		free(big);
	}
	va_end(again);
}

void log_msg(int level, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	log_vmsg(level, format, ap);
	va_end(ap);
}

void log_line(int level, const char *line)
{
	log_msg(level, "%s", line);
}

void log_close(void)
{
	closelog();
}

void log_repeat_msg(log_repeat *r, int level, const char *format, ...)
{
	char line[sizeof(r->last)];
	va_list ap;
	va_start(ap, format);
	vsnprintf(line, sizeof(line), format, ap);
	va_end(ap);
	repeat_line(r, log_line, level, line);
}

unsigned long log_repeat_end(log_repeat *r)
{
	return repeat_end(r, log_line);
}
