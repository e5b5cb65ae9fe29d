// Authenticated announcements. The MAC is HMAC-SHA-256 (mbedTLS) keyed with
// the shared secret (the key file's bytes as they stand, without the line ends
// at its end), over the canonical text
//   "quildis-auth-1" LF ip LF mac LF proto LF port LF nonce
// where port is decimal without sign or leading zeros, and an absent proto
// or port is the empty text. The values an AP accepts hold no LF and the nonce
// comes last, so the text is never ambiguous.
#include "auth.h"
#include "secret_file.h"

extern "C" {	/* some mbedTLS releases leave constant_time.h without C linkage */
#include <mbedtls/constant_time.h>
}
#include <mbedtls/md.h>
#include <mbedtls/platform_util.h>

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

constexpr char AUTH_LABEL[] = "quildis-auth-1";
constexpr size_t HMAC_BYTES = DISC_HMAC_LEN / 2;

uint8_t key_bytes[DISC_KEY_MAX];
size_t key_len;

struct md_holder {
	mbedtls_md_context_t ctx;
	md_holder() { mbedtls_md_init(&ctx); }
	~md_holder() { mbedtls_md_free(&ctx); }
};

void to_hex(const uint8_t *in, size_t n, char *out)
{
	static const char digits[] = "0123456789abcdef";
	for (size_t i = 0; i < n; i++) {
		out[2 * i] = digits[in[i] >> 4];
		out[2 * i + 1] = digits[in[i] & 15];
	}
	out[2 * n] = '\0';
}

bool random_bytes(uint8_t *buf, size_t n)
{
	/* Never block the loop waiting for entropy at boot: urandom is good enough
	 * for a nonce that only has to be unpredictable. */
	if (getrandom(buf, n, GRND_NONBLOCK) == (ssize_t) n)
		return true;
	int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	bool ok = read_up_to(fd, buf, n) == (ssize_t) n;
	close(fd);
	return ok;
}

} // namespace

int disc_auth_load_key(const char *path)
{
	uint8_t buf[DISC_KEY_MAX];
	ssize_t n = secret_file_read("quildis: key file", path, buf, sizeof(buf), false);
	if (n < 0)
		return -1;
	disc_auth_set_key(buf, (size_t) n);
	secret_wipe(buf, sizeof(buf));
	return 0;
}

void disc_auth_set_key(const void *key, size_t len)
{
	mbedtls_platform_zeroize(key_bytes, sizeof(key_bytes));
	key_len = len <= DISC_KEY_MAX ? len : 0;
	if (key_len)
		memcpy(key_bytes, key, key_len);
}

bool disc_auth_enabled(void)
{
	return key_len > 0;
}

int disc_auth_sign(const disc_values &v, const char *nonce, char out[DISC_HMAC_LEN + 1])
{
	char port[12] = "";
	if (v.port >= 1)
		snprintf(port, sizeof(port), "%d", v.port);
	const char *parts[] = { AUTH_LABEL, v.ip, v.mac, v.proto ? v.proto : "", port, nonce };

	md_holder md;
	if (mbedtls_md_setup(&md.ctx, mbedtls_md_info_from_type(MBEDTLS_MD_SHA256), 1) ||
	    mbedtls_md_hmac_starts(&md.ctx, key_bytes, key_len))
		return -1;
	for (size_t i = 0; i < sizeof(parts) / sizeof(parts[0]); i++) {
		if (i && mbedtls_md_hmac_update(&md.ctx, (const uint8_t *) "\n", 1))
			return -1;
		if (mbedtls_md_hmac_update(&md.ctx, (const uint8_t *) parts[i], strlen(parts[i])))
			return -1;
	}
	uint8_t mac[HMAC_BYTES];
	if (mbedtls_md_hmac_finish(&md.ctx, mac))
		return -1;
	to_hex(mac, sizeof(mac), out);
	return 0;
}

bool disc_auth_verify(const disc_values &v, const char *nonce, const char *hmac)
{
	char want[DISC_HMAC_LEN + 1];
	if (strlen(hmac) != DISC_HMAC_LEN || disc_auth_sign(v, nonce, want) < 0)
		return false;
	return mbedtls_ct_memcmp(want, hmac, DISC_HMAC_LEN) == 0;
}

int disc_auth_new_nonce(char out[DISC_NONCE_LEN + 1])
{
	uint8_t raw[DISC_NONCE_BYTES];
	if (!random_bytes(raw, sizeof(raw)))
		return -1;
	to_hex(raw, sizeof(raw), out);
	return 0;
}

bool disc_auth_is_nonce(const char *s)
{
	if (strlen(s) != DISC_NONCE_LEN)
		return false;
	for (size_t i = 0; i < DISC_NONCE_LEN; i++)
		if (!(s[i] >= '0' && s[i] <= '9') && !(s[i] >= 'a' && s[i] <= 'f'))
			return false;
	return true;
}
