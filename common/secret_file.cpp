// The secret file reader. The file is opened only when it looks like a
// regular file, without waiting (a FIFO put at the path in between must not
// hang the start), and read only after its type, mode and owner have passed.
#include "secret_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Line ends after a secret of full length are read in pieces; more than this
// many of them make the file too long all the same.
constexpr size_t MAX_TRAILING_LINE_ENDS = 4096;

bool is_line_end(unsigned char c)
{
	return c == '\n' || c == '\r';
}

// Whether the rest of the file is nothing but a few line ends.
bool only_line_ends_left(int fd)
{
	unsigned char piece[64];
	for (size_t seen = 0; seen <= MAX_TRAILING_LINE_ENDS; ) {
		ssize_t r = read_up_to(fd, piece, sizeof(piece));
		if (r <= 0)
			return r == 0;
		for (ssize_t i = 0; i < r; i++)
			if (!is_line_end(piece[i]))
				return false;
		seen += (size_t) r;
	}
	return false;
}

} // namespace

ssize_t read_up_to(int fd, void *buf, size_t cap)
{
	size_t n = 0;
	while (n < cap) {
		ssize_t r = read(fd, (unsigned char *) buf + n, cap - n);
		if (r < 0 && errno == EINTR)
			continue;
		if (r < 0)
			return -1;
		if (r == 0)
			break;
		n += (size_t) r;
	}
	return (ssize_t) n;
}

void secret_wipe(void *p, size_t n)
{
	explicit_bzero(p, n);
}

const char *file_not_regular(const char *path)
{
	struct stat st;
	if (stat(path, &st) < 0)
		return strerror(errno);
	return S_ISREG(st.st_mode) ? nullptr : "not a regular file";
}

int secret_file_open(const char *what, const char *path)
{
	/* Looked at before it is opened: opening a device can act on it (a
	   watchdog starts counting). fstat() below decides all the same. */
	if (const char *why = file_not_regular(path)) {
		fprintf(stderr, "%s %s: %s\n", what, path, why);
		return -1;
	}
	struct stat st;
	int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
	if (fd < 0) {
		fprintf(stderr, "%s %s: %s\n", what, path, strerror(errno));
		return -1;
	}

	const char *why = nullptr;
	if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode))
		why = "not a regular file";
	else if (st.st_mode & 077)
		why = "accessible to group or others (chmod 600 it)";
	else if (st.st_uid != geteuid())
		why = "owned by another user, who could read or change it";
	if (!why)
		return fd;
	close(fd);
	fprintf(stderr, "%s %s: %s\n", what, path, why);
	return -1;
}

ssize_t secret_file_read(const char *what, const char *path, unsigned char *out, size_t max,
			 bool text)
{
	int fd = secret_file_open(what, path);
	if (fd < 0)
		return -1;

	const char *why = nullptr;
	bool too_long = false;
	ssize_t n = read_up_to(fd, out, max);
	if (n < 0)
		why = strerror(errno);
	else if ((size_t) n == max && !only_line_ends_left(fd))
		too_long = true;
	close(fd);

	while (n > 0 && is_line_end(out[n - 1]))
		n--;
	if (!why && !too_long && n == 0)
		why = "empty";
	if (!why && !too_long && text && memchr(out, '\0', (size_t) n))
		why = "holds a NUL byte";
	if (!why && !too_long)
		return n;

	secret_wipe(out, max);
	if (too_long)
		fprintf(stderr, "%s %s: longer than %zu bytes\n", what, path, max);
	else
		fprintf(stderr, "%s %s: %s\n", what, path, why);
	return -1;
}
