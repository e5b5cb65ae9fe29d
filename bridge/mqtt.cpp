// The MQTT session. libmosquitto runs no thread of its own here: the loop
// watches its socket and a timer drives keep-alive while a socket exists and
// reconnection while none does. Every reconnection starts from a fresh client.
//
// The session is persistent (clean session off, the fixed client id): while
// quilac is away the broker keeps the reports of its subscriptions. In a
// group (-g) it is a clean one: a broker would keep a persistent member's
// share of the shared subscriptions for it, unanswered, for as long as it is
// away, where a clean member's share goes to the others at once. A
// lost session is tried again at once, then after waits that grow, drawn at
// random so that a fleet of controllers does not come back in step.
//
// MQTT 5 first, for its Maximum Packet Size: a conforming broker never sends
// more than a report can be, so that no device can make the library read a
// huge packet whole. Over plain TCP a broker that sends more anyway is caught
// at the packet's header, before the library reads it (packet_size.h). A
// broker that refuses version 5 gets 3.1.1, that list entry only, for an hour.
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
#include "brokers.h"
#include "clock.h"
#include "credentials.h"
#include "droplog.h"
#include "fleet.h"
#include "hotplug.h"
#include "log.h"
#include "packet_size.h"
#include "resolver.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int KEEPALIVE_S = 30;
constexpr int TICK_MS = 1000;
constexpr int FIRST_TIMER_MS = 5000;

// Waits before a reconnection: none after a session that lasted
// STABLE_MS, then doubling from RETRY_FIRST_MS up to RETRY_MAX_MS, each
// drawn from the upper half of its step.
constexpr int RETRY_FIRST_MS = 1000;
constexpr int RETRY_MAX_MS = 8000;
constexpr int64_t STABLE_MS = 10000;

// The broker keeps the session, and the reports for it, however long
// quilac is away (its own limits decide: persistent_client_expiration,
// max_queued_messages).
constexpr uint32_t SESSION_EXPIRY_S = UINT32_MAX;
// The largest PUBLISH a report can come in: its JSON text (topic and
// payload, escaped) must fit API_ARG_MAX; the rest is the packet's header,
// packet id and properties. A larger one is dropped by the broker.
constexpr uint32_t MAX_PACKET_SIZE = API_ARG_MAX + 4096;
// A broker that refused version 5 is asked again after this long: it may
// have been upgraded meanwhile.
constexpr int64_t MQTT5_RETRY_MS = 3600 * 1000;
// QoS 2 messages we have acknowledged but not yet been released, at most.
// Our subscriptions are QoS 1, so a broker that sends any QoS 2 breaks the
// protocol and the session ends.
constexpr int RECEIVE_MAXIMUM = 20;

// Calls per turn of the loop, few enough that everything else in the loop
// gets its turn in between. A read call takes one packet, or more: the
// library reads as many as it has messages in flight, whatever it is asked.
constexpr int READ_BATCH = 32;
constexpr int WRITE_BATCH = 64;

// Output the broker does not take is not let to grow: while the socket is
// full nothing more is read (each report read queues an acknowledgement),
// and a broker that has taken nothing for this long is given up.
constexpr int64_t WRITE_STALL_MS = KEEPALIVE_S * 1000;

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
	broker_list brokers;
	int broker_index;
	int default_port = 1883;
	char broker[BROKER_HOST_MAX];	// the entry in use
	bool broker_set;
	int port = 1883;
	bool reports_stopped;		// a planned stop: no report filters
	int unsubscribes_pending;	// of the report filters, by this session
	uloop_fd watch;
	uloop_timeout timer;		// keep-alive tick, or the next reconnection
	uloop_timeout more;		// another read or write turn
	bool writable;			// the socket has connected (it reported writable)
	bool mqtt311;			// this client speaks 3.1.1
	int64_t refused_mqtt5_ms[MAX_BROKERS];	// when each entry refused MQTT 5; 0: never
	bool again_in_311;		// the next attempt: the same entry, in 3.1.1
	packet_size_guard sizes;	// of what the broker sends on this connection
	mosquitto_property *connect_props;
	int retry_ms;			// the next wait's step; 0: at once
	int64_t connected_ms;		// when the broker accepted the session
	int64_t write_full_ms;		// since when the socket is full; 0: not full
	bool broken;			// the peer broke the protocol: no retry at once
	bool resolving;			// the broker's name, in a resolver process
	unsigned long protocol_errors;
	char target[280];		// "host:port", for the log
	bool attempt_failed;		// this attempt's failure has been said
	unsigned long failed_attempts;	// since the last session
	log_repeat failures[MAX_BROKERS];	// of attempts on each, until one succeeds
	unsigned long short_sessions;	// in a row, each ended before STABLE_MS
	bool accepted_once;		// a later acceptance is a reconnection
	bool stopping;			// mqtt_stop's own disconnect
	int connect_errno;		// a refusal the library took in and went on
} s;

drop_log socket_full_log = { .reason = "socket to the mqtt server full", .unit = "time(s)" };

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
void attempt_failure_at(int level, const char *format, const char *why)
{
	if (s.attempt_failed) {
		log_msg(4, format, s.target, why);
		return;
	}
	s.attempt_failed = true;
	s.failed_attempts++;
	/* per broker: brokers tried in turn would never repeat the line before */
	log_repeat_msg(&s.failures[s.broker_index], level, format, s.target, why);
}

void attempt_failure(const char *format, const char *why)
{
	attempt_failure_at(0, format, why);
}

bool failing()
{
	return s.failed_attempts != 0;
}

// Read and write errors are notices, unless they belong to a failure already
// said: this attempt's, the disconnect the library has just reported, or
// (before a session is up) the one attempts keep repeating, whose next line
// is the summary.
int loop_error_level()
{
	return s.attempt_failed || s.state == MQTT_DISCONNECTED ||
	       (s.state != MQTT_CONNECTED && failing()) ? 4 : 2;
}

// While sessions keep ending early (another client with our id takes them
// over), what each one says is debug: its end is the line that repeats.
int session_level()
{
	return s.short_sessions ? 4 : 2;
}

// Every failure summed up, and the way back said once.
void failures_end(const char *format)
{
	for (log_repeat &r : s.failures)
		log_repeat_end(&r);
	if (s.failed_attempts)
		log_msg(2, format, s.target, s.failed_attempts);
	s.failed_attempts = 0;
	s.short_sessions = 0;
}

/* ---- publish backlog ---- */

int send_one(const char *topic, const char *payload, int len, bool retain, int *mid)
{
	return mosquitto_publish(s.client, mid, topic, len, payload, 1, retain);
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

// A script killed at its time limit, or what it left: a warning (one script
// at a time, each after a hold-down: no flood).
void log_hotplug(const char *line)
{
	log_msg(1, "%s", line);
}

void hotplug_lost(hotplug_queue *)
{
	log_msg(2, "quilac hotplug fork failed!");
}

// "online" and "offline" run one at a time, in order, the newest last, with
// the workers' time limit (common/hotplug.h).
hotplug_queue hotplug_events = { .name = "quilac", .time_limit_s = 0, .log = log_hotplug,
				 .lost = hotplug_lost };

void raise_hotplug(const char *action)
{
	const child_var vars[] = { { "ACTION", action } };
	hotplug_events.time_limit_s = api_time_limit_s();
	hotplug_post(&hotplug_events, vars);
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

void socket_full()
{
	static unsigned long times;
	if (!s.write_full_ms)
		s.write_full_ms = monotonic_ms();
	drop_note(&socket_full_log, s.broker, ++times);
}

// Reading stopped while the socket was full: its readable edge may have
// passed meanwhile.
void socket_drained()
{
	if (!s.write_full_ms)
		return;
	s.write_full_ms = 0;
	uloop_timeout_set(&s.more, 0);
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
			socket_full();
			return;
		}
	}
	socket_drained();
}

bool input_waiting()
{
	int n = 0;
	return ioctl(mosquitto_socket(s.client), FIONREAD, &n) == 0 && n > 0;
}

bool packet_size_checked(bool boundary = false);

// Reads at most READ_BATCH packets. Each received message goes to the
// dispatcher, which queues it while all workers are busy, or drops it.
void read_turn()
{
	if (s.write_full_ms)
		return;	/* until what is queued has gone out */
	for (int n = 0; n < READ_BATCH; n++) {
		if (s.state == MQTT_DISCONNECTED)
			return;	/* lost in a callback of the last read */
		if (!packet_size_checked())
			return;
		errno = 0;
		int rc = mosquitto_loop_read(s.client, 1);
		if (rc && s.state != MQTT_DISCONNECTED) {
			log_msg(loop_error_level(), "mosquitto_loop_read error(%s)", reason(rc, errno));
			lost_without_callback();
			return;
		}
		if (rc || errno == EAGAIN)
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
		attempt_failure("connect to mqtt server, %s: %s", why);	/* as if refused at once */
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

uint32_t random_u32()
{
	uint32_t r;
	if (getrandom(&r, sizeof(r), GRND_NONBLOCK) != (ssize_t) sizeof(r))
		r = (uint32_t) monotonic_ms() * 2654435761u ^ (uint32_t) getpid();
	return r;
}

// The wait before the next attempt: none after a session that lasted, else
// the current step's upper half at random, the step doubling each time.
int next_retry_ms(bool lasted)
{
	if (lasted && !s.broken) {
		s.retry_ms = RETRY_FIRST_MS;
		return 0;
	}
	s.broken = false;
	int step = s.retry_ms ? s.retry_ms : RETRY_FIRST_MS;
	s.retry_ms = step < RETRY_MAX_MS / 2 ? step * 2 : RETRY_MAX_MS;
	return step / 2 + (int) (random_u32() % (uint32_t) (step / 2 + 1));
}

// The broker refused the session or the connection ended: "offline" only for
// a session that was online. What it had not acknowledged waits in the
// backlog for the next session.
void session_lost()
{
	if (s.state == MQTT_DISCONNECTED)
		return;	/* a refusal is followed by the connection's end */
	bool lasted = s.state == MQTT_CONNECTED && monotonic_ms() - s.connected_ms >= STABLE_MS;
	if (s.state == MQTT_CONNECTED)
		raise_hotplug("offline");
	s.state = MQTT_DISCONNECTED;
	s.unsubscribes_pending = 0;
	s.write_full_ms = 0;
	unwatch_socket();
	uloop_timeout_cancel(&s.more);
	backlog_session_lost();
	uloop_timeout_set(&s.timer, next_retry_ms(lasted));
}

// The broker broke the protocol: the session ends, and is not tried again
// at once.
void protocol_error(const char *what)
{
	s.protocol_errors++;
	s.broken = true;
	log_msg(0, "mqtt server %s broke the protocol (%s), reconnecting (%lu in all)", s.target,
		what, s.protocol_errors);
	session_lost();
}

// Ends the connection under the library, even inside one of its calls: its
// socket becomes one at its end, so that it reads no further byte.
void cut_connection()
{
	int pair[2];
	if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) < 0)
		return;
	close(pair[1]);
	dup3(pair[0], mosquitto_socket(s.client), O_CLOEXEC);
	close(pair[0]);
}

void protocol_error_cut(const char *what)
{
	protocol_error(what);
	cut_connection();
}

// False when the library must not read on: the broker's next packet is
// larger than we announced. The session ends.
bool packet_size_checked(bool boundary)
{
	if (packet_size_next(&s.sizes, mosquitto_socket(s.client), boundary) == PACKET_SIZE_OK)
		return true;
	protocol_error_cut("a packet larger than our maximum packet size");
	return false;
}

bool refused_mqtt5(int rc)
{
	return !s.mqtt311 && (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION ||
			      rc == CONNACK_REFUSED_PROTOCOL_VERSION);
}

// At a planned stop; again on a session that starts during it, which may
// have kept the filters from before.
void unsubscribe_reports()
{
	char filter[FLEET_FILTER_MAX];

	for (int i = 0; fleet_filter(i, filter, sizeof(filter)); i++)
		if (fleet_filter_is_report(i) &&
		    mosquitto_unsubscribe(s.client, nullptr, filter) == MOSQ_ERR_SUCCESS)
			s.unsubscribes_pending++;
}

void subscribe_all()
{
	char filter[FLEET_FILTER_MAX];

	for (int i = 0; fleet_filter(i, filter, sizeof(filter)); i++)
		if (!(s.reports_stopped && fleet_filter_is_report(i)))
			mosquitto_subscribe(s.client, nullptr, filter, 1);
	if (s.reports_stopped)
		unsubscribe_reports();
}

void on_connect(struct mosquitto *, void *, int rc)
{
	if (s.state == MQTT_DISCONNECTED)
		return;	/* more of a connection already ended */
	if (s.state == MQTT_CONNECTED) {
		protocol_error_cut("a second CONNACK");
		return;
	}
	if (refused_mqtt5(rc)) {
		log_msg(2, "mqtt server %s refuses MQTT 5, using 3.1.1", s.target);
		s.refused_mqtt5_ms[s.broker_index] = monotonic_ms();
		s.again_in_311 = true;
		s.retry_ms = 0;
		s.state = MQTT_DISCONNECTED;
		unwatch_socket();
		uloop_timeout_set(&s.timer, 0);
		return;
	}
	if (rc) {
		attempt_failure("connect to mqtt server error (%s: %s)", s.mqtt311 ?
				mosquitto_connack_string(rc) : mosquitto_reason_string(rc));
		session_lost();
		return;
	}

	s.attempt_failed = false;
	if (s.accepted_once)
		log_msg(4, "reconnect to mqtt server ok");
	s.accepted_once = true;
	/* after sessions that ended early, the way back is said once one lasts */
	if (s.short_sessions)
		log_msg(4, "connect to mqtt server ok, %s", s.target);
	else if (s.failed_attempts)
		failures_end("connect to mqtt server ok, %s, after %lu failed attempt(s)");
	else
		log_msg(2, "connect to mqtt server ok, %s", s.target);
	if (s.state != MQTT_CONNECTING)
		watch_socket();
	s.state = MQTT_CONNECTED;
	s.connected_ms = monotonic_ms();
	raise_hotplug("online");
	subscribe_all();
	fleet_session_started();
	send_backlog();
	uloop_timeout_set(&s.more, 0);	/* inside a callback the library only queues */
}

// The broker's DISCONNECT carries a reason code, 0x80 and up for a fault
// (such as a session taken over by another client with our id); anything
// lower is the library's result code.
const char *disconnect_reason(int rc)
{
	return rc >= 0x80 ? mosquitto_reason_string(rc) : reason(rc, errno);
}

// mqtt_stop's own disconnect: "stop quilac" said it; the session goes
// offline once, and nothing is tried again.
void stopped()
{
	if (s.state == MQTT_CONNECTED)
		raise_hotplug("offline");
	s.state = MQTT_DISCONNECTED;
	unwatch_socket();
	uloop_timeout_cancel(&s.more);
	uloop_timeout_cancel(&s.timer);
}

void on_disconnect(struct mosquitto *, void *, int rc, const mosquitto_property *)
{
	if (s.stopping) {
		stopped();
		return;
	}
	if (s.state == MQTT_DISCONNECTED)
		return;	/* ended here already */
	if (rc == MOSQ_ERR_KEEPALIVE && s.state == MQTT_CONNECTING) {
		char within[16];
		snprintf(within, sizeof(within), "%d s", KEEPALIVE_S);
		attempt_failure("no answer from the mqtt server %s within %s", within);
		session_lost();
		return;
	}
	const char *why = disconnect_reason(rc);
	if (s.state != MQTT_CONNECTED) {
		attempt_failure("disconnect from mqtt server, %s: %s", why);
	} else if (monotonic_ms() - s.connected_ms < STABLE_MS) {
		/* a session that ends early is a failed attempt, repeats summed up */
		s.short_sessions++;
		attempt_failure_at(1, "disconnect from mqtt server, %s: %s", why);
	} else {
		log_msg(2, "disconnect from mqtt server, %s: %s", s.target, why);
	}
	session_lost();
}

void on_subscribe(struct mosquitto *, void *, int mid, int count, const int *granted)
{
	log_msg(session_level(), "subscribed (mid: %d): %d", mid, count > 0 ? granted[0] : -1);
}

void on_unsubscribe(struct mosquitto *, void *, int mid)
{
	if (s.unsubscribes_pending > 0)
		s.unsubscribes_pending--;
	log_msg(session_level(), "unsubscribed (mid: %d)", mid);
}

void on_publish(struct mosquitto *, void *, int mid)
{
	backlog_ack(mid);
}

void on_message(struct mosquitto *mosq, void *user, const struct mosquitto_message *msg)
{
	const char *topic;
	if (fleet_on_message(msg, &topic))
		return;
	mosquitto_message real = *msg;
	real.topic = (char *) topic;
	api_on_message(mosq, user, &real);
}

// The library keeps a QoS 2 message until the broker releases it, without
// bound; we subscribe at QoS 1, so a broker that sends one breaks the
// protocol. Only the library's log tells of a message before its release.
bool qos2_received(const char *str)
{
	const char *p = strstr(str, " received PUBLISH (d");
	return p && strncmp(p + 21, ", q2,", 5) == 0;
}

void on_log(struct mosquitto *, void *, int level, const char *str)
{
	if (level == MOSQ_LOG_DEBUG && s.state != MQTT_DISCONNECTED && qos2_received(str)) {
		protocol_error_cut("a QoS 2 message on a QoS 1 subscription");
		return;
	}
	/* a packet has been read whole: the next one's header is at the socket's head */
	if (level == MOSQ_LOG_DEBUG && s.state != MQTT_DISCONNECTED && strstr(str, "eceived "))
		packet_size_checked(true);
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

// The CONNECT properties of version 5. The library has no asynchronous
// connect that takes properties, but mosquitto_connect_bind_v5() stores them
// before it looks at its other arguments, and mosquitto_connect_async()
// sends what is stored: given an invalid port, it stores them and stops.
void use_mqtt5()
{
	mosquitto_int_option(s.client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
	mosquitto_int_option(s.client, MOSQ_OPT_RECEIVE_MAXIMUM, RECEIVE_MAXIMUM);
	mosquitto_connect_bind_v5(s.client, s.broker, -1, KEEPALIVE_S, nullptr, s.connect_props);
}

bool make_connect_props()
{
	return (fleet_grouped() ||
		mosquitto_property_add_int32(&s.connect_props, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
					     SESSION_EXPIRY_S) == MOSQ_ERR_SUCCESS) &&
	       mosquitto_property_add_int32(&s.connect_props, MQTT_PROP_MAXIMUM_PACKET_SIZE,
					    MAX_PACKET_SIZE) == MOSQ_ERR_SUCCESS;
}

// Asks the library to connect to `host`; 0 once the connection is under
// way. The request goes out when the socket has connected, and the
// keep-alive bounds the wait for that.
int connect_to(const char *host)
{
	errno = 0;
	int rc = mosquitto_connect_async(s.client, host, s.port, KEEPALIVE_S);
	s.connect_errno = connection_error(errno) ? errno : 0;
	if (rc) {
		/* the same words at start and later: a repeat is a repeat */
		attempt_failure("connect to mqtt server, %s: %s", reason(rc, errno));
		return rc;
	}
	/* TLS: the socket holds what the library decrypts; the broker's
	   adherence to our maximum is all there is */
	packet_size_start(&s.sizes, MAX_PACKET_SIZE, credentials_tls());
	watch_socket();
	s.state = MQTT_CONNECTING;
	return 0;
}

// An attempt that never reached the broker: the next one after a wait.
void attempt_ended()
{
	s.state = MQTT_DISCONNECTED;
	uloop_timeout_set(&s.timer, next_retry_ms(false));
}

// With TLS the library checks the broker's certificate against the name it
// connects to, so it is given the name: the resolver has just answered it,
// and the router's resolver answers it again from its cache.
void resolved(const char *address, const char *error)
{
	s.resolving = false;
	if (!address) {
		attempt_failure("cannot resolve the mqtt server name, %s: %s", error);
		attempt_ended();
		return;
	}
	if (connect_to(credentials_tls() ? s.broker : address))
		attempt_ended();
}

// A new client, set up and asked to connect (or to resolve the broker's
// name first); its socket watched and the
// state connecting when the connection is under way (*rc 0, the result of
// mosquitto_connect_async()). False when no client could be made.
bool new_client(bool first, int *rc)
{
	s.client = mosquitto_new(s.client_id, fleet_grouped(), nullptr);
	if (!s.client) {
		log_new_failure(first ? "Error: Out of memory" : "Error: Out of memory (new mosquitto)");
		return false;
	}

	mosquitto_subscribe_callback_set(s.client, on_subscribe);
	mosquitto_unsubscribe_callback_set(s.client, on_unsubscribe);
	mosquitto_connect_callback_set(s.client, on_connect);
	mosquitto_message_callback_set(s.client, on_message);
	mosquitto_disconnect_v5_callback_set(s.client, on_disconnect);
	mosquitto_log_callback_set(s.client, on_log);
	mosquitto_publish_callback_set(s.client, on_publish);

	s.attempt_failed = false;
	log_msg(failing() ? 4 : 2, first ? "connect to mqtt server, %s" :
		"try reconnect to mqtt server, %s", s.target);
	/* a client without its TLS must not connect: the next attempt tries again */
	*rc = credentials_apply(s.client, s.password, s.broker);
	if (*rc) {
		const char *why = credentials_failure();
		attempt_failure("mqtt credentials or TLS not set, %s: %s", why ? why : mosquitto_strerror(*rc));
		return true;
	}
	char will[FLEET_FILTER_MAX];
	if (fleet_grouped() && fleet_member_topic(will, sizeof(will)))
		mosquitto_will_set(s.client, will, 0, nullptr, 1, true);
	int64_t refused = s.refused_mqtt5_ms[s.broker_index];
	s.mqtt311 = refused && monotonic_ms() - refused < MQTT5_RETRY_MS;
	if (!s.mqtt311)
		use_mqtt5();
	if (host_is_address(s.broker)) {
		*rc = connect_to(s.broker);
		return true;
	}
	*rc = 0;
	if (resolver_start(s.broker, resolved) < 0) {
		*rc = MOSQ_ERR_ERRNO;
		attempt_failure("cannot resolve the mqtt server name, %s: no resolver process: %s",
				strerror(errno));
		return true;
	}
	s.resolving = true;
	s.state = MQTT_CONNECTING;
	return true;
}

// Takes entry `i` of the broker list as the one in use.
void use_broker(int i)
{
	s.broker_index = i;
	s.broker_set = broker_split(s.brokers.entries[i], s.default_port, s.broker,
				    sizeof(s.broker), &s.port);
	set_target(s.broker, s.port);
}

// After a lost or refused session, or a failed attempt: the next broker.
void next_broker()
{
	if (s.brokers.count < 2)
		return;
	use_broker((s.broker_index + 1) % s.brokers.count);
	log_msg(failing() ? 4 : 2, "next mqtt server: %s\n", s.target);
}

void reconnect()
{
	int rc;

	mosquitto_destroy(s.client);
	if (!s.again_in_311)
		next_broker();
	s.again_in_311 = false;
	if (!new_client(false, &rc))
		return;	/* no timer: this was the last attempt */
	if (rc) {
		uloop_timeout_set(&s.timer, next_retry_ms(false));
		return;
	}
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
	if (s.resolving) {
		uloop_timeout_set(&s.timer, TICK_MS);
		return;
	}
	if (s.state == MQTT_CONNECTED && s.short_sessions &&
	    monotonic_ms() - s.connected_ms >= STABLE_MS)
		failures_end("connect to mqtt server ok, %s, after %lu failed attempt(s)");
	if (acks_overdue()) {
		log_msg(0, "no acknowledgement from the mqtt server %s for %d seconds, reconnecting\n",
			s.target, (int) (ACK_TIMEOUT_MS / 1000));
		session_lost();
		return;
	}
	if (s.write_full_ms && monotonic_ms() - s.write_full_ms >= WRITE_STALL_MS) {
		log_msg(0, "mqtt server %s has read nothing for %d seconds, reconnecting", s.target,
			(int) (WRITE_STALL_MS / 1000));
		s.broken = true;
		session_lost();
		return;
	}
	if (s.writable)
		flush();	/* before that, writing would only meet EAGAIN */
	mosquitto_loop_misc(s.client);
	uloop_timeout_set(&s.timer, TICK_MS);
}

int publish(const char *topic, const char *payload, int length, bool retain)
{
	if (!s.client)
		return -1;
	log_msg(4, "%s/%s", topic, payload);
	if (topic_invalid(topic)) {
		backlog_refused(topic);
		return MOSQ_ERR_INVAL;
	}
	if (!backlog_push(topic, payload, length, retain))
		return MQTT_BACKLOG_FULL;
	if (s.state == MQTT_CONNECTED)
		send_backlog();
	return MOSQ_ERR_SUCCESS;
}

} // namespace

int mqtt_start(const struct broker_list *brokers, int port, const char *client_id)
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
	if (port > 0)
		s.default_port = port;
	s.brokers = *brokers;
	use_broker(0);

	mosquitto_lib_init();
	if (!make_connect_props()) {
		log_msg(0, "Error: Out of memory (mqtt properties)");
		mosquitto_lib_cleanup();
		return -1;
	}
	log_msg(2, "info: use %s/%s as client id\n", s.client_id,
		credentials_from_file() ? "(password file)" : "(default password)");

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
	hotplug_stop(&hotplug_events);
	free(s.client_id);
	free(s.password);
	s.client_id = s.password = nullptr;

	for (log_repeat &r : s.failures)
		log_repeat_end(&r);
	if (s.client) {
		log_msg(2, "stop quilac");
		s.stopping = true;
		mosquitto_disconnect(s.client);
		mosquitto_destroy(s.client);
		s.client = nullptr;
	}
	resolver_cancel();
	mosquitto_property_free_all(&s.connect_props);
	drop_flush(&socket_full_log);
	mosquitto_lib_cleanup();
	backlog_clear();
}

int mqtt_publish(const char *topic, const char *payload, int length)
{
	return publish(topic, payload, length, false);
}

int mqtt_publish_retained(const char *topic, const char *payload, int length)
{
	return publish(topic, payload, length, true);
}

void mqtt_stop_reports(void)
{
	if (!fleet_grouped())
		return;	/* the broker keeps the session's reports for the next start */
	s.reports_stopped = true;
	if (s.state != MQTT_CONNECTED)
		return;
	unsubscribe_reports();
	uloop_timeout_set(&s.more, 0);	/* out at the next turn */
}

bool mqtt_reports_stopped(void)
{
	return s.unsubscribes_pending == 0;
}

bool mqtt_all_acknowledged(void)
{
	backlog_stats st;
	backlog_get_stats(&st);
	return st.messages == 0;
}

int mqtt_get_state(void)
{
	return s.state;
}

const char *mqtt_get_broker(void)
{
	return s.broker_set ? s.broker : nullptr;
}

int mqtt_get_port(void)
{
	return s.port;
}

bool mqtt_backlog_high(void)
{
	return backlog_high();
}

unsigned long mqtt_protocol_errors(void)
{
	return s.protocol_errors;
}
