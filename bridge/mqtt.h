// The MQTT session of the bridge, driven from the event loop.
#pragma once

#include <stddef.h>

enum mqtt_state {
	MQTT_DISCONNECTED = 0,
	MQTT_CONNECTED = 1,
	MQTT_CONNECTING = 2,
};

int mqtt_start(const char *broker, int port, const char *client_id);
void mqtt_stop(void);
// 0 once the publication is kept until the broker acknowledges it (sent now,
// or on the next session); -1 without a client; MQTT_BACKLOG_FULL when the
// backlog has no room for it; a library error code for a topic it refuses
// (counted and logged as refused).
constexpr int MQTT_BACKLOG_FULL = -2;
int mqtt_publish(const char *topic, const char *payload, int length);
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
