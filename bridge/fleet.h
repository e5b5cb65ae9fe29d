// Several bridges as one group on the broker (-g): the report filters become
// shared subscriptions, so that each report reaches one bridge of the group,
// and the client registry is kept for the whole group in retained messages
// under a topic of the group's own. Without a group, nothing here changes
// what the bridge does.
#pragma once

struct mosquitto_message;

// Group names: 1 to FLEET_GROUP_MAX of A-Z a-z 0-9 _ -, safe as one topic level.
constexpr int FLEET_GROUP_MAX = 32;
bool fleet_group_valid(const char *group);
void fleet_configure(const char *group);	// nullptr: no group
bool fleet_grouped(void);
// Writes what is pending of the ignored-message line (at shutdown).
void fleet_stop(void);

constexpr int FLEET_FILTER_MAX = 64;
// The subscriptions, in order: "offline/#", the report filters (shared in a
// group), and the group's registry. Writes filter `i` to buf; false past the last.
bool fleet_filter(int i, char *buf, int size);
// Whether filter `i` carries reports (stopped first at a planned stop).
bool fleet_filter_is_report(int i);

// A message of the group's registry is applied here (true); anything else is
// for the dispatcher (false). In a group, an "offline/" removal is written to
// the group's registry as well, so that a bridge that joins later does not
// list the client.
bool fleet_on_message(const struct mosquitto_message *msg);

// The registry entry of `id` was changed or removed through the bus: the
// group's registry follows.
void fleet_client_changed(const char *id);
void fleet_client_removed(const char *id);
