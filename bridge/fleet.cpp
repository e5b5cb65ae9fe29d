// The group's registry: one retained message per client on
// "quilac/<group>/client/<id>", its payload {"online": <time>, "info": <text>};
// an empty retained message removes the client. Every bridge of the group
// subscribes to it, its own changes included (applying one twice changes
// nothing), and the broker hands a bridge that joins the registry as it stands.
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

const char *group;
// Without the broker ACL anyone could write there: never a line per message.
drop_log ignored_log = { .reason = "group registry message not understood", .level = 1 };
unsigned long ignored;

// "quilac/<group>/client/" followed by `id` (cut as the registry's key is).
bool registry_topic(const char *id, char *buf, int size)
{
	int n = snprintf(buf, (size_t) size, "quilac/%s/client/%.*s", group, CLIENT_KEY_LEN - 1, id);
	return n > 0 && n < size;
}

// The id of a registry topic, or nullptr for any other topic.
const char *registry_id(const char *topic)
{
	char prefix[FLEET_FILTER_MAX];
	if (!group || !registry_topic("", prefix, sizeof(prefix)))
		return nullptr;
	size_t len = strlen(prefix);
	return strncmp(topic, prefix, len) ? nullptr : topic + len;
}

void publish_entry(const char *id, const char *payload, int len)
{
	char topic[FLEET_FILTER_MAX + CLIENT_KEY_LEN];
	if (!registry_topic(id, topic, sizeof(topic)) ||
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

// Applies one registry message; a payload that is not ours is ignored.
void apply(const char *id, const mosquitto_message *msg)
{
	if (msg->payloadlen <= 0) {
		client_delete(id);
		return;
	}
	if (msg->payloadlen > REGISTRY_PAYLOAD_MAX) {
		drop_note(&ignored_log, msg->topic, ++ignored);
		return;
	}
	json_ptr obj(parse_json((const char *) msg->payload, msg->payloadlen));
	json_object *online, *info = nullptr;
	if (!obj || !json_object_object_get_ex(obj.get(), "online", &online) ||
	    !json_object_is_type(online, json_type_int) ||
	    (json_object_object_get_ex(obj.get(), "info", &info) &&
	     !json_object_is_type(info, json_type_string))) {
		drop_note(&ignored_log, msg->topic, ++ignored);
		return;
	}
	client_put(id, info ? json_object_get_string(info) : nullptr,
		   (int32_t) json_object_get_int(online));
}

} // namespace

bool fleet_group_valid(const char *name)
{
	size_t len = strlen(name);
	if (!len || len > FLEET_GROUP_MAX)
		return false;
	return strspn(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") == len;
}

void fleet_configure(const char *name)
{
	group = name;
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
	else if (fleet_filter_is_report(i))
		n = group ? snprintf(buf, (size_t) size, "$share/%s/%s", group, REPORT_FILTERS[i - 1])
			  : snprintf(buf, (size_t) size, "%s", REPORT_FILTERS[i - 1]);
	else if (i == 3 && group)
		n = snprintf(buf, (size_t) size, "quilac/%s/client/#", group);
	else
		return false;
	return n > 0 && n < size;
}

bool fleet_filter_is_report(int i)
{
	return i == 1 || i == 2;
}

bool fleet_on_message(const struct mosquitto_message *msg)
{
	if (const char *id = registry_id(msg->topic)) {
		apply(id, msg);
		return true;
	}
	/* only for a client the group lists: a device sending "offline/"
	   messages for made-up ids makes no traffic beyond its own */
	int32_t online;
	const char *info;
	if (group && msg->payloadlen > 0 &&
	    !strncmp(msg->topic, OFFLINE_PREFIX, strlen(OFFLINE_PREFIX)) &&
	    client_get(msg->topic + strlen(OFFLINE_PREFIX), &online, &info))
		fleet_client_removed(msg->topic + strlen(OFFLINE_PREFIX));
	return false;
}

void fleet_client_changed(const char *id)
{
	int32_t online;
	const char *info;

	if (!group || !client_get(id, &online, &info))
		return;
	json_ptr obj(json_object_new_object());
	json_ptr jonline(json_object_new_int(online));
	json_ptr jinfo(info ? json_object_new_string(info) : nullptr);
	if (!obj || !jonline || (info && !jinfo)) {
		log_msg(0, "client %s: no memory for the group's registry\n", id);
		return;
	}
	json_object_object_add(obj.get(), "online", jonline.release());
	if (jinfo)
		json_object_object_add(obj.get(), "info", jinfo.release());
	const char *text = json_object_to_json_string_ext(obj.get(), JSON_C_TO_STRING_PLAIN);
	publish_entry(id, text, (int) strlen(text));
}

void fleet_client_removed(const char *id)
{
	if (group)
		publish_entry(id, "", 0);
}
