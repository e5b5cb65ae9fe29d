#include "number_arg.h"

#include <stdio.h>

bool decimal_in(const char *text, int min, int max, int *out)
{
	long long value = 0;
	if (!*text)
		return false;
	for (const char *p = text; *p; p++) {
		if (*p < '0' || *p > '9')
			return false;
		value = value * 10 + (*p - '0');
		if (value > max)
			return false;	/* before it can wrap */
	}
	if (value < min)
		return false;
	*out = (int) value;
	return true;
}

bool number_arg(char option, const char *text, int min, int max, int *out)
{
	if (decimal_in(text, min, max, out))
		return true;
	fprintf(stderr, "Invalid -%c value '%s': a decimal number from %d to %d.\n",
		option, text, min, max);
	return false;
}
