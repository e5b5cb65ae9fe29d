// The MQTT session of the bridge, driven from the event loop.
#pragma once

#include <stddef.h>

enum mqtt_state {
	MQTT_DISCONNECTED = 0,
	MQTT_CONNECTED = 1,
	MQTT_CONNECTING = 2,
};

struct broker_list;

// The first attempt goes to the first broker; each later one to the next.
// `port` is the port of entries without one.
int mqtt_start(const struct broker_list *brokers, int port, const char *client_id);
void mqtt_stop(void);
// 0 once the publication is kept until the broker acknowledges it (sent now,
// or on the next session); -1 without a client; MQTT_BACKLOG_FULL when the
// backlog has no room for it; a library error code for a topic it refuses
// (counted and logged as refused).
constexpr int MQTT_BACKLOG_FULL = -2;
int mqtt_publish(const char *topic, const char *payload, int length);
// The same, retained (the group's registry).
int mqtt_publish_retained(const char *topic, const char *payload, int length);
// A planned stop. In a group the report filters are unsubscribed (and not
// subscribed again by a later session), so that the others take the rest.
// Alone the session is persistent: the subscriptions stay, and what the
// broker has not handed over waits for the next start (what was handed over,
// and acknowledged by the library, must be run before the stop ends).
void mqtt_stop_reports(void);
// The broker has confirmed it (or there is no session): every report it
// sent before has been read.
bool mqtt_reports_stopped(void);
// Every publication has been acknowledged.
bool mqtt_all_acknowledged(void);
int mqtt_get_state(void);
const char *mqtt_get_broker(void);
int mqtt_get_port(void);

// backlog_high(), for the dispatcher, which knows only the session (its unit
// test fakes these two functions): while true, worker output stays in the
// pipes; once half of the backlog is acknowledged, api_output_resume() runs.
bool mqtt_backlog_high(void);

// Sessions ended because the broker broke the protocol (a QoS 2 message on
// our QoS 1 subscriptions), since start.
unsigned long mqtt_protocol_errors(void);
