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
// `self`: this bridge's client id, its name among the group's members.
void fleet_configure(const char *group, const char *self = nullptr);	// nullptr: no group
bool fleet_grouped(void);
// Writes what is pending of the ignored-message line (at shutdown).
void fleet_stop(void);

constexpr int FLEET_FILTER_MAX = 128;
// The subscriptions, in order: "offline/#", the report filters (shared in a
// group), and in a group its registry, the reports handed back to it
// (shared) and its members. Writes filter `i` to buf; false past the last.
bool fleet_filter(int i, char *buf, int size);
// Whether filter `i` carries reports (stopped first at a planned stop).
bool fleet_filter_is_report(int i);

// A message of the group's own (registry, members) is taken here (true);
// anything else is for the dispatcher (false), under *topic: a report handed
// back by a member under its real topic, else the message's. In a group, an
// "offline/" removal is written to the group's registry as well, so that a
// bridge that joins later does not list the client.
bool fleet_on_message(const struct mosquitto_message *msg, const char **topic);

// A new session: the member announces itself (its will takes that back if
// the session dies), and the registry is rebuilt from what the broker holds,
// so that removals made while this bridge was away are not missed.
void fleet_session_started(void);
// The retained message of this member's presence, for its will.
bool fleet_member_topic(char *buf, int size);
// A planned stop: this member takes no more of the group's work.
void fleet_leave(void);
// Whether another member of the group holds its subscriptions now: only
// then does a stopping member hand its queue back.
bool fleet_others_present(void);
// Publishes a queued report for another member to run; 0 when it is out.
int fleet_hand_back(const char *topic, const char *payload, int len);
// Whether an entry with this info fits a registry message of the group.
bool fleet_info_fits(const char *info);

// The registry entry of `id` was changed or removed through the bus: the
// group's registry follows.
void fleet_client_changed(const char *id);
void fleet_client_removed(const char *id);
