// The upload CGI program: the "filedata" part of a multipart/form-data body
// streams into an unnamed file in the target's own directory, which replaces
// UPLOAD_TARGET in one rename once the part has ended; the answer is a
// one-line JSON errcode. Only a session that the session service lets write
// this program's object may store a file (session.cpp asks it).
//
// The program runs as root on behalf of anyone who can reach the web server,
// in a /tmp that every local user can write. So the target's directory must
// be a real directory of ours, and nothing is ever opened by a path that a
// link could redirect: the file is written through its own descriptor and
// only named at the end, inside that directory.
#include "upload.h"
#include "clock.h"

#include "multipart.h"
#include "session.h"

#include <algorithm>
#include <ctype.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <string_view>
#include <sys/file.h>
#include <sys/syscall.h>
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

// The form field of the current part; it indexes `parts`, whose entry 0
// stands for "no field" and is never compared.
enum { FIELD_NONE, FIELD_SESSION, FIELD_FILE };

const char *parts[] = { "(bug)", "sessionid", "filedata" };

namespace {

constexpr size_t CHUNK = 4096;	/* one read of the request body */
// A client that sends fewer than MIN_BYTES_PER_WINDOW bytes in a window of
// this long (nothing at all, or a trickle) is given up on: until then its
// unfinished file holds memory in /tmp.
constexpr int IDLE_TIMEOUT_MS = 30 * 1000;
constexpr size_t MIN_BYTES_PER_WINDOW = 4096;
// What may come before the file part's headers end (preamble, sessionid part,
// the file part's own headers) is bounded, so that a client without a session
// cannot hold the process by never getting to the file.
constexpr size_t BEFORE_SESSION_MAX_BYTES = 64 * 1024;
constexpr int BEFORE_SESSION_MAX_MS = 10 * 1000;
// After the answer the rest of the body is read up to these bounds.
constexpr size_t DRAIN_MAX_BYTES = 64 * 1024;
constexpr int DRAIN_MAX_MS = 2000;
constexpr int LOCK_WAIT_MS = 2000;
// Each try fails only when the name changed between two system calls.
constexpr int MAKE_FOLDER_TRIES = 1000;
constexpr useconds_t LOCK_RETRY_US = 10 * 1000;
// CONTENT_LENGTH counts the multipart framing too; the file's own bytes are
// counted as they arrive.
constexpr size_t FRAMING_ALLOWANCE = 64 * 1024;
// Content pieces end at every CR, so they are often small: they are gathered
// here and written to the file in large writes.
constexpr size_t TEMP_BUFFER_SIZE = 64 * 1024;
// A header name or value is gathered from its pieces before it is looked at;
// one longer than this is nothing we are looking for.
constexpr size_t HEADER_MAX = 1024;
constexpr size_t BOUNDARY_MAX = 70;	/* the longest boundary RFC 2046 allows */
constexpr size_t DELIMITER_SIZE = 2 + BOUNDARY_MAX + 1;	/* "--", boundary, NUL */
constexpr std::string_view MEDIA_TYPE = "multipart/form-data";
constexpr std::string_view DISPOSITION = "Content-Disposition";
constexpr std::string_view FORM_DATA = "form-data";

struct header_text {
	char text[HEADER_MAX];
	size_t len;
	bool too_long;

	void clear() { len = 0; too_long = false; }
	void append(const char *data, size_t n)
	{
		if (too_long || n > sizeof(text) - len) {
			too_long = true;
			return;
		}
		memcpy(text + len, data, n);
		len += n;
	}
	std::string_view view() const { return { text, len }; }
};

// Which run of a header line the latest piece belonged to: a run is complete
// when a piece of the other kind (or the end of the headers) follows.
enum class header_run { NONE, NAME, VALUE };

// Everything one request changes; reset_request() starts each afresh.
struct request {
	header_run run = header_run::NONE;
	header_text name;
	header_text value;
	int cur_field = FIELD_NONE;
	char session[SESSION_ID_LEN + 1] = "";	/* the latest sessionid value */
	size_t session_len = 0;			/* may exceed SESSION_ID_LEN: then invalid */
	bool replied = false;
	bool file_reached = false;	/* the file part's headers ended: the session is judged */
	size_t file_bytes = 0;
	int dir_fd = -1;	/* the target's directory */
	int temp_fd = -1;	/* the unnamed file the content goes into */
	size_t temp_buffered = 0;
};

request req;
char temp_buffer[TEMP_BUFFER_SIZE];

void close_fd(int &fd)
{
	if (fd >= 0)
		close(fd);
	fd = -1;
}

void reset_request()
{
	close_fd(req.temp_fd);
	close_fd(req.dir_fd);
	req = request{};
}

// Returns -1 so that a callback can pass it on: the parser stops after the
// one answer a request gets.
int send_reply(int errcode)
{
	req.replied = true;
	printf("Status: 200 OK\r\n");
	printf("Content-Type: application/json\r\n\r\n");
	printf("{ \"errcode\": %d }\r\n", errcode);
	printf("\r\n");
	return -1;
}

// One line on standard error, the web server's error log, for each refusal:
// why, with the system's reason `err` when there is one, and the errcode the
// client got. Never the session id: the log may be read by others.
int refuse(int errcode, const char *why, int err = 0)
{
	fprintf(stderr, "%s: refused with errcode %d: %s%s%s\n", UPLOAD_PROGRAM, errcode, why,
		err ? ": " : "", err ? strerror(err) : "");
	return send_reply(errcode);
}

// Nothing is stored: the unnamed file vanishes with its descriptor. It is
// closed now rather than at the end, so that the memory it holds in /tmp is
// free while the rest of the body is drained.
int fail_upload(int errcode, const char *why, int err = 0)
{
	close_fd(req.temp_fd);
	return refuse(errcode, why, err);
}

bool is_ows(char c)
{
	return c == ' ' || c == '\t';
}

void skip_ows(std::string_view &s)
{
	while (!s.empty() && is_ows(s.front()))
		s.remove_prefix(1);
}

bool iequals(std::string_view a, std::string_view b)
{
	return a.size() == b.size() && !strncasecmp(a.data(), b.data(), a.size());
}

// The first n bytes of s (all of it when shorter). Unlike substr() this has no
// throwing path, which would pull libstdc++ into a libc-only program.
std::string_view head(std::string_view s, size_t n)
{
	return { s.data(), std::min(n, s.size()) };
}

bool starts_with_icase(std::string_view s, std::string_view prefix)
{
	return s.size() >= prefix.size() && iequals(head(s, prefix.size()), prefix);
}

// One `name=value` parameter of a header value; a quoted value is unquoted.
struct param {
	std::string_view name;
	char value[HEADER_MAX];
	size_t len;
	bool valid;	/* it had a value that was properly ended and fit */

	std::string_view view() const { return { value, len }; }
	void add(char c)
	{
		if (len < sizeof(value))
			value[len++] = c;
		else
			valid = false;
	}
};

// A quoted-string, its opening quote already taken off `rest`: a backslash
// escapes the byte after it. Without a closing quote the value is invalid.
void take_quoted_value(std::string_view &rest, param &p)
{
	for (;;) {
		if (rest.empty()) {
			p.valid = false;
			return;
		}
		char c = rest.front();
		rest.remove_prefix(1);
		if (c == '"')
			return;
		if (c == '\\' && !rest.empty()) {
			c = rest.front();
			rest.remove_prefix(1);
		}
		p.add(c);
	}
}

// Takes the next parameter off `rest` (the text after a media type or a
// disposition type). Returns false when there is none left.
bool next_param(std::string_view &rest, param &p)
{
	while (!rest.empty() && (rest.front() == ';' || is_ows(rest.front())))
		rest.remove_prefix(1);
	if (rest.empty())
		return false;

	size_t end = rest.find_first_of("=;");
	p.name = head(rest, end);
	while (!p.name.empty() && is_ows(p.name.back()))
		p.name.remove_suffix(1);
	p.len = 0;
	p.valid = end != std::string_view::npos && rest[end] == '=';
	if (!p.valid) {
		rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
		return true;
	}
	rest.remove_prefix(end + 1);
	skip_ows(rest);

	if (!rest.empty() && rest.front() == '"') {
		rest.remove_prefix(1);
		take_quoted_value(rest, p);
		return true;
	}
	while (!rest.empty() && rest.front() != ';' && !is_ows(rest.front())) {
		p.add(rest.front());
		rest.remove_prefix(1);
	}
	return true;
}

// A field is selected by its name or any prefix of it ("session", "file").
bool names_field(std::string_view name, int field)
{
	std::string_view full = parts[field];
	return name.size() <= full.size() && name == head(full, name.size());
}

// Selects the field from a value like: form-data; name="sessionid"; filename="f"
// (the parameters in any order).
void select_field(std::string_view value)
{
	if (!starts_with_icase(value, FORM_DATA))
		return;
	value.remove_prefix(FORM_DATA.size());
	if (!value.empty() && value.front() != ';' && !is_ows(value.front()))
		return;

	param p;
	while (next_param(value, p)) {
		if (!iequals(p.name, "name"))
			continue;
		if (!p.valid)
			return;
		if (names_field(p.view(), FIELD_SESSION))
			req.cur_field = FIELD_SESSION;
		if (names_field(p.view(), FIELD_FILE))	/* an empty name matches both: the file wins */
			req.cur_field = FIELD_FILE;
		return;
	}
}

// A header line has been gathered whole: a Content-Disposition may select
// the field of its part.
void header_complete()
{
	if (req.name.too_long || req.value.too_long || !iequals(req.name.view(), DISPOSITION))
		return;
	std::string_view value = req.value.view();
	skip_ows(value);
	select_field(value);
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
	bool ok = write_all(req.temp_fd, temp_buffer, req.temp_buffered);
	req.temp_buffered = 0;
	return ok;
}

bool write_temp(const char *data, size_t len)
{
	if (req.temp_buffered + len > sizeof(temp_buffer) && !flush_temp())
		return false;
	if (len >= sizeof(temp_buffer))
		return write_all(req.temp_fd, data, len);
	memcpy(temp_buffer + req.temp_buffered, data, len);
	req.temp_buffered += len;
	return true;
}

const char *target_name()
{
	const char *slash = strrchr(UPLOAD_TARGET, '/');
	return slash ? slash + 1 : UPLOAD_TARGET;
}

// Whoever owns or may write the directory could swap the names in it under
// us (the target too, after we answered).
bool is_private_dir(const struct stat &st)
{
	return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && !(st.st_mode & (S_IWGRP | S_IWOTH));
}

// The target's directory path, from UPLOAD_TARGET.
bool upload_dir_path(char (&dir)[PATH_MAX])
{
	size_t len = (size_t) (target_name() - UPLOAD_TARGET);
	if (len < 2 || len > sizeof(dir))
		return false;
	memcpy(dir, UPLOAD_TARGET, len - 1);
	dir[len - 1] = '\0';
	return true;
}

// The target's directory, created if missing. A link, anything but a
// directory, or a directory that others own or may write is refused.
int open_upload_dir()
{
	char dir[PATH_MAX];
	if (!upload_dir_path(dir))
		return -1;
	if (mkdir(dir, 0700) < 0 && errno != EEXIST)
		return -1;
	int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	struct stat st;
	if (fd >= 0 && (fstat(fd, &st) < 0 || !is_private_dir(st))) {
		close_fd(fd);
		errno = 0;	/* no system error: the folder is not ours alone */
	}
	return fd;
}

#ifndef RENAME_NOREPLACE
#define RENAME_NOREPLACE (1 << 0)
#endif
#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

int rename2(const char *from, const char *to, unsigned int flags)
{
	return (int) syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, flags);
}

// The folder behind `fd` made the owner's, mode 0700.
bool give_folder(int fd, uid_t uid, gid_t gid)
{
	return fchown(fd, uid, gid) == 0 && fchmod(fd, 0700) == 0;
}

// A directory of ours or the owner's under the name already: only its owner
// and mode may need mending (the owner may have been changed since it was made).
bool keep_own_dir(const char *dir, uid_t uid, gid_t gid)
{
	int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	struct stat st;
	bool own = fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) &&
		   (st.st_uid == geteuid() || st.st_uid == uid) && give_folder(fd, uid, gid);
	if (fd >= 0)
		close(fd);
	return own;
}

// What stood under the name, now at `path`: removed when it is a link, a file
// or an empty folder; a folder with content stays its owner's.
void remove_refused(const char *path)
{
	if (unlink(path) < 0 && errno == EISDIR)
		rmdir(path);
}

} // namespace

// A fresh private folder is made beside the name and swapped in by one
// atomic rename (over nothing, or exchanged with whatever stands there), so
// a local user who keeps taking the name cannot slip in between two steps.
// It is given to its owner only once under the name, through a descriptor
// held since it was made: while beside the name it stays ours, which nobody
// else can rename in a sticky /tmp.
static bool swap_in_folder(const char *dir, const char *mine)
{
	for (int i = 0; i < MAKE_FOLDER_TRIES; i++) {
		if (rename2(mine, dir, RENAME_NOREPLACE) == 0)
			return true;
		if (errno != EEXIST)
			return false;
		if (rename2(mine, dir, RENAME_EXCHANGE) == 0) {
			remove_refused(mine);
			return true;
		}
		if (errno != ENOENT)	/* gone again since: the next rename takes the name */
			return false;
	}
	return false;
}

bool upload_make_folder(uid_t uid, gid_t gid)
{
	char dir[PATH_MAX], mine[PATH_MAX];
	if (!upload_dir_path(dir))
		return false;
	if (keep_own_dir(dir, uid, gid))
		return true;
	if (snprintf(mine, sizeof(mine), "%s.XXXXXX", dir) >= (int) sizeof(mine) || !mkdtemp(mine))
		return false;
	int fd = open(mine, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
	bool made = fd >= 0 && swap_in_folder(dir, mine);
	if (!made)
		rmdir(mine);
	made = made && give_folder(fd, uid, gid);
	if (fd >= 0)
		close(fd);
	return made;
}

namespace {

// An unnamed file in the target's directory: it needs no cleanup when the
// request fails or the process is killed, and the rename at the end is
// within one filesystem, so the content is never copied. The mode is set
// again because the umask may have taken bits off the one asked for.
int create_temp(int dir_fd)
{
	int fd = openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
	if (fd >= 0 && fchmod(fd, 0600) < 0)
		close_fd(fd);
	return fd;
}

// Whether `name` is ".<target>.<digits>", the private name of an upload.
bool is_private_name(const char *name)
{
	const char *target = target_name();
	size_t tlen = strlen(target);
	if (name[0] != '.' || strncmp(name + 1, target, tlen) || name[1 + tlen] != '.')
		return false;
	const char *digits = name + 2 + tlen;
	if (!*digits)
		return false;
	while (isdigit((unsigned char) *digits))
		digits++;
	return !*digits;
}

// Called with the directory locked: a private name exists only while its
// upload holds the lock, so any found now is left by a process killed
// between its link and its rename. (Asking whether the pid in the name still
// runs would not do: a new upload may take that pid between the question
// and the unlink.)
void remove_stale_private_names()
{
	int fd = dup(req.dir_fd);
	DIR *dir = fd >= 0 ? fdopendir(fd) : nullptr;
	if (!dir) {
		if (fd >= 0)
			close(fd);
		return;
	}
	while (const struct dirent *e = readdir(dir))
		if (is_private_name(e->d_name))
			unlinkat(req.dir_fd, e->d_name, 0);
	closedir(dir);
}

// Uploads publish one at a time. The directory is root's alone (0700), so
// only an upload can hold its lock, and only for a link and a rename; a
// process stopped right there is waited for up to LOCK_WAIT_MS.
bool lock_upload_dir()
{
	const int64_t give_up = monotonic_ms() + LOCK_WAIT_MS;
	while (flock(req.dir_fd, LOCK_EX | LOCK_NB) < 0) {
		if ((errno != EWOULDBLOCK && errno != EINTR) || monotonic_ms() >= give_up)
			return false;
		usleep(LOCK_RETRY_US);
	}
	return true;
}

// The finished file is linked under a name private to this process, which
// then replaces the target in one rename: readers see the previous target or
// the whole new file, and of two concurrent uploads the later one wins whole.
bool publish_temp()
{
	char link_name[NAME_MAX + 1];
	if (snprintf(link_name, sizeof(link_name), ".%s.%d", target_name(), (int) getpid())
	    >= (int) sizeof(link_name))
		return false;
	if (!lock_upload_dir())
		return false;
	remove_stale_private_names();

	// Linking a descriptor needs CAP_DAC_READ_SEARCH; /proc serves otherwise.
	bool ok = linkat(req.temp_fd, "", req.dir_fd, link_name, AT_EMPTY_PATH) == 0;
	if (!ok) {
		char proc_path[32];
		snprintf(proc_path, sizeof(proc_path), "/proc/self/fd/%d", req.temp_fd);
		ok = linkat(AT_FDCWD, proc_path, req.dir_fd, link_name, AT_SYMLINK_FOLLOW) == 0;
	}
	if (ok && renameat(req.dir_fd, link_name, req.dir_fd, target_name()) < 0) {
		unlinkat(req.dir_fd, link_name, 0);
		ok = false;
	}
	flock(req.dir_fd, LOCK_UN);
	return ok;
}

int upload_on_name(mp_parser *, const char *data, size_t len)
{
	if (req.run != header_run::NAME) {
		if (req.run == header_run::VALUE)
			header_complete();
		req.name.clear();
		req.run = header_run::NAME;
	}
	req.name.append(data, len);
	return 0;
}

int upload_on_value(mp_parser *, const char *data, size_t len)
{
	if (req.run != header_run::VALUE) {
		req.value.clear();
		req.run = header_run::VALUE;
	}
	req.value.append(data, len);
	return 0;
}

// Keeps the first SESSION_ID_LEN bytes of the value and counts them all, so
// that a longer value is seen as such.
void add_session_piece(const char *data, size_t len)
{
	size_t kept = std::min(req.session_len, SESSION_ID_LEN);
	memcpy(req.session + kept, data, std::min(len, SESSION_ID_LEN - kept));
	req.session_len += len;
}

// 32 lower-case hex digits; anything else is not worth a question on the bus.
bool session_id_wellformed()
{
	if (req.session_len != SESSION_ID_LEN)
		return false;
	for (size_t i = 0; i < SESSION_ID_LEN; i++) {
		char c = req.session[i];
		if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
			return false;
	}
	req.session[SESSION_ID_LEN] = '\0';
	return true;
}

int upload_on_data(mp_parser *, const char *data, size_t len)
{
	switch (req.cur_field) {
	case FIELD_SESSION:
		add_session_piece(data, len);
		return 0;
	case FIELD_FILE:
		// Counted as it arrives: the declared length may be absent or wrong.
		if (len > UPLOAD_LIMIT - req.file_bytes)
			return fail_upload(ERR_TOO_LARGE, "the file is larger than the limit");
		req.file_bytes += len;
		if (!write_temp(data, len))
			return fail_upload(ERR_STORAGE, "the file cannot be written", errno);
		return 0;
	default:
		return 0;
	}
}

int upload_on_headers_done(mp_parser *)
{
	if (req.run == header_run::VALUE)
		header_complete();
	req.run = header_run::NONE;

	if (req.cur_field == FIELD_SESSION)
		req.session_len = 0;	/* a later sessionid part replaces an earlier one */
	if (req.cur_field != FIELD_FILE)
		return 0;
	req.file_reached = true;
	// Asked once, before any byte of the file is written.
	if (!session_id_wellformed())
		return refuse(ERR_NO_SESSION, "no well-formed session id before the file");
	if (!session_allows(req.session, UPLOAD_PROGRAM))
		return refuse(ERR_NO_SESSION, "the session service did not let the session upload");
	req.dir_fd = open_upload_dir();
	if (req.dir_fd < 0)
		return errno ? refuse(ERR_STORAGE, "the upload folder cannot be opened", errno) :
			       refuse(ERR_STORAGE, "the upload folder is not private to this user");
	req.temp_fd = create_temp(req.dir_fd);
	if (req.temp_fd < 0)
		return refuse(ERR_STORAGE, "no temporary file in the upload folder", errno);
	return 0;
}

// The end of the file part always answers, which also stops the parser:
// only the first file part is processed.
int upload_on_part_end(mp_parser *)
{
	if (req.cur_field != FIELD_FILE) {
		req.cur_field = FIELD_NONE;
		return 0;
	}
	if (req.file_bytes == 0)
		return fail_upload(ERR_EMPTY_FILE, "the file is empty");
	if (!flush_temp() || !publish_temp())
		return fail_upload(ERR_STORAGE, "the file cannot be stored", errno);
	return send_reply(ERR_OK);
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

// The delimiter ("--" and the boundary) from a content type such as
//   multipart/form-data; charset=utf-8; boundary="abc"
// with the media type in any letter case and the parameters in any order.
bool delimiter_of(const char *content_type, char (&delimiter)[DELIMITER_SIZE])
{
	std::string_view rest = content_type;
	skip_ows(rest);
	if (!starts_with_icase(rest, MEDIA_TYPE))
		return false;
	rest.remove_prefix(MEDIA_TYPE.size());
	skip_ows(rest);
	if (rest.empty() || rest.front() != ';')
		return false;

	param p;
	while (next_param(rest, p)) {
		if (!iequals(p.name, "boundary"))
			continue;
		if (!p.valid || p.len == 0 || p.len > BOUNDARY_MAX)
			return false;
		memcpy(delimiter, "--", 2);
		memcpy(delimiter + 2, p.value, p.len);
		delimiter[2 + p.len] = '\0';
		return true;
	}
	return false;
}

// Request checks; returns the parser, or NULL after replying.
mp_parser *start_request()
{
	const char *length = getenv("CONTENT_LENGTH");
	if (length && strtoul(length, nullptr, 10) > UPLOAD_LIMIT + FRAMING_ALLOWANCE) {
		refuse(ERR_TOO_LARGE, "the request is larger than the limit");
		return nullptr;
	}

	const char *type = getenv("CONTENT_TYPE");
	char delimiter[DELIMITER_SIZE];
	if (!type || !delimiter_of(type, delimiter)) {
		refuse(ERR_BAD_REQUEST, "not multipart/form-data with a usable boundary");
		return nullptr;
	}
	mp_parser *p = mp_create(delimiter, &upload_callbacks);
	if (!p)
		refuse(ERR_BAD_REQUEST, "no memory for the form parser", ENOMEM);
	return p;
}

constexpr ssize_t BODY_IDLE = -2;	/* too little arrived within a window */

// The windows of IDLE_TIMEOUT_MS follow each other on the clock from the
// request's start; each is judged when it ends, by what arrived within it.
struct rate_window {
	int64_t end;
	size_t bytes;
} window;

// Judges every window that has ended by `now`; false at the first with too few bytes.
bool windows_kept_up(int64_t now)
{
	while (now >= window.end) {
		if (window.bytes < MIN_BYTES_PER_WINDOW)
			return false;
		window = { window.end + IDLE_TIMEOUT_MS, 0 };
	}
	return true;
}

// The next piece of the body: its length, 0 at its end, on an error or at
// `stop_at` (a monotonic time), or BODY_IDLE. The descriptor does not block
// (upload_run), so the wait for data costs a call only when the pipe is
// empty, and it ends when the current window does.
ssize_t read_body(int fd, char (&buf)[CHUNK], int64_t stop_at)
{
	for (;;) {
		int64_t now = monotonic_ms();
		if (!windows_kept_up(now))
			return BODY_IDLE;
		if (now >= stop_at)
			return 0;
		ssize_t n = read(fd, buf, sizeof(buf));
		if (n > 0)
			window.bytes += (size_t) n;
		if (n >= 0)
			return n;
		if (errno == EINTR)
			continue;
		if (errno != EAGAIN && errno != EWOULDBLOCK)
			return 0;
		struct pollfd pfd = { .fd = fd, .events = POLLIN, .revents = 0 };
		if (poll(&pfd, 1, (int) (std::min(window.end, stop_at) - now)) < 0 && errno != EINTR)
			return 0;
	}
}

// Once answered, the rest of the body is read for a server that writes it
// all before it reads the answer, but only so far: a client that keeps
// sending after a refusal (a body of 64 MiB at a trickle) must not hold the
// process for as long as it likes.
void drain_body(int fd, char (&buf)[CHUNK])
{
	const int64_t stop_at = monotonic_ms() + DRAIN_MAX_MS;
	size_t drained = 0;
	ssize_t n;
	while (drained < DRAIN_MAX_BYTES && (n = read_body(fd, buf, stop_at)) > 0)
		drained += (size_t) n;
}

// The client stopped sending: its unfinished file goes now, not whenever the
// server gives up on the request.
void abandon_idle_request()
{
	char why[96];
	snprintf(why, sizeof(why), "the client sent under %zu bytes in %d s, request abandoned",
		 MIN_BYTES_PER_WINDOW, IDLE_TIMEOUT_MS / 1000);
	if (req.replied)
		fprintf(stderr, "%s: %s\n", UPLOAD_PROGRAM, why);
	else
		fail_upload(ERR_STORAGE, why);
}

// Feeds the body to the parser until a reply has been made, the syntax
// breaks, the body ends or the idle rule gives up (`n` tells which).
void parse_body(mp_parser *p, int fd, char (&buf)[CHUNK], ssize_t &n)
{
	const int64_t session_by = monotonic_ms() + BEFORE_SESSION_MAX_MS;
	size_t parsed = 0;
	while ((n = read_body(fd, buf, req.file_reached ? INT64_MAX : session_by)) > 0) {
		if (mp_execute(p, buf, (size_t) n) != (size_t) n)
			return;	/* a syntax error, or a reply has been made */
		parsed += (size_t) n;
		if (!req.file_reached && parsed > BEFORE_SESSION_MAX_BYTES) {
			refuse(ERR_NO_SESSION, "no file part within the first 64 KiB of the body");
			return;
		}
	}
	if (n == 0 && !req.file_reached && monotonic_ms() >= session_by)
		refuse(ERR_NO_SESSION, "no file part within 10 s of the request's start");
}

} // namespace

int upload_run(int in_fd)
{
	char buf[CHUNK];

	reset_request();
	window = { monotonic_ms() + IDLE_TIMEOUT_MS, 0 };
	// Only this process reads the body's pipe; its flags are put back anyway.
	const int in_flags = fcntl(in_fd, F_GETFL);
	if (in_flags >= 0 && !(in_flags & O_NONBLOCK))
		fcntl(in_fd, F_SETFL, in_flags | O_NONBLOCK);
	ssize_t n = 0;
	mp_parser *p = start_request();
	if (p) {
		parse_body(p, in_fd, buf, n);
		mp_free(p);
		// Broken syntax, a body cut short, no file part: still an answer.
		if (!req.replied && n != BODY_IDLE)
			fail_upload(ERR_BAD_REQUEST, n < 0 ? "the body cannot be read" :
				    "not a whole form with a file part");
	}

	if (n == BODY_IDLE) {
		abandon_idle_request();
	} else {
		fflush(stdout);	/* the answer is out before the rest is read */
		drain_body(in_fd, buf);
	}
	if (in_flags >= 0 && !(in_flags & O_NONBLOCK))
		fcntl(in_fd, F_SETFL, in_flags);
	reset_request();	/* closes what the request left open, whatever became of it */
	fflush(stdout);
	return 0;
}
