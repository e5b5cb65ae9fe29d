// The levelled logger: syslog, or standard error one whole line per message.
#pragma once

#include <stdarg.h>
#include <stdbool.h>
#include <stdint.h>

#include "repeat.h"

// Levels 0..4 map to LOG_CRIT, LOG_WARNING, LOG_NOTICE, LOG_INFO, LOG_DEBUG.
void log_open(const char *ident, bool use_syslog, int level);
void log_msg(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void log_vmsg(int level, const char *format, va_list ap);
// One whole line as it stands (a log_line_fn).
void log_line(int level, const char *line);
void log_set_level(int level);
void log_close(void);

// Repeated failures (repeat.h) summed up through this logger.
void log_repeat_msg(log_repeat *r, int level, const char *format, ...)
	__attribute__((format(printf, 3, 4)));
unsigned long log_repeat_end(log_repeat *r);
