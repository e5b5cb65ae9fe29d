// The size of each packet the broker sends, checked before the library reads
// it. The library takes a packet's length from its fixed header, allocates
// all of it and reads it whole, whatever we announced as our maximum; a
// broker that ignores the maximum would make quilac as large as its packet.
#pragma once

#include <stdint.h>

// The header's length (2..5) with its remaining length in *remaining; 0 when
// `len` bytes do not hold all of it yet, -1 when it is malformed (a length of
// more than four bytes).
int packet_header_parse(const uint8_t *bytes, int len, uint32_t *remaining);

// Follows the packet boundaries of one plain TCP connection by the bytes the
// library has taken off the socket (the kernel counts them), and peeks at
// each header when the library is about to read it. Of a header not all in,
// the bytes there are kept: the library may take them. Should the rest
// arrive between the look and the library's read (reading opens the TCP
// window, so it may well), the library reads a header unseen: then what it
// takes until the packet's end is counted against the limit instead, which
// lets it read at most one socket buffer more.
struct packet_size_guard {
	uint32_t limit;		// the largest packet let through, header included
	bool off;		// not a TCP socket: nothing is checked
	uint64_t next;		// where the next packet starts, in bytes taken
	uint8_t seen[5];	// its first bytes, as peeked there
	int seen_len;
	bool lost;		// the library reads a packet whose header was not seen
};

enum packet_size_check {
	PACKET_SIZE_OK,
	PACKET_SIZE_TOO_BIG,	// or malformed
};

// A new connection: nothing has been taken off it yet.
void packet_size_start(packet_size_guard *g, uint32_t limit, bool off);
// Checks the header the library reads next (or is reading) on `fd`;
// `boundary`: the library has just read a packet whole.
packet_size_check packet_size_next(packet_size_guard *g, int fd, bool boundary);
