// The kernel counts the bytes a TCP socket has received and the bytes still
// queued; their difference is what the library has taken, at a byte's
// precision whatever it reads in one call. Headers are peeked, never taken.
#include "packet_size.h"

#include <errno.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <stddef.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

constexpr int HEADER_MAX = 5;
// The TCP states after the peer's FIN (the kernel's numbers).
enum { STATE_TIME_WAIT = 6, STATE_CLOSE_WAIT = 8, STATE_LAST_ACK = 9, STATE_CLOSING = 11 };

// The peer's end (FIN) counts as a byte received that is never queued.
bool bytes_received(int fd, uint64_t *bytes)
{
	struct tcp_info info;
	socklen_t len = sizeof(info);
	if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) < 0 ||
	    len < offsetof(struct tcp_info, tcpi_bytes_received) + sizeof(info.tcpi_bytes_received))
		return false;
	bool ended = info.tcpi_state == STATE_CLOSE_WAIT || info.tcpi_state == STATE_LAST_ACK ||
		     info.tcpi_state == STATE_CLOSING || info.tcpi_state == STATE_TIME_WAIT;
	*bytes = info.tcpi_bytes_received - (ended && info.tcpi_bytes_received ? 1 : 0);
	return true;
}

// Received minus queued, looked at until no byte arrived in between.
bool bytes_taken(int fd, uint64_t *taken)
{
	for (int tries = 0; tries < 8; tries++) {
		uint64_t before, after;
		int queued = 0;
		if (!bytes_received(fd, &before) || ioctl(fd, FIONREAD, &queued) < 0 ||
		    !bytes_received(fd, &after))
			return false;
		if (before == after) {
			*taken = before - (uint64_t) queued;
			return true;
		}
	}
	return false;
}

} // namespace

int packet_header_parse(const uint8_t *bytes, int len, uint32_t *remaining)
{
	uint32_t value = 0;
	for (int i = 1; i < HEADER_MAX; i++) {
		if (i >= len)
			return 0;
		value |= (uint32_t) (bytes[i] & 0x7f) << (7 * (i - 1));
		if (!(bytes[i] & 0x80)) {
			*remaining = value;
			return i + 1;
		}
	}
	return -1;
}

void packet_size_start(packet_size_guard *g, uint32_t limit, bool off)
{
	*g = {};
	g->limit = limit;
	g->off = off;
}

packet_size_check packet_size_next(packet_size_guard *g, int fd, bool boundary)
{
	uint64_t taken;
	if (g->off || !bytes_taken(fd, &taken))
		return PACKET_SIZE_OK;	/* the library's own checks only */
	if (boundary) {
		g->next = taken;
		g->seen_len = 0;
		g->lost = false;
	}
	if (taken < g->next)
		return PACKET_SIZE_OK;	/* inside a packet already checked */
	uint64_t into = taken - g->next;	/* of its header, by the library */
	if (g->lost || into > (uint64_t) g->seen_len) {
		g->lost = true;
		return into > g->limit ? PACKET_SIZE_TOO_BIG : PACKET_SIZE_OK;
	}

	uint8_t head[HEADER_MAX];
	memcpy(head, g->seen, into);
	/* without WAITALL a peek stops at the end of the kernel's first buffer */
	ssize_t n = recv(fd, head + into, HEADER_MAX - into, MSG_PEEK | MSG_DONTWAIT | MSG_WAITALL);
	if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
		return PACKET_SIZE_OK;	/* the end or an error: the library's to meet */
	int len = (int) into + (n > 0 ? (int) n : 0);
	memcpy(g->seen, head, len);
	g->seen_len = len;

	uint32_t remaining;
	int header = packet_header_parse(head, len, &remaining);
	if (header == 0)
		return PACKET_SIZE_OK;	/* what the library may take of it now is seen */
	if (header < 0 || (uint64_t) header + remaining > g->limit)
		return PACKET_SIZE_TOO_BIG;
	g->next += (uint64_t) header + remaining;
	g->seen_len = 0;
	return PACKET_SIZE_OK;
}
