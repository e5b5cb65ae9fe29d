// The bus object "quilac": publish to a device or a group, maintain and list
// the client registry, report the session state and the dispatcher's load,
// set the log threshold. The connection and its upkeep are the shared bus
// helper's.
#include "ubus.h"
#include "api.h"
#include "backlog.h"
#include "bus.h"
#include "credentials.h"
#include "fleet.h"
#include "log.h"
#include "mqtt.h"
#include "options.h"
#include "registry.h"

#include <libubus.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr size_t TOPIC_SIZE = 255;	/* at most 254 characters */

// The largest message a bus daemon forwards: 1 MiB, the platform's build
// setting. Its installed headers do not carry that setting, so it is ours.
constexpr size_t BUS_MESSAGE_MAX = 1048576;
// Room the bus needs around a reply's data (message header, object id, the
// data attribute's header), generously.
constexpr size_t REPLY_OVERHEAD = 64;
constexpr size_t REPLY_MAX = BUS_MESSAGE_MAX - REPLY_OVERHEAD;
constexpr size_t REPLY_GROW_STEP = 256;
// A listing stops short of it by more than the buffer's last step.
constexpr size_t LISTING_MAX = REPLY_MAX - 2 * REPLY_GROW_STEP;

// The reply buffer never grows beyond what one bus message carries: a
// listing too large to send fails there, instead of being built (and kept
// for the daemon's life) at up to 16 MiB.
bool reply_grow(blob_buf *buf, int minlen)
{
	size_t len = ((size_t) buf->buflen + (size_t) minlen + REPLY_GROW_STEP - 1) /
		     REPLY_GROW_STEP * REPLY_GROW_STEP;
	if (minlen <= 0 || len > REPLY_MAX)
		return false;
	void *p = realloc(buf->buf, len);
	if (!p)
		return false;
	memset((char *) p + buf->buflen, 0, len - (size_t) buf->buflen);
	buf->buf = p;
	buf->buflen = (int) len;
	return true;
}

blob_buf bridge_reply_buf = { .head = nullptr, .grow = reply_grow, .buflen = 0, .buf = nullptr };

enum { PUB_GROUP, PUB_ID, PUB_MSG, __PUB_MAX };
const blobmsg_policy pub_policy[__PUB_MAX] = {
	[PUB_GROUP] = { "group", BLOBMSG_TYPE_STRING },
	[PUB_ID] = { "id", BLOBMSG_TYPE_STRING },
	[PUB_MSG] = { "msg", BLOBMSG_TYPE_STRING },
};

// "report": the number the API program had for the report it registers
// (QUILAC_REPORT in its environment).
enum { CLIENT_ID, CLIENT_INFO, CLIENT_REPORT, __CLIENT_MAX };
const blobmsg_policy client_policy[__CLIENT_MAX] = {
	[CLIENT_ID] = { "id", BLOBMSG_TYPE_STRING },
	[CLIENT_INFO] = { "info", BLOBMSG_TYPE_STRING },
	[CLIENT_REPORT] = { "report", BLOBMSG_TYPE_INT32 },
};

enum { LOG_LEVEL, __LOG_MAX };
const blobmsg_policy log_policy[__LOG_MAX] = {
	[LOG_LEVEL] = { "level", BLOBMSG_TYPE_INT32 },
};

enum { PAGE_OFFSET, PAGE_LIMIT, __PAGE_MAX };
const blobmsg_policy page_policy[__PAGE_MAX] = {
	[PAGE_OFFSET] = { "offset", BLOBMSG_TYPE_INT32 },
	[PAGE_LIMIT] = { "limit", BLOBMSG_TYPE_INT32 },
};

template <size_t N>
void parse(const blobmsg_policy (&policy)[N], blob_attr **tb, blob_attr *msg)
{
	blobmsg_parse(policy, N, tb, blob_data(msg), (unsigned int) blob_len(msg));
}

// For optional arguments: false when one is given with another type, which
// the typed parse alone cannot tell from one not given at all.
template <size_t N>
bool parse_optional(const blobmsg_policy (&policy)[N], blob_attr **tb, blob_attr *msg)
{
	blobmsg_policy untyped[N];
	blob_attr *given[N];

	for (size_t i = 0; i < N; i++)
		untyped[i] = { policy[i].name, BLOBMSG_TYPE_UNSPEC };
	parse(policy, tb, msg);
	parse(untyped, given, msg);
	for (size_t i = 0; i < N; i++)
		if (given[i] && !tb[i])
			return false;
	return true;
}

// The value of an optional non-negative argument, `absent` when not given,
// -1 when negative.
int64_t nonnegative_arg(blob_attr *attr, uint32_t absent)
{
	if (!attr)
		return absent;
	int32_t v = (int32_t) blobmsg_get_u32(attr);
	return v < 0 ? -1 : v;
}

// Publishes "msg" on `prefix` + the value of attribute `key`.
int publish_to(const char *prefix, int key, blob_attr *msg)
{
	blob_attr *tb[__PUB_MAX];
	char topic[TOPIC_SIZE];

	parse(pub_policy, tb, msg);
	if (!tb[PUB_MSG] || !tb[key])
		return UBUS_STATUS_INVALID_ARGUMENT;

	/* cut, two ids would reach one topic, or half a character */
	int len = snprintf(topic, TOPIC_SIZE, "%s%s", prefix, blobmsg_get_string(tb[key]));
	if (len < 0 || (size_t) len >= TOPIC_SIZE)
		return UBUS_STATUS_INVALID_ARGUMENT;
	const char *payload = blobmsg_get_string(tb[PUB_MSG]);
	switch (mqtt_publish(topic, payload, (int) strlen(payload))) {
	case 0:
		return UBUS_STATUS_OK;	/* kept until the broker has it */
	case MQTT_BACKLOG_FULL:
		return UBUS_STATUS_NO_MEMORY;
	case -1:
		return UBUS_STATUS_CONNECTION_FAILED;	/* no client, for good */
	default:
		return UBUS_STATUS_INVALID_ARGUMENT;	/* a topic no broker takes */
	}
}

int pub(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *msg)
{
	return publish_to("rpc/", PUB_ID, msg);
}

int pub_group(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *msg)
{
	return publish_to("broadcast/rpc/", PUB_GROUP, msg);
}

int registry_status(int result)
{
	switch (result) {
	case CLIENT_OK:
	case CLIENT_STALE:	/* nothing to do: the client left since */
		return UBUS_STATUS_OK;
	case CLIENT_FULL:
		return UBUS_STATUS_NO_MEMORY;
	default:
		return UBUS_STATUS_INVALID_ARGUMENT;	/* an id longer than a key */
	}
}

int update_client(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *msg)
{
	blob_attr *tb[__CLIENT_MAX];

	if (!parse_optional(client_policy, tb, msg) || !tb[CLIENT_ID] || !tb[CLIENT_INFO])
		return UBUS_STATUS_INVALID_ARGUMENT;
	int64_t report = nonnegative_arg(tb[CLIENT_REPORT], 0);
	if (report < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;
	const char *id = blobmsg_get_string(tb[CLIENT_ID]);
	const char *info = blobmsg_get_string(tb[CLIENT_INFO]);
	if (!fleet_info_fits(info))
		return UBUS_STATUS_INVALID_ARGUMENT;	/* the group could not hold it */
	int rc = client_update(id, info, report ? client_report_number((uint32_t) report) : 0);
	if (rc == CLIENT_OK)
		fleet_client_changed(id);
	return registry_status(rc);
}

int del_client(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *msg)
{
	blob_attr *tb[__CLIENT_MAX];

	parse(client_policy, tb, msg);
	if (!tb[CLIENT_ID])
		return UBUS_STATUS_INVALID_ARGUMENT;
	const char *id = blobmsg_get_string(tb[CLIENT_ID]);
	int rc = client_delete(id);
	if (rc == CLIENT_OK)
		fleet_client_removed(id);
	return registry_status(rc);
}

const char *state_text(int state)
{
	switch (state) {
	case MQTT_DISCONNECTED:
		return "disconnected";
	case MQTT_CONNECTED:
		return "connected";
	default:
		return "connecting";
	}
}

int info(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
	const char *broker = mqtt_get_broker();

	blob_buf_init(&bridge_reply_buf, 0);
	blobmsg_add_string(&bridge_reply_buf, "broker", broker ? broker : "");
	blobmsg_add_u32(&bridge_reply_buf, "port", (uint32_t) mqtt_get_port());
	blobmsg_add_string(&bridge_reply_buf, "status", state_text(mqtt_get_state()));
	blobmsg_add_string(&bridge_reply_buf, "version", BRIDGE_VERSION);
	blobmsg_add_u8(&bridge_reply_buf, "tls", credentials_tls());
	ubus_send_reply(ctx, req, bridge_reply_buf.head);
	return UBUS_STATUS_OK;
}

// "offset" and "limit" page a listing too large for one bus message; a page
// (or the whole listing) holds the entries that fit in one, and "count"
// tells how many there are in all.
int get_client(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
	blob_attr *tb[__PAGE_MAX];

	if (!parse_optional(page_policy, tb, msg))
		return UBUS_STATUS_INVALID_ARGUMENT;
	int64_t offset = nonnegative_arg(tb[PAGE_OFFSET], 0);
	int64_t limit = nonnegative_arg(tb[PAGE_LIMIT], UINT32_MAX);
	if (offset < 0 || limit < 0)
		return UBUS_STATUS_INVALID_ARGUMENT;

	if (client_list(&bridge_reply_buf, (uint32_t) offset, (uint32_t) limit, LISTING_MAX) < 0 ||
	    ubus_send_reply(ctx, req, bridge_reply_buf.head)) {
		log_msg(0, "client list of %u clients could not be sent\n", client_count());
		return UBUS_STATUS_UNKNOWN_ERROR;
	}
	return UBUS_STATUS_OK;
}

int stats(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
	api_stats st;
	backlog_stats bl;

	api_get_stats(&st);
	backlog_get_stats(&bl);
	blob_buf_init(&bridge_reply_buf, 0);
	blobmsg_add_u32(&bridge_reply_buf, "workers", (uint32_t) st.workers);
	blobmsg_add_u32(&bridge_reply_buf, "queued", (uint32_t) st.queued);
	blobmsg_add_u64(&bridge_reply_buf, "queued_bytes", st.queued_bytes);
	blobmsg_add_u64(&bridge_reply_buf, "dropped", st.dropped);
	blobmsg_add_u64(&bridge_reply_buf, "killed", st.killed);
	blobmsg_add_u64(&bridge_reply_buf, "killed_background", st.killed_background);
	blobmsg_add_u32(&bridge_reply_buf, "backlog", (uint32_t) bl.messages);
	blobmsg_add_u64(&bridge_reply_buf, "backlog_bytes", bl.bytes);
	blobmsg_add_u64(&bridge_reply_buf, "refused", bl.refused);
	blobmsg_add_u64(&bridge_reply_buf, "protocol_errors", mqtt_protocol_errors());
	ubus_send_reply(ctx, req, bridge_reply_buf.head);
	return UBUS_STATUS_OK;
}

int set_log(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *msg)
{
	blob_attr *tb[__LOG_MAX];

	parse(log_policy, tb, msg);
	if (!tb[LOG_LEVEL])
		return UBUS_STATUS_INVALID_ARGUMENT;
	log_set_level((int32_t) blobmsg_get_u32(tb[LOG_LEVEL]));
	return UBUS_STATUS_OK;
}

// The masks keep out of each method's signature (`ubus -v list`) the
// arguments of a shared policy that the method ignores.
constexpr unsigned long arg(int index)
{
	return 1ul << index;
}

const ubus_method quilac_methods[] = {
	UBUS_METHOD_MASK("pub", pub, pub_policy, arg(PUB_ID) | arg(PUB_MSG)),
	UBUS_METHOD_MASK("pub_group", pub_group, pub_policy, arg(PUB_GROUP) | arg(PUB_MSG)),
	UBUS_METHOD("update_client", update_client, client_policy),
	UBUS_METHOD_MASK("del_client", del_client, client_policy, arg(CLIENT_ID)),
	UBUS_METHOD_NOARG("info", info),
	UBUS_METHOD("get_client", get_client, page_policy),
	UBUS_METHOD("log", set_log, log_policy),
	UBUS_METHOD_NOARG("stats", stats),
};

ubus_object_type quilac_object_type = UBUS_OBJECT_TYPE("quilac", quilac_methods);

ubus_object quilac_object = BUS_OBJECT(quilac_object_type);

bus_conn bridge_bus = { .object = &quilac_object, .log = log_line };

} // namespace

int bridge_ubus_setup(void)
{
	int ret = bus_open(&bridge_bus);
	if (ret && bridge_bus.connected)
		log_msg(0, "Failed to add quilac mqtt: %s", ubus_strerror(ret));
	return ret;
}

void bridge_ubus_teardown(void)
{
	bus_close(&bridge_bus);
	blob_buf_free(&bridge_reply_buf);
}
