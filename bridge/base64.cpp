// Standard Base64 (RFC 4648, "=" padding, no line breaks) into a buffer that
// grows in whole 64 KiB blocks, counted in bufc.
#include "base64.h"

#include <stdlib.h>

int bufc;

namespace {

constexpr char B64_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Grows *buf (bufc blocks) to hold n bytes; on failure releases it.
bool b64_reserve(char **buf, size_t n)
{
	size_t blocks = (size_t) bufc;
	if (blocks * B64_BLOCK >= n)
		return true;
	while (blocks * B64_BLOCK < n)
		blocks++;

	char *p = (char *) realloc(*buf, blocks * B64_BLOCK);
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

} // namespace

char *base64_encode(const void *data, size_t length)
{
	const unsigned char *in = (const unsigned char *) data;
	char *out = (char *) malloc(B64_BLOCK);
	size_t o = 0, i = 0;

	if (!out)
		return nullptr;
	bufc = 1;

	for (; i + 3 <= length; i += 3) {
		if (!b64_reserve(&out, o + 4))
			return nullptr;
		unsigned b0 = in[i], b1 = in[i + 1], b2 = in[i + 2];
		out[o++] = B64_ALPHABET[b0 >> 2];
		out[o++] = B64_ALPHABET[((b0 & 3) << 4) | (b1 >> 4)];
		out[o++] = B64_ALPHABET[((b1 & 15) << 2) | (b2 >> 6)];
		out[o++] = B64_ALPHABET[b2 & 63];
	}

	size_t rest = length - i;
	if (rest) {
		unsigned char g[3] = { in[i], rest > 1 ? in[i + 1] : (unsigned char) 0, 0 };
		unsigned idx[3] = { (unsigned) g[0] >> 2, ((g[0] & 3u) << 4) | (g[1] >> 4),
				    ((g[1] & 15u) << 2) | (g[2] >> 6) };
		for (size_t k = 0; k < rest + 1; k++, o++)
			if (!b64_put(&out, o, B64_ALPHABET[idx[k]]))
				return nullptr;
		for (; o % 4; o++)
			if (!b64_put(&out, o, '='))
				return nullptr;
	}
	if (!b64_put(&out, o, '\0'))
		return nullptr;
	return out;
}
