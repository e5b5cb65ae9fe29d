// The discovery datagram: a 14-byte big-endian header and a Base64 payload.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>

constexpr uint32_t DISC_MAGIC = 0xFEDCBAFF;
constexpr uint8_t DISC_VERSION = 1;
constexpr uint8_t DISC_TYPE_REQUEST = 1;
constexpr uint8_t DISC_TYPE_ANNOUNCE = 2;
constexpr size_t DISC_HEADER_LEN = 14;
constexpr uint16_t DISC_PORT = 32200;
constexpr size_t DISC_MAX_DATAGRAM = 1024;	/* the most a receiver reads of one datagram */

// Configuration read by the announcement (set once at start by the daemon).
extern char *g_ifname;
extern char *g_proto;
extern int g_port;

uint32_t disc_crc32(const void *data, size_t len);

// Newly allocated NUL-terminated results; NULL when memory runs out.
char *disc_base64_encode(const char *text);
char *disc_base64_decode(const char *text);
// Whether `text` is Base64 exactly as the encoder writes it: whole groups of
// four alphabet characters, "=" only as the last group's padding, and the
// bits the padding leaves unused 0. The decoder takes anything; a receiver
// asks this first, so that one message has one text.
bool disc_base64_is_canonical(const char *text);

// With a nonce, the request carries it (the Base64 of {"nonce": ...}); old
// ACs look only at the type and answer it all the same.
ssize_t disc_send_request(int fd, const struct sockaddr *to, socklen_t tolen,
			  const char *nonce = nullptr);
// With a key set, the announcement carries "auth" over its values and `nonce`
// (the one the request brought; null for none).
ssize_t disc_send_announce(int fd, const struct sockaddr *to, socklen_t tolen,
			   const char *nonce = nullptr);
// The length of the longest announcement this configuration can send
// (SIZE_MAX when it cannot be built).
size_t disc_announce_max_len(void);

// Accepts or rejects `len` received bytes: version 1, a length that is the
// payload's, its CRC, no NUL in it. On acceptance *type is the type byte and
// *payload points at the text after the header (the whole payload; the
// caller keeps the data NUL-terminated).
bool disc_validate(const uint8_t *data, size_t len, uint8_t *type, const char **payload);
