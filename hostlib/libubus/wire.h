// The bus wire format shared by our client library, bus daemon and tests:
// an 8-byte header (version, type, seq, peer; big-endian) followed by one
// root blob attribute whose payload is a list of bus attributes.
#pragma once

extern "C" {
#include <libubox/blob.h>
#include <ubusmsg.h>
}
#include <stddef.h>
#include <stdint.h>

// The largest message the bus carries. The platform's build passes this on
// the compiler's command line for its daemon and library; its installed
// headers do not define it, so neither do ours.
#ifndef UBUS_MAX_MSGLEN
#define UBUS_MAX_MSGLEN	1048576
#endif

namespace ubus_wire {

constexpr size_t HEADER_SIZE = sizeof(ubus_msghdr);	/* 8 */
constexpr size_t FRAME_HEAD_SIZE = HEADER_SIZE + sizeof(blob_attr);	/* header + root word */

struct header {
	uint8_t version;
	uint8_t type;
	uint16_t seq;
	uint32_t peer;
};

void put_header(uint8_t *out, uint8_t type, uint16_t seq, uint32_t peer);
header get_header(const uint8_t *in);

// Length of the root attribute (its word included) announced by the first
// FRAME_HEAD_SIZE bytes of a message, or 0 when the frame is not acceptable.
size_t root_len(const uint8_t *in);

// Fills tb[0..UBUS_ATTR_MAX) with the root's attributes that pass their type
// check (the last of a repeated id wins); malformed ones count as absent.
void parse(const blob_attr *root, blob_attr **tb);

} // namespace ubus_wire
