// The MQTT session. libmosquitto runs no thread of its own here: the loop
// watches its socket and a timer drives keep-alive while a socket exists and
// reconnection while none does. Every reconnection starts from a fresh client.
//
// The loop must never stand still for the broker. Connecting is asynchronous:
// the connect request goes out when the socket turns writable. Reading and
// writing go in bounded turns: the watch is edge-triggered, so a turn that
// stops while data is still waiting comes back through a zero timeout, after
// the loop has reaped workers, read their pipes and served the bus.
//
// The socket is always read, however busy the workers are: acknowledgements
// must flow, and what the dispatcher cannot keep it drops and counts (the
// broker would drop it as well, but invisibly). Outbound, every publication
// stays in the backlog (backlog.cpp) until the broker has acknowledged it,
// across sessions; it is handed to the library only while connected. While
// the backlog is high the dispatcher leaves worker output in the pipes until
// api_output_resume() is called.
#include "mqtt.h"
#include "api.h"
#include "backlog.h"
#include "base64.h"
#include "clock.h"
#include "credentials.h"
#include "hotplug.h"
#include "log.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <mosquitto.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

constexpr int KEEPALIVE_S = 30;
constexpr int TICK_MS = 1000;
constexpr int RETRY_MS = 5000;
constexpr int FIRST_TIMER_MS = 5000;
constexpr const char *SUBSCRIPTIONS[] = { "offline/#", "upload/#", "rpc_rsp/#" };

// Packets per turn of the loop: enough to keep up with a burst, few enough
// that everything else in the loop gets its turn in between.
constexpr int READ_BATCH = 32;
constexpr int WRITE_BATCH = 64;

// A session that has acknowledged nothing for this long while publications
// wait for it is taken for broken (a peer that swallows acknowledgements but
// answers pings) and started anew, which publishes the backlog again.
constexpr int64_t ACK_TIMEOUT_MS = 2 * KEEPALIVE_S * 1000;

// The socket is watched while the state is connecting or connected.
// session_lost() cancels `more`, and its handler does nothing while
// disconnected, so no turn outlives its client.
struct session {
	struct mosquitto *client;
	int state;
	char *client_id;
	char *password;
	char *broker;
	int port = 1883;
	uloop_fd watch;
	uloop_timeout timer;		// keep-alive tick, or the next reconnection
	uloop_timeout more;		// another read or write turn
	bool writable;			// the socket has connected (it reported writable)
	char target[280];		// "host:port", for the log
	bool attempt_failed;		// this attempt's failure has been said
	unsigned long failed_attempts;	// since the last session
	log_repeat failures;		// of attempts, until one succeeds
	int connect_errno;		// a refusal the library took in and went on
} s;

/* ---- what the log says about connecting ----
 * Each attempt's first failure goes to the summariser: said at once the first
 * time, counted while later attempts fail the same way. What follows from that
 * same failure (a read error, the disconnect) is only debug. While attempts
 * keep failing, the attempts themselves are debug too. */

// The library's reason for a result code; MOSQ_ERR_ERRNO is the system's.
const char *reason(int rc, int err)
{
	return rc == MOSQ_ERR_ERRNO ? strerror(err) : mosquitto_strerror(rc);
}

// With TLS, the library may meet the refusal in its first handshake step and
// report success; the socket then holds no error any more.
bool connection_error(int err)
{
	return err == ECONNREFUSED || err == ECONNRESET || err == ETIMEDOUT ||
	       err == EHOSTUNREACH || err == ENETUNREACH;
}

void set_target(const char *host, int port)
{
	bool v6 = strchr(host, ':');
	snprintf(s.target, sizeof(s.target), v6 ? "[%s]:%d" : "%s:%d", host, port);
}

// `format` has two %s: the broker's host:port, then `why`.
void attempt_failure(const char *format, const char *why)
{
	if (s.attempt_failed) {
		log_msg(4, format, s.target, why);
		return;
	}
	s.attempt_failed = true;
	s.failed_attempts++;
	log_repeat_msg(&s.failures, 0, format, s.target, why);
}

bool failing()
{
	return s.failed_attempts != 0;
}

// Read and write errors of a session the log has not yet said is failing.
int loop_error_level()
{
	return s.attempt_failed ? 4 : 2;
}

/* ---- publish backlog ---- */

int send_one(const char *topic, const char *payload, int len, int *mid)
{
	return mosquitto_publish(s.client, mid, topic, len, payload, 1, false);
}

void send_backlog()
{
	backlog_send(send_one, monotonic_ms());
}

// A topic the library would refuse whenever it is sent.
bool topic_invalid(const char *topic)
{
	return !*topic || mosquitto_pub_topic_check(topic) != MOSQ_ERR_SUCCESS ||
	       mosquitto_validate_utf8(topic, (int) strlen(topic)) != MOSQ_ERR_SUCCESS;
}

/* ---- hotplug event ---- */

void raise_hotplug(const char *action)
{
	const child_var vars[] = { { "ACTION", action } };
	if (hotplug_event("quilac", vars) < 0)
		log_msg(2, "quilac hotplug fork failed!");
}

/* ---- socket watch and flushing ---- */

void socket_handler(uloop_fd *u, unsigned int events);

void watch_socket()
{
	s.writable = false;
	s.watch.fd = mosquitto_socket(s.client);
	s.watch.cb = socket_handler;
	uloop_fd_add(&s.watch, ULOOP_READ | ULOOP_WRITE | ULOOP_EDGE_TRIGGER);
}

void unwatch_socket()
{
	uloop_fd_delete(&s.watch);
}

void session_lost();

// A failed TLS handshake closes the library's socket without calling the
// disconnect callback: without this the session would stay "connecting" and
// never try again.
void lost_without_callback()
{
	if (s.state != MQTT_DISCONNECTED && mosquitto_socket(s.client) < 0)
		session_lost();
}

void flush()
{
	for (int n = 0; mosquitto_want_write(s.client); n++) {
		if (n == WRITE_BATCH) {
			uloop_timeout_set(&s.more, 0);
			return;
		}
		errno = 0;
		int rc = mosquitto_loop_write(s.client, 1);
		if (rc) {
			log_msg(loop_error_level(), "mosquitto_loop_write error(%s)", reason(rc, errno));
			lost_without_callback();
			return;
		}
		if (errno == EAGAIN) {
			log_msg(2, "mosquitto_loop_write(socket bufferr is full)");
			return;
		}
	}
}

bool input_waiting()
{
	int n = 0;
	return ioctl(mosquitto_socket(s.client), FIONREAD, &n) == 0 && n > 0;
}

// Reads at most READ_BATCH packets. Each received message goes to the
// dispatcher, which queues it while all workers are busy, or drops it.
void read_turn()
{
	for (int n = 0; n < READ_BATCH; n++) {
		if (s.state == MQTT_DISCONNECTED)
			return;	/* lost in a callback of the last read */
		errno = 0;
		int rc = mosquitto_loop_read(s.client, 1);
		if (rc) {
			log_msg(loop_error_level(), "mosquitto_loop_read error(%s)", reason(rc, errno));
			lost_without_callback();
			return;
		}
		if (errno == EAGAIN)
			break;
	}
	/* Asked of the socket itself: errno may have been touched in a callback. */
	if (s.state != MQTT_DISCONNECTED && input_waiting())
		uloop_timeout_set(&s.more, 0);
}

void more_handler(uloop_timeout *)
{
	if (s.state == MQTT_DISCONNECTED)
		return;
	read_turn();
	if (s.state != MQTT_DISCONNECTED)
		flush();
}

// The reason a socket failed (and the error taken off it), or 0.
int socket_error()
{
	int err = 0;
	socklen_t len = sizeof(err);
	getsockopt(mosquitto_socket(s.client), SOL_SOCKET, SO_ERROR, &err, &len);
	return err;
}

// The socket failed while the session was still being set up, and the loop
// has dropped its watch. libmosquitto takes a refused or reset connection
// during the TLS handshake for "try again later" and would wait for the
// keep-alive: the attempt ends now.
void lost_while_connecting(int err)
{
	if (!err)
		err = s.connect_errno;
	const char *why = err ? strerror(err) : "connection failed";
	if (credentials_tls())
		attempt_failure("tls handshake with mqtt server failed (%s: %s)", why);
	else
		attempt_failure("connect to mqtt server error (%s: %s)", why);
	session_lost();
}

void socket_handler(uloop_fd *u, unsigned int events)
{
	if (s.state == MQTT_DISCONNECTED)
		return;

	/* read before the library's handshake takes it (and then ignores it) */
	int err = u->error && credentials_tls() && s.state == MQTT_CONNECTING ? socket_error() : 0;
	/* an error unregisters the watch: the read lets the library notice the loss */
	if ((events & ULOOP_READ) || u->error)
		read_turn();
	if (u->error && s.state == MQTT_CONNECTING) {
		lost_while_connecting(err);
		return;
	}
	if (events & ULOOP_WRITE) {
		s.writable = true;
		flush();
	}
	mosquitto_loop_misc(s.client);
}

/* ---- library callbacks ---- */

// The broker refused the session or the connection ended: "offline" only for
// a session that was online, and the next attempt in RETRY_MS. What it had
// not acknowledged waits in the backlog for the next session.
void session_lost()
{
	if (s.state == MQTT_CONNECTED)
		raise_hotplug("offline");
	s.state = MQTT_DISCONNECTED;
	unwatch_socket();
	uloop_timeout_cancel(&s.more);
	backlog_session_lost();
	uloop_timeout_set(&s.timer, RETRY_MS);
}

void on_connect(struct mosquitto *, void *, int rc)
{
	if (rc) {
		attempt_failure("connect to mqtt server error (%s: %s)", mosquitto_connack_string(rc));
		session_lost();
		return;
	}

	s.attempt_failed = false;
	log_repeat_end(&s.failures);
	if (s.failed_attempts)
		log_msg(2, "connect to mqtt server ok, %s, after %lu failed attempt(s)", s.target,
			s.failed_attempts);
	else
		log_msg(2, "connect to mqtt server ok, %s", s.target);
	s.failed_attempts = 0;
	if (s.state != MQTT_CONNECTING)
		watch_socket();
	s.state = MQTT_CONNECTED;
	raise_hotplug("online");
	for (const char *topic : SUBSCRIPTIONS)
		mosquitto_subscribe(s.client, nullptr, topic, 1);
	send_backlog();
	uloop_timeout_set(&s.more, 0);	/* inside a callback the library only queues */
}

void on_disconnect(struct mosquitto *, void *, int rc)
{
	const char *why = reason(rc, errno);
	if (s.state == MQTT_CONNECTED)
		log_msg(2, "disconnect from mqtt server, %s: %s", s.target, why);
	else
		attempt_failure("disconnect from mqtt server, %s: %s", why);
	session_lost();
}

void on_subscribe(struct mosquitto *, void *, int mid, int count, const int *granted)
{
	log_msg(2, "subscribed (mid: %d): %d", mid, count > 0 ? granted[0] : -1);
}

void on_unsubscribe(struct mosquitto *, void *, int mid)
{
	log_msg(2, "unsubscribed (mid: %d)", mid);
}

void on_publish(struct mosquitto *, void *, int mid)
{
	backlog_ack(mid);
}

void on_log(struct mosquitto *, void *, int level, const char *str)
{
	if (level != MOSQ_LOG_ERR)
		return;
	/* Before a TLS session is up the library's errors are about setting TLS
	   up: the handshake's reasons (a certificate not verified, a name that
	   does not match) or a CA file that holds no certificate. */
	if (credentials_tls() && s.state != MQTT_CONNECTED)
		attempt_failure("tls handshake with mqtt server failed (%s: %s)", str);
	else
		log_msg(1, "mosquitto internal error(%d %s)", level, str);
}

void log_new_failure(const char *nomem_text)
{
	if (errno == ENOMEM)
		log_msg(0, "%s", nomem_text);
	else if (errno == EINVAL)
		log_msg(0, "Error: Invalid id and/or clean_session");
}

// A new client, set up and asked to connect; its socket watched and the
// state connecting when the connection is under way (*rc 0, the result of
// mosquitto_connect_async()). False when no client could be made.
bool new_client(bool first, int *rc)
{
	s.client = mosquitto_new(s.client_id, true, nullptr);
	if (!s.client) {
		log_new_failure(first ? "Error: Out of memory" : "Error: Out of memory (new mosquitto)");
		return false;
	}

	mosquitto_subscribe_callback_set(s.client, on_subscribe);
	mosquitto_unsubscribe_callback_set(s.client, on_unsubscribe);
	mosquitto_connect_callback_set(s.client, on_connect);
	mosquitto_message_callback_set(s.client, api_on_message);
	mosquitto_disconnect_callback_set(s.client, on_disconnect);
	mosquitto_log_callback_set(s.client, on_log);
	mosquitto_publish_callback_set(s.client, on_publish);

	s.attempt_failed = false;
	/* a client without its TLS must not connect: the next attempt tries again */
	*rc = credentials_apply(s.client, s.password);
	if (*rc) {
		attempt_failure("mqtt credentials or TLS not set, %s: %s", mosquitto_strerror(*rc));
		return true;
	}
	log_msg(failing() ? 4 : 2, first ? "connect to mqtt server, %s" :
		"try reconnect to mqtt server, %s", s.target);
	/* 0 once the connection is under way; the request goes out when the
	   socket has connected, and the keep-alive bounds the wait for that */
	errno = 0;
	*rc = mosquitto_connect_async(s.client, s.broker, s.port, KEEPALIVE_S);
	s.connect_errno = connection_error(errno) ? errno : 0;
	if (*rc) {
		/* the same words at start and later: a repeat is a repeat */
		attempt_failure("connect to mqtt server, %s: %s", reason(*rc, errno));
		return true;
	}
	watch_socket();
	s.state = MQTT_CONNECTING;
	return true;
}

void reconnect()
{
	int rc;

	mosquitto_destroy(s.client);
	if (!new_client(false, &rc))
		return;	/* no timer: this was the last attempt */
	if (rc) {
		uloop_timeout_set(&s.timer, RETRY_MS);
		return;
	}
	log_msg(4, "reconnect to mqtt server ok");
	uloop_timeout_set(&s.timer, TICK_MS);
}

bool acks_overdue()
{
	int64_t since = backlog_ack_wait_since_ms();
	return s.state == MQTT_CONNECTED && since >= 0 && monotonic_ms() - since >= ACK_TIMEOUT_MS;
}

void timer_handler(uloop_timeout *)
{
	if (s.state == MQTT_DISCONNECTED) {
		reconnect();
		return;
	}
	if (acks_overdue()) {
		log_msg(0, "no acknowledgement from the mqtt server for %d seconds, reconnecting\n",
			(int) (ACK_TIMEOUT_MS / 1000));
		session_lost();
		return;
	}
	if (s.writable)
		flush();	/* before that, writing would only meet EAGAIN */
	mosquitto_loop_misc(s.client);
	uloop_timeout_set(&s.timer, TICK_MS);
}

} // namespace

int mqtt_start(const char *broker, int port, const char *client_id)
{
	s.timer.cb = timer_handler;
	s.more.cb = more_handler;
	backlog_on_low = api_output_resume;

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
	set_target(s.broker, s.port);

	mosquitto_lib_init();
	log_msg(2, "info: use %s/%s as client id\n", s.client_id,
		credentials_from_file() ? "(password file)" : s.password);

	int rc;
	if (!new_client(true, &rc)) {
		mosquitto_lib_cleanup();
		return -1;
	}
	uloop_timeout_set(&s.timer, FIRST_TIMER_MS);
	return 0;
}

void mqtt_stop(void)
{
	free(s.client_id);
	free(s.password);
	free(s.broker);
	s.client_id = s.password = s.broker = nullptr;

	log_repeat_end(&s.failures);
	if (s.client) {
		log_msg(2, "stop quilac");
		mosquitto_disconnect(s.client);
		mosquitto_destroy(s.client);
		s.client = nullptr;
	}
	mosquitto_lib_cleanup();
	backlog_clear();
}

int mqtt_publish(const char *topic, const char *payload, int length)
{
	if (!s.client)
		return -1;
	log_msg(4, "%s/%s", topic, payload);
	if (topic_invalid(topic)) {
		backlog_refused(topic);
		return MOSQ_ERR_INVAL;
	}
	if (!backlog_push(topic, payload, length))
		return MQTT_BACKLOG_FULL;
	if (s.state == MQTT_CONNECTED)
		send_backlog();
	return MOSQ_ERR_SUCCESS;
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

bool mqtt_backlog_high(void)
{
	return backlog_high();
}
