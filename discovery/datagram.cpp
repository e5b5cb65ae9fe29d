// Codecs, builders and validation of the discovery datagram. Multi-byte
// header fields are unaligned and big-endian: they are always copied byte-wise.
#include "datagram.h"
#include "auth.h"

#include <json-c/json.h>

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <array>

namespace {

constexpr std::array<uint32_t, 256> make_crc_table()
{
	std::array<uint32_t, 256> t{};
	for (uint32_t i = 0; i < 256; i++) {
		uint32_t c = i;
		for (int k = 0; k < 8; k++)
			c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
		t[i] = c;
	}
	return t;
}

constexpr auto CRC_TABLE = make_crc_table();
static_assert(CRC_TABLE[1] == 0x77073096 && CRC_TABLE[255] == 0x2D02EF8D);

constexpr char B64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Values of the codes 0..122; everything else, '=' included, counts as 0.
constexpr std::array<uint8_t, 123> make_decode_table()
{
	std::array<uint8_t, 123> t{};
	for (uint8_t i = 0; i < 64; i++)
		t[(unsigned char) B64_ALPHABET[i]] = i;
	return t;
}

constexpr auto B64_VALUES = make_decode_table();

uint8_t b64_value(unsigned char c)
{
	return c < B64_VALUES.size() ? B64_VALUES[c] : 0;
}

bool is_b64_char(unsigned char c)
{
	return b64_value(c) || c == 'A';
}

void put_be32(uint8_t *p, uint32_t v)
{
	p[0] = (uint8_t) (v >> 24);
	p[1] = (uint8_t) (v >> 16);
	p[2] = (uint8_t) (v >> 8);
	p[3] = (uint8_t) v;
}

uint32_t get_be32(const uint8_t *p)
{
	return (uint32_t) p[0] << 24 | (uint32_t) p[1] << 16 | (uint32_t) p[2] << 8 | p[3];
}

void put_header(uint8_t *buf, uint8_t type, uint32_t len, uint32_t crc)
{
	put_be32(buf, DISC_MAGIC);
	buf[4] = DISC_VERSION;
	buf[5] = type;
	put_be32(buf + 6, len);
	put_be32(buf + 10, crc);
}

struct iface_addrs {
	char mac[18];
	char ip[INET_ADDRSTRLEN];
};

// What the last query of the interface met (an errno, 0: nothing): an
// interface without an address would otherwise be reported for every
// request, so only a change is said.
int interface_fault;

void interface_failed(const char *what, int err)
{
	if (err == interface_fault)
		return;
	interface_fault = err;
	fprintf(stderr, "%s interface %s: %s\n", what, g_ifname, strerror(err));
}

void interface_ok()
{
	if (interface_fault)
		printf("interface %s has its addresses again\n", g_ifname);
	interface_fault = 0;
}

// Queries the configured interface afresh; false (reported) on failure.
bool query_interface(iface_addrs *out)
{
	int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd < 0) {
		interface_failed("socket error!", errno);
		return false;
	}

	ifreq ifr;
	memset(&ifr, 0, sizeof(ifr));
	snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", g_ifname);

	bool ok = false;
	if (ioctl(fd, SIOCGIFHWADDR, &ifr) < 0) {
		interface_failed("get mac addr failed!", errno);
	} else {
		const unsigned char *hw = (const unsigned char *) ifr.ifr_hwaddr.sa_data;
		snprintf(out->mac, sizeof(out->mac), "%02x:%02x:%02x:%02x:%02x:%02x",
			 hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
		if (ioctl(fd, SIOCGIFADDR, &ifr) < 0) {
			interface_failed("get ip addr failed!", errno);
		} else {
			const sockaddr_in *sin = (const sockaddr_in *) &ifr.ifr_addr;
			ok = inet_ntop(AF_INET, &sin->sin_addr, out->ip, sizeof(out->ip)) != nullptr;
		}
	}
	close(fd);
	if (ok)
		interface_ok();
	return ok;
}

// The announced values; with a key, also the "auth" member binding them to
// the nonce (empty when no request asked for one).
json_object *announcement_json(const iface_addrs &a, const char *nonce)
{
	if (!nonce)
		nonce = "";
	json_object *obj = json_object_new_object();
	if (!obj)
		return nullptr;
	json_object_object_add(obj, "ip", json_object_new_string(a.ip));
	json_object_object_add(obj, "mac", json_object_new_string(a.mac));
	if (g_proto)
		json_object_object_add(obj, "proto", json_object_new_string(g_proto));
	if (g_port >= 1)
		json_object_object_add(obj, "port", json_object_new_int(g_port));
	if (!disc_auth_enabled())
		return obj;

	char hmac[DISC_HMAC_LEN + 1];
	json_object *auth = json_object_new_object();
	disc_values v = { a.ip, a.mac, g_proto, g_port };
	if (!auth || disc_auth_sign(v, nonce, hmac) < 0) {
		json_object_put(auth);
		json_object_put(obj);
		return nullptr;
	}
	json_object_object_add(auth, "nonce", json_object_new_string(nonce));
	json_object_object_add(auth, "hmac", json_object_new_string(hmac));
	json_object_object_add(obj, "auth", auth);
	return obj;
}

// Base64 of the object's JSON text behind a header, in a buffer the caller
// frees; 0 on success. A null object (one that could not be made) fails here,
// so callers need not test for it.
int build_datagram(json_object *obj, uint8_t type, uint8_t **out, size_t *out_len)
{
	const char *text = obj ? json_object_to_json_string(obj) : nullptr;
	char *b64 = text ? disc_base64_encode(text) : nullptr;
	size_t n = b64 ? strlen(b64) : 0;
	uint8_t *buf = b64 ? (uint8_t *) calloc(1, n + DISC_HEADER_LEN + 1) : nullptr;

	if (buf) {
		memcpy(buf + DISC_HEADER_LEN, b64, n);
		put_header(buf, type, (uint32_t) n, disc_crc32(buf + DISC_HEADER_LEN, n));
		*out = buf;
		*out_len = n + DISC_HEADER_LEN;
	}
	free(b64);
	return buf ? 0 : -1;
}

// Sends the object as a datagram of the type and releases it, sent or not.
ssize_t send_json(int fd, const struct sockaddr *to, socklen_t tolen, uint8_t type, json_object *obj)
{
	uint8_t *buf;
	size_t len;
	ssize_t ret = -1;

	if (build_datagram(obj, type, &buf, &len) == 0) {
		ret = sendto(fd, buf, len, 0, to, tolen);
		free(buf);
	}
	json_object_put(obj);
	return ret;
}

} // namespace

uint32_t disc_crc32(const void *data, size_t len)
{
	const uint8_t *p = (const uint8_t *) data;
	uint32_t crc = 0xFFFFFFFFu;

	for (size_t i = 0; i < len; i++)
		crc = CRC_TABLE[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
	return ~crc;
}

char *disc_base64_encode(const char *text)
{
	const unsigned char *in = (const unsigned char *) text;
	size_t n = strlen(text);
	size_t out_len = 4 * ((n + 2) / 3);
	char *out = (char *) malloc(out_len + 1);
	if (!out)
		return nullptr;

	char *o = out;
	size_t i = 0;
	for (; i + 3 <= n; i += 3) {
		*o++ = B64_ALPHABET[in[i] >> 2];
		*o++ = B64_ALPHABET[((in[i] & 3) << 4) | (in[i + 1] >> 4)];
		*o++ = B64_ALPHABET[((in[i + 1] & 15) << 2) | (in[i + 2] >> 6)];
		*o++ = B64_ALPHABET[in[i + 2] & 63];
	}
	if (n - i == 1) {
		*o++ = B64_ALPHABET[in[i] >> 2];
		*o++ = B64_ALPHABET[(in[i] & 3) << 4];
		*o++ = '=';
		*o++ = '=';
	} else if (n - i == 2) {
		*o++ = B64_ALPHABET[in[i] >> 2];
		*o++ = B64_ALPHABET[((in[i] & 3) << 4) | (in[i + 1] >> 4)];
		*o++ = B64_ALPHABET[(in[i + 1] & 15) << 2];
		*o++ = '=';
	}
	*o = '\0';
	return out;
}

char *disc_base64_decode(const char *text)
{
	size_t len = strlen(text);
	long out_len = (long) (len / 4) * 3;

	if (strstr(text, "=="))
		out_len -= 2;
	else if (strchr(text, '='))
		out_len -= 1;
	if (out_len < 0)
		out_len = 0;

	char *out = (char *) malloc((size_t) out_len + 1);
	if (!out)
		return nullptr;

	size_t o = 0;
	const unsigned char *in = (const unsigned char *) text;
	for (size_t i = 0; i + 4 <= len && o < (size_t) out_len; i += 4) {
		uint8_t s0 = b64_value(in[i]), s1 = b64_value(in[i + 1]);
		uint8_t s2 = b64_value(in[i + 2]), s3 = b64_value(in[i + 3]);
		uint8_t bytes[3] = { (uint8_t) (s0 << 2 | s1 >> 4), (uint8_t) (s1 << 4 | s2 >> 2),
				     (uint8_t) (s2 << 6 | s3) };
		for (int k = 0; k < 3 && o < (size_t) out_len; k++)
			out[o++] = (char) bytes[k];
	}
	out[out_len] = '\0';
	return out;
}

bool disc_base64_is_canonical(const char *text)
{
	size_t len = strlen(text);
	if (len % 4)
		return false;
	size_t pad = len && text[len - 1] == '=' ? (text[len - 2] == '=' ? 2 : 1) : 0;
	for (size_t i = 0; i < len - pad; i++)
		if (!is_b64_char((unsigned char) text[i]))
			return false;
	/* The bits of the last character that the padding leaves unused are 0. */
	if (pad == 2)
		return !(b64_value((unsigned char) text[len - 3]) & 15);
	if (pad == 1)
		return !(b64_value((unsigned char) text[len - 2]) & 3);
	return true;
}

ssize_t disc_send_request(int fd, const struct sockaddr *to, socklen_t tolen, const char *nonce)
{
	if (nonce) {
		json_object *obj = json_object_new_object();
		if (obj)
			json_object_object_add(obj, "nonce", json_object_new_string(nonce));
		return send_json(fd, to, tolen, DISC_TYPE_REQUEST, obj);
	}

	uint8_t buf[DISC_HEADER_LEN] = {};
	put_header(buf, DISC_TYPE_REQUEST, 0, 0);
	return sendto(fd, buf, sizeof(buf), 0, to, tolen);
}

ssize_t disc_send_announce(int fd, const struct sockaddr *to, socklen_t tolen, const char *nonce)
{
	iface_addrs addrs;
	if (!query_interface(&addrs))
		return -1;
	return send_json(fd, to, tolen, DISC_TYPE_ANNOUNCE, announcement_json(addrs, nonce));
}

size_t disc_announce_max_len(void)
{
	static const iface_addrs longest = { "ff:ff:ff:ff:ff:ff", "255.255.255.255" };
	char nonce[DISC_NONCE_LEN + 1];
	memset(nonce, 'f', DISC_NONCE_LEN);
	nonce[DISC_NONCE_LEN] = '\0';

	uint8_t *buf;
	size_t len = SIZE_MAX;
	json_object *obj = announcement_json(longest, nonce);
	if (build_datagram(obj, DISC_TYPE_ANNOUNCE, &buf, &len) == 0)
		free(buf);
	json_object_put(obj);
	return len;
}

bool disc_validate(const uint8_t *data, size_t len, uint8_t *type, const char **payload)
{
	if (len < DISC_HEADER_LEN || get_be32(data) != DISC_MAGIC || data[4] != DISC_VERSION)
		return false;

	/* The length is the payload's, and the CRC covers it (0 for none): a
	 * datagram that is not what it declares is refused, not half-read. The
	 * text must not end before the payload does, at a NUL. */
	size_t text_len = len - DISC_HEADER_LEN;
	const uint8_t *text = data + DISC_HEADER_LEN;
	if (get_be32(data + 6) != text_len || disc_crc32(text, text_len) != get_be32(data + 10) ||
	    memchr(text, '\0', text_len))
		return false;
	*type = data[5];
	*payload = (const char *) text;
	return true;
}
