// The upload CGI program: the "filedata" part of a multipart/form-data body
// streams into an unnamed temporary file, which is copied to UPLOAD_TARGET
// once the part has ended; the answer is a one-line JSON errcode.
//
// Built twice, with different UPLOAD_TARGET and UPLOAD_LIMIT (main.cpp).
#include "upload.h"

#include "multipart.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

enum {
	ERR_OK = 0,
	ERR_NO_SESSION = -1006,
	ERR_TOO_LARGE = -7001,
	ERR_BAD_REQUEST = -7002,
	ERR_EMPTY_FILE = -7003,
	ERR_STORAGE = -7004,
};

enum { FIELD_NONE, FIELD_SESSION, FIELD_FILE };

const char *parts[] = { "(bug)", "sessionid", "filedata" };

namespace {

constexpr size_t chunk = 4096;
// Content pieces end at every CR, so they are often small: they are gathered
// here and written to the temporary file in large writes.
constexpr size_t temp_buffer_size = 64 * 1024;
constexpr const char *temp_template = "/tmp/lede-upload.XXXXXX";
constexpr const char *content_type_prefix = "multipart/form-data;";
constexpr const char *disposition = "Content-Disposition";

// Everything one request changes; reset_request() starts each afresh.
bool is_disposition;
int cur_field;
char *session_id;
const char *target_path;
bool have_data;
mode_t target_mode;
int target_fd;
int temp_fd;
char temp_buffer[temp_buffer_size];
size_t temp_buffered;

void reset_request()
{
	is_disposition = false;
	cur_field = FIELD_NONE;
	free(session_id);
	session_id = nullptr;
	target_path = UPLOAD_TARGET;
	have_data = false;
	target_mode = 0600;
	target_fd = -1;
	temp_fd = -1;
	temp_buffered = 0;
}

int send_reply(bool keep, int errcode)
{
	printf("Status: 200 OK\r\n");
	printf("Content-Type: application/json\r\n\r\n");
	printf("{ \"errcode\": %d }\r\n", errcode);
	if (!keep && target_fd >= 0)
		unlink(target_path);
	printf("\r\n");
	return -1;
}

void close_temp()
{
	if (temp_fd >= 0)
		close(temp_fd);
	temp_fd = -1;
}

bool write_all(int fd, const char *data, size_t len)
{
	while (len) {
		ssize_t n = write(fd, data, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		data += n;
		len -= (size_t) n;
	}
	return true;
}

bool flush_temp()
{
	bool ok = write_all(temp_fd, temp_buffer, temp_buffered);
	temp_buffered = 0;
	return ok;
}

bool write_temp(const char *data, size_t len)
{
	if (temp_buffered + len > sizeof(temp_buffer) && !flush_temp())
		return false;
	if (len >= sizeof(temp_buffer))
		return write_all(temp_fd, data, len);
	memcpy(temp_buffer + temp_buffered, data, len);
	temp_buffered += len;
	return true;
}

// The 4096-byte loop, for filesystems without an in-kernel copy.
bool copy_by_reading()
{
	char buf[chunk];

	for (;;) {
		ssize_t n = read(temp_fd, buf, sizeof(buf));
		if (n < 0 && errno == EINTR)
			continue;
		if (n == 0)
			return true;
		/* A read error is a failed upload, never a short file stored as complete. */
		if (n < 0 || !write_all(target_fd, buf, (size_t) n))
			return false;
	}
}

bool copy_contents()
{
	for (;;) {
		ssize_t n = copy_file_range(temp_fd, nullptr, target_fd, nullptr, 1 << 30, 0);
		if (n > 0)
			continue;
		if (n == 0)
			return true;
		if (errno == EINTR)
			continue;
		if (errno == EINVAL || errno == EXDEV || errno == ENOSYS || errno == EOPNOTSUPP)
			return copy_by_reading();	/* offsets have advanced: go on from there */
		return false;
	}
}

int copy_to_target()
{
	if (!have_data) {
		close_temp();
		return send_reply(false, ERR_EMPTY_FILE);
	}
	if (!flush_temp() || lseek(temp_fd, 0, SEEK_SET) < 0) {
		close_temp();
		return send_reply(false, ERR_STORAGE);
	}
	target_fd = open(target_path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
	if (target_fd < 0) {
		close_temp();
		return send_reply(false, ERR_STORAGE);
	}

	bool ok = copy_contents();
	close_temp();
	close(target_fd);	/* target_fd keeps its number: a failed reply removes the target */
	if (!ok)
		return send_reply(false, ERR_STORAGE);
	chmod(target_path, target_mode);
	return 0;
}

int upload_on_name(mp_parser *, const char *data, size_t len)
{
	is_disposition = len <= strlen(disposition) && !strncasecmp(data, disposition, len);
	return 0;
}

// Selects the field from a value like: form-data; name="sessionid"
int upload_on_value(mp_parser *, const char *data, size_t len)
{
	if (!is_disposition || len < 10 || strncasecmp(data, "form-data", 9))
		return 0;

	size_t i = 9;
	while (i < len && (data[i] == ';' || data[i] == ' '))
		i++;
	if (len - i < 8 || strncasecmp(data + i, "name=\"", 6))
		return 0;
	i += 6;

	const char *quote = (const char *) memchr(data + i, '"', len - i);
	if (!quote)
		return 0;
	size_t n = (size_t) (quote - (data + i));
	if (n <= strlen(parts[FIELD_SESSION]) && !strncmp(data + i, parts[FIELD_SESSION], n))
		cur_field = FIELD_SESSION;
	if (n <= strlen(parts[FIELD_FILE]) && !strncmp(data + i, parts[FIELD_FILE], n))
		cur_field = FIELD_FILE;
	return 0;
}

int upload_on_data(mp_parser *, const char *data, size_t len)
{
	switch (cur_field) {
	case FIELD_SESSION:
		free(session_id);	/* the newest piece wins */
		session_id = strndup(data, len);
		return 0;
	case FIELD_FILE:
		if (!write_temp(data, len)) {
			close_temp();
			return send_reply(false, ERR_STORAGE);
		}
		have_data = have_data || len > 0;
		return 0;
	default:
		return 0;
	}
}

int upload_on_headers_done(mp_parser *)
{
	if (cur_field != FIELD_FILE)
		return 0;
	if (!session_id)
		return send_reply(false, ERR_NO_SESSION);

	char path[32];
	snprintf(path, sizeof(path), "%s", temp_template);
	temp_fd = mkstemp(path);
	if (temp_fd < 0)
		return send_reply(false, ERR_STORAGE);
	unlink(path);	/* nameless from now on: it vanishes with the process */
	return 0;
}

int upload_on_part_end(mp_parser *)
{
	if (cur_field != FIELD_FILE) {
		cur_field = FIELD_NONE;
		return 0;
	}
	if (copy_to_target())
		return -1;
	return send_reply(true, ERR_OK);
}

const mp_callbacks upload_callbacks = {
	.on_name = upload_on_name,
	.on_value = upload_on_value,
	.on_data = upload_on_data,
	.on_part_begin = nullptr,
	.on_headers_done = upload_on_headers_done,
	.on_part_end = upload_on_part_end,
	.on_final_delim = nullptr,
};

// Request checks; returns the parser, or NULL after replying.
mp_parser *start_request()
{
	const char *length = getenv("CONTENT_LENGTH");
	if (length && strtoul(length, nullptr, 10) > UPLOAD_LIMIT) {
		send_reply(false, ERR_TOO_LARGE);
		return nullptr;
	}

	const char *type = getenv("CONTENT_TYPE");
	size_t prefix = strlen(content_type_prefix);
	const char *eq = type && !strncmp(type, content_type_prefix, prefix)
		? strchr(type + prefix, '=') : nullptr;
	if (!eq) {
		send_reply(false, ERR_BAD_REQUEST);
		return nullptr;
	}

	/* The boundary is everything after that '=', quotes and later parameters included. */
	const char *boundary = eq + 1;
	char *delimiter = (char *) malloc(strlen(boundary) + 3);
	if (!delimiter) {
		send_reply(false, ERR_BAD_REQUEST);
		return nullptr;
	}
	strcpy(delimiter, "--");
	strcat(delimiter, boundary);

	mp_parser *p = mp_create(delimiter, &upload_callbacks);
	free(delimiter);
	if (!p)
		send_reply(false, ERR_BAD_REQUEST);
	return p;
}

ssize_t read_body(int fd, char *buf)
{
	ssize_t n;
	do {
		n = read(fd, buf, chunk);
	} while (n < 0 && errno == EINTR);
	return n;
}

} // namespace

int upload_run(int in_fd)
{
	char buf[chunk];

	reset_request();
	mp_parser *p = start_request();
	if (!p) {
		fflush(stdout);
		return 0;
	}

	for (ssize_t n; (n = read_body(in_fd, buf)) > 0;)
		if (mp_execute(p, buf, (size_t) n) != (size_t) n)
			break;	/* a syntax error, or a reply has been made */
	mp_free(p);

	/* The server expects the whole body to be read. */
	while (read_body(in_fd, buf) > 0)
		;
	close_temp();	/* left open when the body ended inside the file part */
	fflush(stdout);
	return 0;
}
