// The levelled logger: one threshold, one destination chosen at start.
#include "log.h"

#include <stdarg.h>
#include <stdio.h>
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
		vfprintf(stderr, format, ap);
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
