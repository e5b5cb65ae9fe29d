// Numeric command-line arguments of our own options: plain decimal in range.
#pragma once

// Stores the value of `text` in *out when it is a plain decimal number from
// min to max (digits only: no sign, blank, prefix or unit). Otherwise says
// so on standard error, naming the option, and returns false.
bool number_arg(char option, const char *text, int min, int max, int *out);
// The same test, silent.
bool decimal_in(const char *text, int min, int max, int *out);

// A TCP or UDP port: 1..65535, read as number_arg() reads.
constexpr int PORT_MAX = 65535;
inline bool port_arg(char option, const char *text, int *out)
{
	return number_arg(option, text, 1, PORT_MAX, out);
}
