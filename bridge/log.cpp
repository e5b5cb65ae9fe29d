#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <syslog.h>

namespace {

constexpr int priority[] = { LOG_CRIT, LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG };
constexpr int max_level = 4;

bool log_use_syslog = true;
int log_threshold = 3;

// 0..3 are kept; anything else, negative values included, means "everything".
int clamp(int level)
{
	return (unsigned int) level <= 3 ? level : max_level;
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

void log_msg(int level, const char *format, ...)
{
	if (level > log_threshold)
		return;

	va_list ap;
	va_start(ap, format);
	if (log_use_syslog)
		vsyslog(priority[level < 0 ? 0 : level > max_level ? max_level : level], format, ap);
	else
		vfprintf(stderr, format, ap);
	va_end(ap);
}

void log_close(void)
{
	closelog();
}
