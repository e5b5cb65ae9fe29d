// The MQTT session of the bridge, driven from the event loop.
#pragma once

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
