// The bridge's Base64 encoder (it only encodes: the session password).
#pragma once

#include <stddef.h>

// Number of 64 KiB blocks of the most recent Base64 output buffer.
extern int bufc;

// The output buffer grows in blocks of this many bytes.
constexpr size_t B64_BLOCK = 65536;

// Standard Base64 of `length` bytes, NUL-terminated, in a buffer grown in
// B64_BLOCK steps; the caller frees it. nullptr when memory runs out.
char *base64_encode(const void *data, size_t length);
