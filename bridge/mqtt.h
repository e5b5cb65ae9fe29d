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
int mqtt_publish(const char *topic, const char *payload, int length);
int mqtt_get_state(void);
const char *mqtt_get_broker(void);
int mqtt_get_port(void);

// Publications handed to the library and not yet acknowledged by the broker.
struct mqtt_backlog {
	int messages;
	size_t bytes;		// their topics and payloads
};
void mqtt_get_backlog(struct mqtt_backlog *b);

// True while the backlog is too long to take more output from the workers;
// once it has shrunk enough the library's acknowledgements call
// api_output_resume().
bool mqtt_backlog_high(void);

// The dispatcher has room again: reading of the broker socket, held while
// its queue was nearly full, goes on.
void mqtt_read_resume(void);
