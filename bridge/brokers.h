// The brokers a bridge may use, each "host[:port]"; a lost or refused
// session goes on with the next one, so losing one node of a cluster leaves
// the bridge working.
#pragma once

constexpr int MAX_BROKERS = 8;
constexpr int BROKER_HOST_MAX = 256;	// a DNS name has at most 253 characters

struct broker_list {
	const char *entries[MAX_BROKERS] = { "localhost" };
	int count = 1;
	bool given = false;	// a -b has replaced the default
};

// Adds a -b entry (the first one replaces the default); false when the list
// is full or the entry is not a host with an optional port of 1 to 65535.
// "[addr]:port" and "[addr]" name IPv6 addresses; a text with more than one
// colon outside brackets is taken whole, as an address.
bool broker_add(broker_list *list, const char *entry);
// Splits `entry` into its host (written to host, at most host_size bytes
// with the NUL, false when longer) and its port (default_port without one).
bool broker_split(const char *entry, int default_port, char *host, int host_size, int *port);
