// The publish backlog: a copy of every publication until the broker has
// acknowledged it (QoS 1 is at-least-once: after a lost session a message
// may go out twice, but never not at all, unless the broker keeps ending the
// session over it: see BACKLOG_MAX_TRIES).
//
// What holds between the pieces below:
// - Every entry is on exactly one of two lists, each in publishing order:
//   `waiting` (not handed to the current session) and `sent` (handed to it,
//   acknowledgement outstanding). Entries move only from the head of
//   `waiting` to the tail of `sent` (backlog_send), and all of `sent` back to
//   the head of `waiting` when the session is lost, so that the order of
//   publication is the order of the lists, `sent` before `waiting`.
// - `sent` is only non-empty while a session exists; its message ids are
//   that session's.
// - An entry leaves when the broker acknowledges it, when the library
//   refuses it for good, or at the BACKLOG_MAX_TRIES-th loss of a session
//   in which it was the oldest in `sent`; the last two count as refused.
// - count and bytes cover both lists and change only in backlog_push() and
//   remove_entry(): count <= BACKLOG_MAX_MESSAGES, bytes <= BACKLOG_MAX_BYTES.
// - `high` is set at the bound (or when a publication did not fit beside
//   what is there) and cleared only at half of both count and bytes;
//   backlog_on_low runs exactly when it is cleared. It is never set while
//   the backlog is empty: no acknowledgement would clear it.
#include "backlog.h"
#include "clock.h"
#include "droplog.h"

extern "C" {
#include <libubox/list.h>
}
#include <mosquitto.h>

#include <stdlib.h>
#include <string.h>

void (*backlog_on_low)(void);

namespace {

struct entry {
	list_head link;
	int mid;
	int tries;		// sessions lost while it was the oldest in `sent`
	int64_t sent_ms;
	int payload_len;
	bool retain;
	size_t topic_len;
	char data[];	// topic, NUL, payload, NUL
};

LIST_HEAD(waiting);
LIST_HEAD(sent);
int count;
size_t bytes;
bool high;
unsigned long refused;
int64_t last_ack_ms;
drop_log refused_log = { .reason = "publication refused by the MQTT library" };
drop_log unacked_log = { .reason = "publication never acknowledged by the MQTT server" };

size_t cost(const entry *e)
{
	return e->topic_len + (size_t) e->payload_len;
}

void update_high()
{
	if (count >= BACKLOG_MAX_MESSAGES || bytes >= BACKLOG_MAX_BYTES) {
		high = true;
	} else if (high && count <= BACKLOG_MAX_MESSAGES / 2 && bytes <= BACKLOG_MAX_BYTES / 2) {
		high = false;
		if (backlog_on_low)
			backlog_on_low();
	}
}

// Takes an entry off its list, frees it, and may end the high state.
void remove_entry(entry *e)
{
	list_del(&e->link);
	count--;
	bytes -= cost(e);
	free(e);
	update_high();
}

// Only what the library itself lacks at the moment, or a connection that
// has failed before the session noticed (a write after the broker's end
// gives EPIPE, an "errno" error); anything else (a topic or payload it will
// never take) would block the entries behind it for good.
bool may_succeed_later(int rc)
{
	return rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_NOMEM || rc == MOSQ_ERR_CONN_LOST ||
	       rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_TLS;
}

} // namespace

bool backlog_push(const char *topic, const char *payload, int len, bool retain)
{
	size_t topic_len = strlen(topic);
	size_t size = topic_len + (size_t) len;

	if (len < 0)
		return false;
	if (count >= BACKLOG_MAX_MESSAGES || size > BACKLOG_MAX_BYTES - bytes) {
		/* whoever was refused waits for backlog_on_low, which only an
		   acknowledgement can bring: never for one that fits no backlog */
		if (count)
			high = true;
		return false;
	}
	entry *e = (entry *) malloc(sizeof(entry) + topic_len + (size_t) len + 2);
	if (!e)
		return false;
	e->mid = 0;
	e->tries = 0;
	e->sent_ms = 0;
	e->payload_len = len;
	e->retain = retain;
	e->topic_len = topic_len;
	memcpy(e->data, topic, topic_len + 1);
	memcpy(e->data + topic_len + 1, payload, (size_t) len);
	e->data[topic_len + 1 + len] = '\0';
	list_add_tail(&e->link, &waiting);
	count++;
	bytes += size;
	update_high();
	return true;
}

void backlog_send(backlog_sender send, int64_t now_ms)
{
	while (!list_empty(&waiting)) {
		entry *e = list_first_entry(&waiting, entry, link);
		int rc = send(e->data, e->data + e->topic_len + 1, e->payload_len, e->retain, &e->mid);
		if (rc == MOSQ_ERR_SUCCESS) {
			e->sent_ms = now_ms;
			list_move_tail(&e->link, &sent);
			continue;
		}
		if (may_succeed_later(rc))
			return;
		backlog_refused(e->data);
		remove_entry(e);
	}
}

void backlog_refused(const char *topic)
{
	drop_note(&refused_log, topic, ++refused);
}

void backlog_ack(int mid)
{
	entry *e;

	/* the broker acknowledges in order: almost always the first entry */
	list_for_each_entry(e, &sent, link) {
		if (e->mid == mid) {
			last_ack_ms = monotonic_ms();
			remove_entry(e);
			return;
		}
	}
}

void backlog_session_lost(void)
{
	if (!list_empty(&sent)) {
		entry *oldest = list_first_entry(&sent, entry, link);
		if (++oldest->tries >= BACKLOG_MAX_TRIES) {
			drop_note(&unacked_log, oldest->data, ++refused);
			remove_entry(oldest);
		}
	}
	list_splice_init(&sent, &waiting);
}

int64_t backlog_ack_wait_since_ms(void)
{
	if (list_empty(&sent))
		return -1;
	int64_t oldest = list_first_entry(&sent, entry, link)->sent_ms;
	return oldest > last_ack_ms ? oldest : last_ack_ms;
}

bool backlog_high(void)
{
	return high;
}

void backlog_clear(void)
{
	drop_flush(&refused_log);
	drop_flush(&unacked_log);
	last_ack_ms = 0;
	backlog_session_lost();
	while (!list_empty(&waiting))
		remove_entry(list_first_entry(&waiting, entry, link));
	high = false;
}

void backlog_get_stats(struct backlog_stats *st)
{
	st->messages = count;
	st->bytes = bytes;
	st->refused = refused;
}
