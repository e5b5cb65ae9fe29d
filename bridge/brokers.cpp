// Parsing of "host[:port]" broker entries.
#include "brokers.h"
#include "number_arg.h"

#include <stdio.h>
#include <string.h>

namespace {

// Finds where the host ends and the port begins (nullptr: no port).
bool locate(const char *entry, const char **host, size_t *host_len, const char **port)
{
	const char *colon = strchr(entry, ':');

	*port = nullptr;
	if (entry[0] == '[') {
		const char *close = strchr(entry, ']');
		if (!close)
			return false;
		*host = entry + 1;
		*host_len = (size_t) (close - entry - 1);
		if (close[1] == ':')
			*port = close + 2;
		else if (close[1])
			return false;
		return true;
	}
	*host = entry;
	if (colon && !strchr(colon + 1, ':')) {
		*host_len = (size_t) (colon - entry);
		*port = colon + 1;
	} else {
		*host_len = strlen(entry);	/* a bare IPv6 address */
	}
	return true;
}

// A name or address can never be empty or hold a space or control byte;
// the resolver would only fail on it at every attempt.
bool host_valid(const char *host, size_t len)
{
	if (!len)
		return false;
	for (size_t i = 0; i < len; i++)
		if ((unsigned char) host[i] <= ' ' || host[i] == 0x7f)
			return false;
	return true;
}

} // namespace

bool broker_split(const char *entry, int default_port, char *host, int host_size, int *port)
{
	const char *h, *p;
	size_t len;

	if (!locate(entry, &h, &len, &p) || !host_valid(h, len) || len >= (size_t) host_size)
		return false;
	memcpy(host, h, len);
	host[len] = '\0';
	*port = default_port;
	return !p || decimal_in(p, 1, PORT_MAX, port);
}

bool broker_add(broker_list *list, const char *entry)
{
	char host[BROKER_HOST_MAX];
	int port;

	if (!broker_split(entry, 1, host, sizeof(host), &port)) {
		fprintf(stderr, "Invalid mqtt broker '%s': host[:port], a host of at most %d bytes, "
			"a port from 1 to 65535.\n", entry, BROKER_HOST_MAX - 1);
		return false;
	}
	if (!list->given) {
		list->given = true;
		list->count = 0;
	}
	if (list->count == MAX_BROKERS) {
		fprintf(stderr, "At most %d mqtt brokers.\n", MAX_BROKERS);
		return false;
	}
	list->entries[list->count++] = entry;
	return true;
}
