// Authenticated announcements: a shared secret, an HMAC-SHA-256 over the
// announced values and a nonce, and the nonces an AP puts into its requests.
#pragma once

#include <stddef.h>

constexpr size_t DISC_KEY_MAX = 1024;
constexpr size_t DISC_NONCE_BYTES = 16;
constexpr size_t DISC_NONCE_LEN = 2 * DISC_NONCE_BYTES;	/* lower-case hex */
constexpr size_t DISC_HMAC_LEN = 64;			/* lower-case hex of 32 bytes */

// The four values an announcement carries; a null or empty proto and a port
// below 1 stand for absent ones (they sign as the empty text).
struct disc_values {
	const char *ip;
	const char *mac;
	const char *proto;
	int port;
};

// Reads the secret from `path`; on failure says why on standard error and
// returns -1 (no key is set then).
int disc_auth_load_key(const char *path);
// Sets the secret directly (tests, fuzzing); len 0, or more than DISC_KEY_MAX,
// switches authentication off and wipes the old secret.
void disc_auth_set_key(const void *key, size_t len);
bool disc_auth_enabled(void);

// The MAC of the values and the nonce, as DISC_HMAC_LEN hex digits and a NUL.
int disc_auth_sign(const disc_values &v, const char *nonce, char out[DISC_HMAC_LEN + 1]);
// Whether `hmac` is the MAC of the values and the nonce (compared in constant time).
bool disc_auth_verify(const disc_values &v, const char *nonce, const char *hmac);

// A fresh random nonce as DISC_NONCE_LEN hex digits and a NUL.
int disc_auth_new_nonce(char out[DISC_NONCE_LEN + 1]);
// Exactly DISC_NONCE_LEN lower-case hex digits.
bool disc_auth_is_nonce(const char *s);
