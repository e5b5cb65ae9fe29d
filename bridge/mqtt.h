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
// backlog is at its bound; a library error code for a topic it refuses.
constexpr int MQTT_BACKLOG_FULL = -2;
int mqtt_publish(const char *topic, const char *payload, int length);
int mqtt_get_state(void);
const char *mqtt_get_broker(void);
int mqtt_get_port(void);

// True while the backlog is too long to take more output from the workers;
// once it has shrunk enough the library's acknowledgements call
// api_output_resume().
bool mqtt_backlog_high(void);
