// The levelled logger: syslog, or standard error exactly as formatted.
#pragma once

#include <stdarg.h>
#include <stdbool.h>

// Levels 0..4 map to LOG_CRIT, LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG.
void log_open(const char *ident, bool use_syslog, int level);
void log_msg(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_vmsg(int level, const char *format, va_list ap);
void log_set_level(int level);
void log_close(void);
