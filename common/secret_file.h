// Secrets kept in files of their own (quildis' key, quilac's broker password
// and TLS key): one set of checks, so both daemons refuse the same files with
// the same words.
#pragma once

#include <stddef.h>
#include <sys/types.h>

// Reads the secret in `path` into out: the file's bytes as they stand,
// without the CR and LF bytes at its end (an editor's or echo's line ends),
// 1 to `max` of them. The file must be a regular file of the effective user,
// closed to group and others. With `text`, a NUL byte is refused too (the
// secret is handed on as a C string).
// Returns the secret's length, or -1 after writing "<what> <path>: <why>" and
// a line end to standard error; out holds nothing of the file then.
ssize_t secret_file_read(const char *what, const char *path, unsigned char *out, size_t max,
			 bool text);

// Opens `path` for reading when it passes the checks above (regular file,
// ours, closed to group and others): the descriptor, or -1 after saying why
// as secret_file_read() does. For secrets read by someone else (a TLS key).
int secret_file_open(const char *what, const char *path);

// Why `path` is not a regular file (or cannot be looked at), or nullptr. It
// is only looked at, not opened: opening a device can act on it.
const char *file_not_regular(const char *path);

// Clears a secret in a way the compiler cannot leave out.
void secret_wipe(void *p, size_t n);

// Reads at most `cap` bytes, through short reads and EINTR, until the end of
// the file; the count, or -1 on a read error.
ssize_t read_up_to(int fd, void *buf, size_t cap);
