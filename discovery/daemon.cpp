// quildis at work: an AC answers requests and announces itself; an AP asks
// until it hears an AC and reports it to hotplug, and again whenever the
// announced values change.
#include "daemon.h"
#include "auth.h"
#include "bus.h"
#include "clock.h"
#include "controllers.h"
#include "datagram.h"
#include "hotplug.h"
#include "json_ptr.h"
#include "process_group.h"
#include "rate_limit.h"
#include "strict_json.h"

#include <libubus.h>
#include <json-c/json.h>

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

char *g_ifname;
char *g_proto;
int g_port;
int g_quildis_mode = QUILDIS_AC;
struct ac_profile g_ac_profile;
int g_request_status;
struct uloop_fd server_fd;
char g_request_nonce[DISC_NONCE_LEN + 1];
int g_hotplug_limit_s = DISC_HOTPLUG_LIMIT_S;
struct controller_list g_controllers;

namespace {

constexpr int FIRST_REQUEST_MS = 5000;
constexpr int SEARCHING_INTERVAL_MS = 5000;
constexpr int FOUND_INTERVAL_MS = 30000;
constexpr size_t BIND_NAME_SIZE = 32;		/* SO_BINDTODEVICE gets the name zero-filled to this */
constexpr size_t PROTO_NAME_MAX = 31;
constexpr int64_t ASK_AGAIN_MS = 1000;		/* unasked announcements make a keyed AP ask, at most this often */

uloop_timeout request_timer;
int64_t last_request_ms = -ASK_AGAIN_MS;

/* ---- checks on what an unauthenticated broadcast may hand to hotplug ---- */

// The interface's address and mask (network byte order), asked afresh.
bool lan_subnet(uint32_t *addr, uint32_t *mask)
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return false;
	ifreq ifr;
	memset(&ifr, 0, sizeof(ifr));
	snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", g_ifname);
	bool ok = ioctl(fd, SIOCGIFADDR, &ifr) == 0;
	if (ok)
		*addr = ((const sockaddr_in *) &ifr.ifr_addr)->sin_addr.s_addr;
	ok = ok && ioctl(fd, SIOCGIFNETMASK, &ifr) == 0;
	if (ok)
		*mask = ((const sockaddr_in *) &ifr.ifr_netmask)->sin_addr.s_addr;
	close(fd);
	return ok;
}

// The broadcast address of our LAN, from the interface's address and mask
// (not its broadcast setting, which may be unset); none on a /31 or /32.
bool lan_broadcast(in_addr *out)
{
	uint32_t addr, mask;
	if (!lan_subnet(&addr, &mask) || (ntohl(mask) & 2))
		return false;
	out->s_addr = addr | ~mask;
	return true;
}

bool on_lan(uint32_t a)
{
	uint32_t addr, mask;
	return lan_subnet(&addr, &mask) && (a & mask) == (addr & mask);
}

// An address an AC can have: a unicast host, and not our LAN's broadcast.
bool is_ac_address(const char *s)
{
	in_addr a, brd;
	return disc_is_host_address(s, &a) && !(lan_broadcast(&brd) && brd.s_addr == a.s_addr);
}

bool is_mac(const char *s)
{
	if (strlen(s) != 17)
		return false;
	for (int i = 0; i < 17; i++) {
		bool colon = i % 3 == 2;
		if (colon ? s[i] != ':' : !isxdigit((unsigned char) s[i]))
			return false;
	}
	return true;
}

// A short protocol name: letters, digits and "._+-", starting with a letter
// or digit, nothing a shell, a terminal or a command line would read as
// something else ("-rf", "..").
bool is_proto_name(const char *s)
{
	size_t n = strlen(s);
	if (n < 1 || n > PROTO_NAME_MAX || !isalnum((unsigned char) s[0]))
		return false;
	for (size_t i = 0; i < n; i++) {
		unsigned char c = (unsigned char) s[i];
		if (!isalnum(c) && !strchr("._+-", c))
			return false;
	}
	return true;
}

// A port is a JSON integer 1..65535: no text, no fraction, nothing wrapped.
bool get_port(json_object *j, int *port)
{
	if (!json_object_is_type(j, json_type_int))
		return false;
	int64_t v = json_object_get_int64(j);
	if (v < 1 || v > 65535)
		return false;
	*port = (int) v;
	return true;
}

// A string member without a NUL inside: C code past this point would see
// only its first part.
const char *get_text(json_object *j)
{
	if (!json_object_is_type(j, json_type_string))
		return nullptr;
	const char *s = json_object_get_string(j);
	return strlen(s) == (size_t) json_object_get_string_len(j) ? s : nullptr;
}

bool get_member(json_object *obj, const char *key, json_object **out)
{
	return json_object_object_get_ex(obj, key, out) && *out;	/* JSON null counts as absent */
}

void copy_values(ac_profile *dst, const char *mac, const char *ip, const char *proto, int port)
{
	snprintf(dst->ip, sizeof(dst->ip), "%s", ip);
	snprintf(dst->mac, sizeof(dst->mac), "%s", mac);
	snprintf(dst->proto, sizeof(dst->proto), "%s", proto);
	dst->port = port;
}

/* The AP's current controller (g_ac_profile) is the values of the last event
 * it posted. An announcement equal to them posts nothing; any other becomes
 * the current controller and posts its event, which runs in the queue's
 * order (common/hotplug.h): a flood costs one process at a time, at most one
 * per hold-down, and the scripts end up seeing the newest values. */
void log_hotplug(const char *line)
{
	printf("%s\n", line);
}

// The event is lost: the next answer with these values tries again.
void hotplug_lost(hotplug_queue *)
{
	printf("hotplug fork failed!\n");
	memset(&g_ac_profile, 0, sizeof(g_ac_profile));
}

hotplug_queue events = { .name = "quildis", .time_limit_s = 0, .log = log_hotplug, .lost = hotplug_lost };

bool same_values(const ac_profile &a, const ac_profile &b)
{
	return !strcmp(a.mac, b.mac) && !strcmp(a.ip, b.ip) && !strcmp(a.proto, b.proto) &&
	       a.port == b.port;
}

void take_announcement(const ac_profile &v)
{
	if (g_request_status && same_values(v, g_ac_profile))
		return;
	g_ac_profile = v;
	g_request_status = 1;
	run_hotplug(v.mac, v.ip, v.proto, v.port);
}

// The number of bytes the decoder makes of `payload`: whole groups of four
// characters, less the padding ("=") of the last one.
size_t decoded_size(const char *payload)
{
	size_t len = strlen(payload);
	size_t pad = strstr(payload, "==") ? 2 : strchr(payload, '=') ? 1 : 0;
	return len / 4 * 3 > pad ? len / 4 * 3 - pad : 0;
}

// The JSON object a datagram's Base64 payload carries, if any. Every byte of
// the payload counts: a NUL among the decoded bytes would hide what follows
// it from the JSON check.
json_ptr parse_payload(const char *payload)
{
	if (!disc_base64_is_canonical(payload))
		return nullptr;
	char *text = disc_base64_decode(payload);
	if (!text)
		return nullptr;
	json_ptr obj(strlen(text) == decoded_size(payload) ? strict_json_parse(text) : nullptr);
	free(text);
	return obj;
}

// With a key, only an answer to our own latest request counts, and only the
// first one: a second controller's answer to the same request, played back
// in turn with the first, would otherwise move the AP back and forth (an
// event each time) until it asks again. A verified announcement that no
// request asked for (an AC starting, or "send") may be a recording played
// back: it only makes us ask, at most once a second.
bool authentic(json_object *obj, const disc_values &v)
{
	json_object *auth, *jnonce, *jhmac;
	if (!get_member(obj, "auth", &auth) || !get_member(auth, "nonce", &jnonce) ||
	    !get_member(auth, "hmac", &jhmac))
		return false;
	const char *nonce = get_text(jnonce);
	const char *hmac = get_text(jhmac);
	if (!nonce || !hmac || !disc_auth_verify(v, nonce, hmac))
		return false;
	if (!*nonce) {
		if (monotonic_ms() - last_request_ms >= ASK_AGAIN_MS)
			broadcast_request();
		return false;
	}
	if (!g_request_nonce[0] || strcmp(nonce, g_request_nonce))
		return false;
	g_request_nonce[0] = '\0';
	return true;
}

void handle_announcement(const char *payload)
{
	json_ptr obj = parse_payload(payload);
	json_object *jmac, *jip, *jproto, *jport;
	if (!obj || !get_member(obj.get(), "mac", &jmac) || !get_member(obj.get(), "ip", &jip) ||
	    !get_member(obj.get(), "proto", &jproto) || !get_member(obj.get(), "port", &jport))
		return;

	const char *mac = get_text(jmac);
	const char *ip = get_text(jip);
	const char *proto = get_text(jproto);
	int port;
	/* Values that would reach root's hotplug scripts must be what they claim. */
	if (!mac || !ip || !proto || !is_mac(mac) || !is_ac_address(ip) || !is_proto_name(proto) ||
	    !get_port(jport, &port))
		return;
	if (disc_auth_enabled() && !authentic(obj.get(), { ip, mac, proto, port }))
		return;

	ac_profile v = {};
	copy_values(&v, mac, ip, proto, port);
	for (char *c = v.mac; *c; c++)
		*c = (char) tolower((unsigned char) *c);	/* "AA:..." is no other AC than "aa:..." */
	take_announcement(v);
}

// The nonce a keyed AC echoes: the one the request carries, if well-formed.
const char *request_nonce(const char *payload, char out[DISC_NONCE_LEN + 1])
{
	if (!disc_auth_enabled() || !*payload)
		return nullptr;
	json_ptr obj = parse_payload(payload);
	json_object *jnonce;
	if (!obj || !get_member(obj.get(), "nonce", &jnonce))
		return nullptr;
	const char *nonce = get_text(jnonce);
	if (!nonce || !disc_auth_is_nonce(nonce))
		return nullptr;
	memcpy(out, nonce, DISC_NONCE_LEN + 1);
	return out;
}

// Counts the request against its source's and the total rate.
rate_answer how_to_answer(const sockaddr *src, socklen_t srclen)
{
	uint32_t addr = 0;
	if (src && srclen >= sizeof(sockaddr_in) && src->sa_family == AF_INET)
		addr = ((const sockaddr_in *) src)->sin_addr.s_addr;
	return rate_limit_answer(addr, monotonic_ms(), addr && on_lan(addr));
}

void set_broadcast(int fd, int on)
{
	setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof(on));
}

sockaddr_in broadcast_address()
{
	sockaddr_in to = {};
	to.sin_family = AF_INET;
	to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
	to.sin_port = htons(DISC_PORT);
	return to;
}

ssize_t announce_to_lan(int fd, const char *nonce)
{
	sockaddr_in to = broadcast_address();
	set_broadcast(fd, 1);
	ssize_t sent = disc_send_announce(fd, (sockaddr *) &to, sizeof(to), nonce);
	set_broadcast(fd, 0);
	return sent;
}

void request_timer_cb(uloop_timeout *t)
{
	broadcast_request();
	uloop_timeout_set(t, g_request_status ? FOUND_INTERVAL_MS : SEARCHING_INTERVAL_MS);
}

int send_method_cb(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
	broadcast_announce();
	return UBUS_STATUS_OK;
}

int request_method_cb(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
	broadcast_request();
	return UBUS_STATUS_OK;
}

blob_buf stats_buf;

int stats_method_cb(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
	blob_buf_init(&stats_buf, 0);
	blobmsg_add_u64(&stats_buf, "answered", g_rate_stats.answered);
	blobmsg_add_u64(&stats_buf, "broadcast", g_rate_stats.broadcast);
	blobmsg_add_u64(&stats_buf, "limited", g_rate_stats.limited);
	ubus_send_reply(ctx, req, stats_buf.head);
	return UBUS_STATUS_OK;
}

const ubus_method quildis_methods[] = {
	UBUS_METHOD_NOARG("send", send_method_cb),
	UBUS_METHOD_NOARG("request", request_method_cb),
	UBUS_METHOD_NOARG("stats", stats_method_cb),
};

ubus_object_type quildis_object_type = UBUS_OBJECT_TYPE("quildis", quildis_methods);

ubus_object quildis_object = BUS_OBJECT(quildis_object_type);

bus_conn quildis_bus = { .object = &quildis_object, .log = vprintf };

} // namespace

bool disc_is_proto_name(const char *s)
{
	return is_proto_name(s);
}

int open_server_socket(const char *ifname)
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		fprintf(stderr, "socket error! %s\n", strerror(errno));
		return -1;
	}

	char name[BIND_NAME_SIZE] = {};
	snprintf(name, sizeof(name), "%s", ifname);
	if (setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, sizeof(name)) < 0) {
		fprintf(stderr, "SO_BINDTODEVICE failed! interface %s%s: %s\n", ifname,
			errno == ENODEV ? " missing" : "", strerror(errno));
		close(fd);
		return -1;
	}

	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_ANY);
	addr.sin_port = htons(DISC_PORT);
	if (bind(fd, (sockaddr *) &addr, sizeof(addr)) < 0) {
		fprintf(stderr, "bind error! interface %s, UDP port %d: %s\n", ifname, DISC_PORT,
			strerror(errno));
		close(fd);
		return -1;
	}

	fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
	return fd;
}

void on_server_readable(struct uloop_fd *u, unsigned int events)
{
	if (!(events & ULOOP_READ))
		return;

	/* One byte more than a datagram may bring: the text always ends in a NUL. */
	uint8_t buf[DISC_MAX_DATAGRAM + 1] = {};
	sockaddr_storage src;
	socklen_t srclen = sizeof(src);
	ssize_t n = recvfrom(u->fd, buf, DISC_MAX_DATAGRAM, 0, (sockaddr *) &src, &srclen);
	if (n <= 0)
		return;
	handle_datagram(buf, (size_t) n, u->fd, (sockaddr *) &src, srclen);
}

int handle_datagram(const uint8_t *buf, size_t count, int fd,
		    const struct sockaddr *src, socklen_t srclen)
{
	uint8_t type;
	const char *payload;

	if (!disc_validate(buf, count, &type, &payload))
		return -1;

	if (g_quildis_mode == QUILDIS_AC) {
		if (type != DISC_TYPE_REQUEST)
			return 0;
		rate_answer how = how_to_answer(src, srclen);
		if (how == rate_answer::NONE)
			return 0;
		char nonce[DISC_NONCE_LEN + 1];
		const char *asked = request_nonce(payload, nonce);
		if (how == rate_answer::BROADCAST)
			return (int) announce_to_lan(fd, asked);
		return (int) disc_send_announce(fd, src, srclen, asked);
	}
	if (type == DISC_TYPE_ANNOUNCE)
		handle_announcement(payload);
	return 0;
}

void run_hotplug(const char *mac, const char *ip, const char *proto, int port)
{
	char port_text[16];
	snprintf(port_text, sizeof(port_text), "%d", port);
	const child_var vars[] = { { "MAC", mac }, { "IP", ip }, { "PORT", port_text }, { "PROTO", proto } };

	events.time_limit_s = g_hotplug_limit_s;
	hotplug_post(&events, vars);
}

void broadcast_announce(void)
{
	announce_to_lan(server_fd.fd, nullptr);
}

void broadcast_request(void)
{
	/* Each request asks with a fresh nonce; an answer to an older one is stale. */
	const char *nonce = nullptr;
	if (disc_auth_enabled()) {
		if (disc_auth_new_nonce(g_request_nonce) < 0)
			g_request_nonce[0] = '\0';
		nonce = g_request_nonce;
	}
	last_request_ms = monotonic_ms();

	sockaddr_in to = broadcast_address();
	set_broadcast(server_fd.fd, 1);
	disc_send_request(server_fd.fd, (sockaddr *) &to, sizeof(to), nonce);
	set_broadcast(server_fd.fd, 0);

	/* The same request, by unicast, to controllers the broadcast may not reach;
	 * the DHCP client's file is an AP's, an AC only asks its -a addresses. */
	controller_list acs = g_controllers;
	if (g_quildis_mode == QUILDIS_AP)
		controllers_read(&acs, DISC_DHCP_CONTROLLERS);
	for (size_t i = 0; i < acs.count; i++) {
		to.sin_addr = acs.addr[i];
		disc_send_request(server_fd.fd, (sockaddr *) &to, sizeof(to), nonce);
	}
}

int ubus_setup(void)
{
	request_timer.cb = request_timer_cb;

	int ret = bus_open(&quildis_bus);
	if (!quildis_bus.connected)
		return -1;	/* no start action without the bus */
	if (ret)
		printf("Failed to add quildis: %s\n", ubus_strerror(ret));

	if (g_quildis_mode == QUILDIS_AC)
		broadcast_announce();
	else
		uloop_timeout_set(&request_timer, FIRST_REQUEST_MS);
	return ret;
}

void ubus_teardown(void)
{
	hotplug_stop(&events);
	group_watch_stop_all();
	bus_close(&quildis_bus);
	blob_buf_free(&stats_buf);
}
