// The MQTT session. libmosquitto runs no thread of its own here: the loop
// watches its socket (edge-triggered, so reads go on until EAGAIN) and a timer
// drives keep-alive while a socket exists and reconnection while none does.
// Every reconnection starts from a fresh client.
#include "mqtt.h"
#include "api.h"
#include "log.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <mosquitto.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int bufc;

namespace {

constexpr int keepalive_s = 30;
constexpr int tick_ms = 1000;
constexpr int retry_ms = 5000;
constexpr int first_timer_ms = 5000;
constexpr size_t b64_block = 65536;
constexpr const char *user_name = "root";
constexpr const char *subscriptions[] = { "offline/#", "upload/#", "rpc_rsp/#" };

struct session {
	struct mosquitto *client;
	int state;
	char *client_id;
	char *password;
	char *broker;
	int port = 1883;
	uloop_fd watch;
	uloop_timeout timer;
} s;

/* ---- Base64 ---- */

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Grows *buf (bufc blocks) to hold n bytes; on failure releases it.
bool b64_reserve(char **buf, size_t n)
{
	size_t blocks = (size_t) bufc;
	if (blocks * b64_block >= n)
		return true;
	while (blocks * b64_block < n)
		blocks++;

	char *p = (char *) realloc(*buf, blocks * b64_block);
	if (!p) {
		free(*buf);
		*buf = nullptr;
		return false;
	}
	*buf = p;
	bufc = (int) blocks;
	return true;
}

bool b64_put(char **buf, size_t pos, char c)
{
	if (!b64_reserve(buf, pos + 1))
		return false;
	(*buf)[pos] = c;
	return true;
}

/* ---- hotplug event ---- */

void hotplug_event(const char *action)
{
	pid_t pid = fork();
	if (pid < 0) {
		log_msg(2, "quilac hotplug fork failed!");
		return;
	}
	if (pid == 0) {
		char *const argv[] = { (char *) "/sbin/hotplug-call", (char *) "quilac", nullptr };
		setenv("ACTION", action, 1);
		execvp(argv[0], argv);
		_exit(127);	/* _exit: the parent's stdio buffers must not be flushed twice */
	}
}

/* ---- socket watch and flushing ---- */

void socket_handler(uloop_fd *u, unsigned int events);

void watch_socket()
{
	s.watch.fd = mosquitto_socket(s.client);
	s.watch.cb = socket_handler;
	/* Neither workers nor hotplug scripts may inherit the broker connection. */
	fcntl(s.watch.fd, F_SETFD, fcntl(s.watch.fd, F_GETFD) | FD_CLOEXEC);
	uloop_fd_add(&s.watch, ULOOP_READ | ULOOP_WRITE | ULOOP_EDGE_TRIGGER);
}

void unwatch_socket()
{
	uloop_fd_delete(&s.watch);
}

void flush()
{
	while (mosquitto_want_write(s.client)) {
		errno = 0;
		int rc = mosquitto_loop_write(s.client, 1);
		if (rc) {
			log_msg(2, "mosquitto_loop_write error(%s)", mosquitto_strerror(rc));
			return;
		}
		if (errno == EAGAIN) {
			log_msg(2, "mosquitto_loop_write(socket bufferr is full)");
			return;
		}
	}
}

void socket_handler(uloop_fd *, unsigned int events)
{
	if (s.state == MQTT_DISCONNECTED)
		return;

	if (events & ULOOP_READ) {
		for (;;) {
			errno = 0;
			int rc = mosquitto_loop_read(s.client, 1);
			if (rc) {
				log_msg(2, "mosquitto_loop_read error(%s)", mosquitto_strerror(rc));
				break;
			}
			if (errno == EAGAIN)
				break;
		}
	}
	if (events & ULOOP_WRITE)
		flush();
	mosquitto_loop_misc(s.client);
}

/* ---- library callbacks ---- */

void on_connect(struct mosquitto *, void *, int rc)
{
	if (rc) {
		log_msg(0, "connect to mqtt server error (%s)", mosquitto_connack_string(rc));
		if (s.state == MQTT_CONNECTED)
			hotplug_event("offline");
		s.state = MQTT_DISCONNECTED;
		unwatch_socket();
		uloop_timeout_set(&s.timer, retry_ms);
		return;
	}

	log_msg(2, "connect to mqtt server ok");
	if (s.state != MQTT_CONNECTING)
		watch_socket();
	s.state = MQTT_CONNECTED;
	hotplug_event("online");
	for (const char *topic : subscriptions)
		mosquitto_subscribe(s.client, nullptr, topic, 1);
}

void on_disconnect(struct mosquitto *, void *, int rc)
{
	log_msg(0, "disconnect from mqtt server, %s", mosquitto_connack_string(rc));
	if (s.state == MQTT_CONNECTED)
		hotplug_event("offline");
	s.state = MQTT_DISCONNECTED;
	unwatch_socket();
	uloop_timeout_set(&s.timer, retry_ms);
}

void on_subscribe(struct mosquitto *, void *, int mid, int count, const int *granted)
{
	log_msg(2, "subscribed (mid: %d): %d", mid, count > 0 ? granted[0] : -1);
}

void on_unsubscribe(struct mosquitto *, void *, int mid)
{
	log_msg(2, "unsubscribed (mid: %d)", mid);
}

void on_log(struct mosquitto *, void *, int level, const char *str)
{
	if (level == MOSQ_LOG_ERR)
		log_msg(1, "mosquitto internal error(%d %s)", level, str);
}

void setup_client()
{
	mosquitto_username_pw_set(s.client, user_name, s.password);
	mosquitto_subscribe_callback_set(s.client, on_subscribe);
	mosquitto_unsubscribe_callback_set(s.client, on_unsubscribe);
	mosquitto_connect_callback_set(s.client, on_connect);
	mosquitto_message_callback_set(s.client, api_on_message);
	mosquitto_disconnect_callback_set(s.client, on_disconnect);
	mosquitto_log_callback_set(s.client, on_log);
}

void log_new_failure(const char *nomem_text)
{
	if (errno == ENOMEM)
		log_msg(0, "%s", nomem_text);
	else if (errno == EINVAL)
		log_msg(0, "Error: Invalid id and/or clean_session");
}

void reconnect()
{
	mosquitto_destroy(s.client);
	s.client = mosquitto_new(s.client_id, true, nullptr);
	if (!s.client) {
		log_new_failure("Error: Out of memory (new mosquitto)");
		return;	/* no timer: this was the last attempt */
	}

	setup_client();
	int rc = mosquitto_connect(s.client, s.broker, s.port, keepalive_s);
	log_msg(0, "try reconnect to mqtt server, %s", mosquitto_connack_string(rc));
	if (rc) {
		uloop_timeout_set(&s.timer, retry_ms);
		return;
	}
	log_msg(0, "reconnect to mqtt server ok");
	watch_socket();
	s.state = MQTT_CONNECTING;
	uloop_timeout_set(&s.timer, tick_ms);
}

void timer_handler(uloop_timeout *)
{
	if (s.state == MQTT_DISCONNECTED) {
		reconnect();
		return;
	}
	flush();
	mosquitto_loop_misc(s.client);
	uloop_timeout_set(&s.timer, tick_ms);
}

} // namespace

char *base64_encode(const void *data, size_t length)
{
	const unsigned char *in = (const unsigned char *) data;
	char *out = (char *) malloc(b64_block);
	size_t o = 0, i = 0;

	if (!out)
		return nullptr;
	bufc = 1;

	for (; i + 3 <= length; i += 3) {
		if (!b64_reserve(&out, o + 4))
			return nullptr;
		unsigned b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
		out[o++] = alphabet[b0 >> 2];
		out[o++] = alphabet[((b0 & 3) << 4) | (b1 >> 4)];
		out[o++] = alphabet[((b1 & 15) << 2) | (b2 >> 6)];
		out[o++] = alphabet[b2 & 63];
	}

	size_t rest = length - i;
	if (rest) {
		unsigned char g[3] = { in[i], rest > 1 ? in[i + 1] : (unsigned char) 0, 0 };
		unsigned idx[3] = { (unsigned) g[0] >> 2, ((g[0] & 3u) << 4) | (g[1] >> 4),
				    ((g[1] & 15u) << 2) | (g[2] >> 6) };
		for (size_t k = 0; k < rest + 1; k++, o++)
			if (!b64_put(&out, o, alphabet[idx[k]]))
				return nullptr;
		for (; o % 4; o++)
			if (!b64_put(&out, o, '='))
				return nullptr;
	}
	if (!b64_put(&out, o, '\0'))
		return nullptr;
	return out;
}

int mqtt_start(const char *broker, int port, const char *client_id)
{
	s.timer.cb = timer_handler;

	s.client_id = strdup(client_id);
	if (!s.client_id) {
		log_msg(0, "Error: Out of memory(strdup %s)", client_id);
		return -1;
	}
	s.password = base64_encode(client_id, strlen(client_id));
	if (!s.password)
		return -1;
	s.broker = strdup(broker);
	if (!s.broker) {
		log_msg(0, "Error: Out of memory(strdup %s)", broker);
		return -1;
	}
	if (port > 0)
		s.port = port;

	mosquitto_lib_init();
	log_msg(2, "info: use %s/%s as client id\n", s.client_id, s.password);

	s.client = mosquitto_new(s.client_id, true, nullptr);
	if (!s.client) {
		log_new_failure("Error: Out of memory");
		mosquitto_lib_cleanup();
		return -1;
	}

	setup_client();
	int rc = mosquitto_connect(s.client, s.broker, s.port, keepalive_s);
	log_msg(0, "connect to mqtt server, %s", mosquitto_connack_string(rc));
	if (rc == 0) {
		watch_socket();
		s.state = MQTT_CONNECTING;
	}
	uloop_timeout_set(&s.timer, first_timer_ms);
	return 0;
}

void mqtt_stop(void)
{
	free(s.client_id);
	free(s.password);
	free(s.broker);
	s.client_id = s.password = s.broker = nullptr;

	if (s.client) {
		log_msg(2, "stop quilac");
		mosquitto_disconnect(s.client);
		mosquitto_destroy(s.client);
		s.client = nullptr;
	}
	mosquitto_lib_cleanup();
}

int mqtt_publish(const char *topic, const char *payload, int length)
{
	if (!s.client)
		return -1;
	log_msg(4, "%s/%s", topic, payload);
	return mosquitto_publish(s.client, nullptr, topic, length, payload, 1, false);
}

int mqtt_get_state(void)
{
	return s.state;
}

const char *mqtt_get_broker(void)
{
	return s.broker;
}

int mqtt_get_port(void)
{
	return s.port;
}
