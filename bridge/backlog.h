// Publications kept until the broker has acknowledged them. The backlog
// outlives a session: what a lost session had not acknowledged, and what was
// published while there was none, goes out again on the next one, in order.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The bound: beyond it a publication is refused. Worker output waits in the
// pipes from this mark on and goes on once half of both is gone.
constexpr int BACKLOG_MAX_MESSAGES = 1000;
constexpr size_t BACKLOG_MAX_BYTES = 1 << 20;
// A publication that this many sessions ended without acknowledging while it
// was the oldest one waiting is one the broker will not take (it ends the
// session over it): it is dropped, logged and counted as refused,
// instead of blocking everything behind it for good.
constexpr int BACKLOG_MAX_TRIES = 10;

// Hands one publication to the session: 0 and its message id, or the
// library's error code.
using backlog_sender = int (*)(const char *topic, const char *payload, int len, bool retain,
				int *mid);

// Copies a publication to the end of the backlog. False when it would take
// the backlog beyond its bound, or memory runs out: nothing is kept then.
bool backlog_push(const char *topic, const char *payload, int len, bool retain = false);
// Hands what the session has not had yet to `send`, oldest first. Stops at a
// failure the next session may not meet again; an entry refused for good is
// dropped, logged and counted.
void backlog_send(backlog_sender send, int64_t now_ms);
// Counts and logs a publication refused for good (a topic the library
// will never take).
void backlog_refused(const char *topic);
// The broker acknowledged `mid`.
void backlog_ack(int mid);
// The session is gone: everything it had not acknowledged waits for the next.
void backlog_session_lost(void);
// Since when the session has made no progress: the later of the last
// acknowledgement and the hand-over of the oldest publication still waiting
// for its own; -1 when none is waiting. Acknowledgements that flow, however
// slowly (a long round trip, a deep queue), keep it recent.
int64_t backlog_ack_wait_since_ms(void);
// True from the bound until half of both its count and its bytes are gone.
bool backlog_high(void);
// Called when the backlog leaves its high state (set by the owner).
// It may run inside the library's acknowledgement callback, or inside
// backlog_send(): it must not publish there and then.
extern void (*backlog_on_low)(void);
// Drops everything and writes the pending log line (at shutdown).
void backlog_clear(void);

struct backlog_stats {
	int messages;
	size_t bytes;		// their topics and payloads
	unsigned long refused;	// publications refused for good, since start
};
void backlog_get_stats(struct backlog_stats *st);
