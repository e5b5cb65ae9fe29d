// The group's registry: one retained message per client on
// "quilac/<group>/client/<id>", its payload {"online": <time>, "info": <text>};
// an empty retained message removes the client. Every bridge of the group
// subscribes to it, its own changes included (applying one twice changes
// nothing), and the broker hands a bridge that joins the registry as it stands.
//
// Members: one retained message each on "quilac/<group>/member/<client id>",
// taken back by an empty one at a planned stop or by the member's will when
// its session dies. A stopping member hands its queue back only while
// another member is there to take it, on "quilac/<group>/handback/<topic>",
// a topic of the group's own that members share like the reports.
#include "fleet.h"
#include "droplog.h"
#include "json_ptr.h"
#include "log.h"
#include "mqtt.h"
#include "registry.h"

#include <mosquitto.h>

#include <stdio.h>
#include <string.h>

namespace {

constexpr const char *OFFLINE_PREFIX = "offline/";
constexpr const char *REPORT_FILTERS[] = { "upload/#", "rpc_rsp/#" };
// A registry message beyond this is not one of ours.
constexpr int REGISTRY_PAYLOAD_MAX = 16384;
constexpr int HAND_BACK_TOPIC_MAX = 512;
// Other members remembered; past this many, more are not told apart.
constexpr int MEMBERS_MAX = 32;

const char *group;
const char *self;
// Without the broker ACL anyone could write there: never a line per message.
drop_log ignored_log = { .reason = "group message not understood", .level = 1 };
unsigned long ignored;

uint32_t members[MEMBERS_MAX];	// hashes of the other members' ids
int member_count;
bool syncing;			// the registry waits for the broker's retained set
bool leaving;

// "quilac/<group>/<kind>/" followed by `name`.
bool group_topic(const char *kind, const char *name, char *buf, int size)
{
	int n = snprintf(buf, (size_t) size, "quilac/%s/%s/%s", group, kind, name);
	return n > 0 && n < size;
}

// What follows "quilac/<group>/<kind>/" in `topic`, or nullptr.
const char *group_topic_rest(const char *topic, const char *kind)
{
	char prefix[FLEET_FILTER_MAX];
	if (!group || !group_topic(kind, "", prefix, sizeof(prefix)))
		return nullptr;
	size_t len = strlen(prefix);
	return strncmp(topic, prefix, len) ? nullptr : topic + len;
}

bool id_fits(const char *id)
{
	return strnlen(id, CLIENT_ID_MAX + 1) <= CLIENT_ID_MAX;
}

void ignore(const char *topic)
{
	drop_note(&ignored_log, topic, ++ignored);
}

void publish_entry(const char *id, const char *payload, int len)
{
	char topic[FLEET_FILTER_MAX + CLIENT_KEY_LEN];
	if (!group_topic("client", id, topic, sizeof(topic)) ||
	    mqtt_publish_retained(topic, payload, len) != 0)
		log_msg(1, "client %s: the group's registry could not be written\n", id);
}

json_object *parse_json(const char *text, int len)
{
	json_tokener *tok = json_tokener_new();
	if (!tok)
		return nullptr;
	json_object *obj = json_tokener_parse_ex(tok, text, len);
	if (obj && json_tokener_get_parse_end(tok) != (size_t) len) {	/* bytes after the object */
		json_object_put(obj);
		obj = nullptr;
	}
	json_tokener_free(tok);
	return obj;
}

// The registry message of an entry, nullptr without memory.
json_object *entry_json(int32_t online, const char *info)
{
	json_ptr obj(json_object_new_object());
	json_ptr jonline(json_object_new_int(online));
	json_ptr jinfo(info ? json_object_new_string(info) : nullptr);
	if (!obj || !jonline || (info && !jinfo))
		return nullptr;
	json_object_object_add(obj.get(), "online", jonline.release());
	if (jinfo)
		json_object_object_add(obj.get(), "info", jinfo.release());
	return obj.release();
}

const char *json_text(json_object *obj)
{
	return json_object_to_json_string_ext(obj, JSON_C_TO_STRING_PLAIN);
}

// Applies one registry message; a payload that is not ours is ignored.
// An id longer than the registry's key is never cut: it would be another
// client's.
void apply(const char *id, const mosquitto_message *msg)
{
	if (!id_fits(id) || msg->payloadlen > REGISTRY_PAYLOAD_MAX) {
		ignore(msg->topic);
		return;
	}
	if (msg->payloadlen <= 0) {
		client_delete(id);
		return;
	}
	json_ptr obj(parse_json((const char *) msg->payload, msg->payloadlen));
	json_object *online, *info = nullptr;
	if (!obj || !json_object_object_get_ex(obj.get(), "online", &online) ||
	    !json_object_is_type(online, json_type_int) ||
	    (json_object_object_get_ex(obj.get(), "info", &info) &&
	     !json_object_is_type(info, json_type_string))) {
		ignore(msg->topic);
		return;
	}
	client_put(id, info ? json_object_get_string(info) : nullptr,
		   (int32_t) json_object_get_int(online));
}

uint32_t hash(const char *text)
{
	uint32_t h = 2166136261u;	/* FNV-1a */
	for (; *text; text++)
		h = (h ^ (uint8_t) *text) * 16777619u;
	return h;
}

void member_seen(const char *id, bool present)
{
	uint32_t h = hash(id);
	for (int i = 0; i < member_count; i++)
		if (members[i] == h) {
			if (!present)
				members[i] = members[--member_count];
			return;
		}
	if (present && member_count < MEMBERS_MAX)
		members[member_count++] = h;
}

// Our own presence comes back after the registry's retained messages,
// which the broker sent when the session subscribed: what the broker did
// not hold was removed while we were away.
void own_presence_seen()
{
	if (!syncing)
		return;
	syncing = false;
	unsigned int removed = client_sweep_unmarked();
	if (removed)
		log_msg(2, "group %s: %u client(s) removed while this bridge was away\n", group,
			removed);
}

void on_member(const char *id, const mosquitto_message *msg)
{
	if (!strcmp(id, self))
		own_presence_seen();
	else
		member_seen(id, msg->payloadlen > 0);
}

// A report handed back by a member: run under its real topic, which must
// be a report's.
bool handed_back(const char *real, const mosquitto_message *msg, const char **topic)
{
	for (const char *filter : REPORT_FILTERS)
		if (!strncmp(real, filter, strlen(filter) - 1)) {
			*topic = real;
			return true;
		}
	ignore(msg->topic);
	return false;
}

} // namespace

bool fleet_group_valid(const char *name)
{
	size_t len = strlen(name);
	if (!len || len > FLEET_GROUP_MAX)
		return false;
	return strspn(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") == len;
}

void fleet_configure(const char *name, const char *self_id)
{
	group = name;
	self = self_id ? self_id : "";
}

void fleet_stop(void)
{
	drop_flush(&ignored_log);
}

bool fleet_grouped(void)
{
	return group;
}

bool fleet_filter(int i, char *buf, int size)
{
	int n;
	if (i == 0)
		n = snprintf(buf, (size_t) size, "%s#", OFFLINE_PREFIX);
	else if (i == 1 || i == 2)
		n = group ? snprintf(buf, (size_t) size, "$share/%s/%s", group, REPORT_FILTERS[i - 1])
			  : snprintf(buf, (size_t) size, "%s", REPORT_FILTERS[i - 1]);
	else if (i == 3 && group)
		n = snprintf(buf, (size_t) size, "quilac/%s/client/#", group);
	else if (i == 4 && group)
		n = snprintf(buf, (size_t) size, "$share/%s/quilac/%s/handback/#", group, group);
	else if (i == 5 && group)
		n = snprintf(buf, (size_t) size, "quilac/%s/member/#", group);
	else
		return false;
	return n > 0 && n < size;
}

bool fleet_filter_is_report(int i)
{
	return i == 1 || i == 2 || i == 4;
}

bool fleet_on_message(const struct mosquitto_message *msg, const char **topic)
{
	*topic = msg->topic;
	if (const char *id = group_topic_rest(msg->topic, "client")) {
		apply(id, msg);
		return true;
	}
	if (const char *id = group_topic_rest(msg->topic, "member")) {
		on_member(id, msg);
		return true;
	}
	if (const char *real = group_topic_rest(msg->topic, "handback"))
		return !handed_back(real, msg, topic);
	/* only for a client the group lists: a device sending "offline/"
	   messages for made-up ids makes no traffic beyond its own */
	int32_t online;
	const char *info;
	const char *id = msg->topic + strlen(OFFLINE_PREFIX);
	if (group && msg->payloadlen > 0 &&
	    !strncmp(msg->topic, OFFLINE_PREFIX, strlen(OFFLINE_PREFIX)) && id_fits(id) &&
	    client_get(id, &online, &info))
		fleet_client_removed(id);
	return false;
}

void fleet_session_started(void)
{
	if (!group)
		return;
	member_count = 0;	/* the broker sends the members it holds again */
	if (leaving)
		return;
	char topic[FLEET_FILTER_MAX];
	client_mark_begin();
	syncing = fleet_member_topic(topic, sizeof(topic)) &&
		  mqtt_publish_retained(topic, "1", 1) == 0;
}

bool fleet_member_topic(char *buf, int size)
{
	return group_topic("member", self, buf, size);
}

void fleet_leave(void)
{
	char topic[FLEET_FILTER_MAX];

	if (!group || leaving)
		return;
	leaving = true;
	syncing = false;
	/* with no session the broker has the will, or will have it */
	if (mqtt_get_state() == MQTT_CONNECTED && fleet_member_topic(topic, sizeof(topic)))
		mqtt_publish_retained(topic, "", 0);
}

bool fleet_others_present(void)
{
	return member_count > 0;
}

int fleet_hand_back(const char *topic, const char *payload, int len)
{
	char handback[HAND_BACK_TOPIC_MAX];	/* a longer report is run here */
	if (!group_topic("handback", topic, handback, sizeof(handback)))
		return -1;
	return mqtt_publish(handback, payload, len);
}

bool fleet_info_fits(const char *info)
{
	json_ptr obj(entry_json(INT32_MIN, info));
	return !group || (obj && strlen(json_text(obj.get())) <= (size_t) REGISTRY_PAYLOAD_MAX);
}

void fleet_client_changed(const char *id)
{
	int32_t online;
	const char *info;

	if (!group || !client_get(id, &online, &info))
		return;
	json_ptr obj(entry_json(online, info));
	if (!obj) {
		log_msg(0, "client %s: no memory for the group's registry\n", id);
		return;
	}
	const char *text = json_text(obj.get());
	publish_entry(id, text, (int) strlen(text));
}

void fleet_client_removed(const char *id)
{
	if (group)
		publish_entry(id, "", 0);
}
