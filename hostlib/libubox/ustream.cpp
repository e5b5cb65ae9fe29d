// Buffered streams. Each direction keeps a singly linked list of buffers:
// `head` holds the oldest unconsumed byte, `data_tail` is the buffer being
// filled, buffers after it are empty spares. With string_data every read
// buffer has one byte more, and a zero byte always follows the buffered data.
extern "C" {
#include <libubox/ustream.h>
}
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <algorithm>

namespace {

int alloc_default(ustream *s, ustream_buf_list *l)
{
	if (l->max_buffers >= 0 && l->buffers >= l->max_buffers)
		return -1;

	size_t extra = (l == &s->r && s->string_data) ? 1 : 0;
	ustream_buf *buf = (ustream_buf *) malloc(sizeof(ustream_buf) + l->buffer_len + extra);
	if (!buf)
		return -1;

	buf->next = nullptr;
	buf->data = buf->tail = buf->head;
	buf->end = buf->head + l->buffer_len;
	if (extra)
		buf->head[0] = 0;

	if (l->tail)
		l->tail->next = buf;
	else
		l->head = buf;
	l->tail = buf;
	if (!l->data_tail)
		l->data_tail = buf;
	l->buffers++;
	return 0;
}

void terminate(ustream *s, ustream_buf *buf)
{
	if (s->string_data)
		*buf->tail = 0;
}

void free_list(ustream_buf_list *l)
{
	for (ustream_buf *buf = l->head; buf;) {
		ustream_buf *next = buf->next;
		free(buf);
		buf = next;
	}
	l->head = l->data_tail = l->tail = nullptr;
	l->data_bytes = 0;
	l->buffers = 0;
}

// Moves the unconsumed bytes of the buffer being filled to its start, when
// enough has been consumed in front of them for the copy to pay off.
void compact(ustream *s, ustream_buf *buf)
{
	size_t gap = buf->data - buf->head;
	if (!gap)
		return;

	size_t size = buf->end - buf->head;
	size_t room = buf->end - buf->tail;
	if (gap > size / 2 || (room < 32 && gap > size / 4) || room == 0) {
		size_t len = buf->tail - buf->data;
		memmove(buf->head, buf->data, len);
		buf->data = buf->head;
		buf->tail = buf->head + len;
		terminate(s, buf);
	}
}

// The first buffer has been consumed completely: keep it for reuse when it is
// the only one holding data, otherwise drop it.
void release_head(ustream *s, ustream_buf_list *l)
{
	ustream_buf *buf = l->head;

	if (buf == l->data_tail || !buf->next) {
		buf->data = buf->tail = buf->head;
		if (l == &s->r)
			terminate(s, buf);
		return;
	}

	l->head = buf->next;
	if (l->tail == buf)
		l->tail = l->head;
	free(buf);
	l->buffers--;
}

void consume_list(ustream *s, ustream_buf_list *l, int len)
{
	l->data_bytes -= len;
	while (len > 0) {
		ustream_buf *buf = l->head;
		int n = std::min<int>(len, (int) (buf->tail - buf->data));
		buf->data += n;
		len -= n;
		if (buf->data == buf->tail)
			release_head(s, l);
	}
}

// Free space in the list's fill buffer, allocating a buffer when allowed.
char *reserve_in(ustream *s, ustream_buf_list *l, int *maxlen)
{
	ustream_buf *buf = l->data_tail;

	if (buf && l == &s->r && buf == l->head)
		compact(s, buf);
	if (buf && buf->tail == buf->end && buf->next) {
		buf = buf->next;
		l->data_tail = buf;
	}
	if (!buf || buf->tail == buf->end) {
		if (l->alloc(s, l) < 0)
			return nullptr;
		buf = l->tail;
		l->data_tail = buf;
	}
	*maxlen = (int) (buf->end - buf->tail);
	return buf->tail;
}

void state_change_cb(uloop_timeout *t)
{
	ustream *s = container_of(t, ustream, state_change);

	if (s->notify_state)
		s->notify_state(s);
}

/* ---- descriptor implementation ---- */

ustream_fd *fd_stream(ustream *s)
{
	return container_of(s, ustream_fd, stream);
}

void fd_update_watch(ustream_fd *sf)
{
	ustream *s = &sf->stream;
	unsigned int flags = 0;

	if (!s->read_blocked && !s->eof)
		flags |= ULOOP_READ;
	if (s->w.data_bytes && !s->write_error)
		flags |= ULOOP_WRITE;

	if (flags)
		uloop_fd_add(&sf->fd, flags | ULOOP_EDGE_TRIGGER | ULOOP_ERROR_CB);
	else
		uloop_fd_delete(&sf->fd);
}

void fd_set_read_blocked(ustream *s)
{
	fd_update_watch(fd_stream(s));
}

// Reads until the descriptor would block, ends, or the buffer is full.
// Returns whether any read delivered data.
bool fd_read_pending(ustream_fd *sf)
{
	ustream *s = &sf->stream;
	bool got = false;

	while (!s->eof && !s->read_blocked) {
		int len;
		char *buf = ustream_reserve(s, 1, &len);
		if (!buf) {
			s->read_blocked = (read_blocked_reason) (s->read_blocked | READ_BLOCKED_FULL);
			break;
		}

		ssize_t n = read(sf->fd.fd, buf, len);
		if (n < 0) {
			if (errno == EINTR)
				continue;
			if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN)
				break;
			n = 0;	/* any other error ends the stream */
		}
		if (n == 0) {
			s->eof = true;
			ustream_state_change(s);
			break;
		}

		got = true;
		ustream_fill_read(s, (int) n);
	}
	return got;
}

bool fd_poll_events(ustream_fd *sf, unsigned int events)
{
	ustream *s = &sf->stream;
	bool got = false;

	if ((events & ULOOP_READ) || sf->fd.error || sf->fd.eof)
		got = fd_read_pending(sf);
	if (events & ULOOP_WRITE)
		ustream_write_pending(s);
	if (sf->fd.error && !s->write_error) {
		s->write_error = true;
		ustream_state_change(s);
	}
	fd_update_watch(sf);
	return got;
}

void fd_uloop_cb(uloop_fd *fd, unsigned int events)
{
	fd_poll_events(container_of(fd, ustream_fd, fd), events);
}

bool fd_poll(ustream *s)
{
	return fd_poll_events(fd_stream(s), ULOOP_READ | ULOOP_WRITE);
}

int fd_write(ustream *s, const char *buf, int len, bool)
{
	for (;;) {
		ssize_t n = write(fd_stream(s)->fd.fd, buf, len);
		if (n >= 0)
			return (int) n;
		if (errno == EINTR)
			continue;
		if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN)
			return 0;
		return -1;
	}
}

void fd_free(ustream *s)
{
	uloop_fd_delete(&fd_stream(s)->fd);
}

} // namespace

extern "C" {

void ustream_init_defaults(struct ustream *s)
{
	auto set_default = [](int &field, int value) {
		if (!field)
			field = value;
	};

	set_default(s->r.min_buffers, 1);
	set_default(s->r.max_buffers, 1);
	set_default(s->r.buffer_len, 4096);
	set_default(s->w.min_buffers, 2);
	set_default(s->w.max_buffers, -1);
	set_default(s->w.buffer_len, 256);
	if (!s->r.alloc)
		s->r.alloc = alloc_default;
	if (!s->w.alloc)
		s->w.alloc = alloc_default;

	s->state_change.cb = state_change_cb;
	s->write_error = false;
	s->eof = false;
	s->read_blocked = (read_blocked_reason) 0;
	s->r.buffers = s->w.buffers = 0;
	s->r.data_bytes = s->w.data_bytes = 0;
}

void ustream_free(struct ustream *s)
{
	if (s->free)
		s->free(s);
	uloop_timeout_cancel(&s->state_change);
	free_list(&s->r);
	free_list(&s->w);
}

void ustream_state_change(struct ustream *s)
{
	uloop_timeout_set(&s->state_change, 0);
}

char *ustream_reserve(struct ustream *s, int, int *maxlen)
{
	return reserve_in(s, &s->r, maxlen);
}

void ustream_fill_read(struct ustream *s, int len)
{
	ustream_buf *buf = s->r.data_tail;

	buf->tail += len;
	s->r.data_bytes += len;
	terminate(s, buf);
	if (s->notify_read)
		s->notify_read(s, s->r.data_bytes);
}

char *ustream_get_read_buf(struct ustream *s, int *buflen)
{
	ustream_buf *buf = s->r.head;
	int len = buf ? (int) (buf->tail - buf->data) : 0;

	if (buflen)
		*buflen = len;
	return len ? buf->data : NULL;
}

// The owner stops (set) or resumes reading; the stream's own reason for
// stopping (a full buffer) is kept apart.
void ustream_set_read_blocked(struct ustream *s, bool set)
{
	int flags = s->read_blocked;

	if (set)
		flags |= READ_BLOCKED_USER;
	else
		flags &= ~READ_BLOCKED_USER;
	if (flags == s->read_blocked)
		return;
	s->read_blocked = (read_blocked_reason) flags;
	if (s->set_read_blocked)
		s->set_read_blocked(s);
}

void ustream_consume(struct ustream *s, int len)
{
	if (len <= 0)
		return;
	if (len > s->r.data_bytes)
		abort();

	consume_list(s, &s->r, len);
	if (s->read_blocked & READ_BLOCKED_FULL) {
		s->read_blocked = (read_blocked_reason) (s->read_blocked & ~READ_BLOCKED_FULL);
		if (s->set_read_blocked)
			s->set_read_blocked(s);
	}
}

bool ustream_write_pending(struct ustream *s)
{
	int total = 0;

	while (s->w.data_bytes && !s->write_error) {
		ustream_buf *buf = s->w.head;
		int n = s->write(s, buf->data, (int) (buf->tail - buf->data), false);
		if (n < 0) {
			s->write_error = true;
			ustream_state_change(s);
			break;
		}
		if (n == 0)
			break;
		consume_list(s, &s->w, n);
		total += n;
	}
	if (total && s->notify_write)
		s->notify_write(s, total);
	return !s->w.data_bytes;
}

int ustream_write(struct ustream *s, const char *buf, int len, bool more)
{
	if (s->write_error || len <= 0)
		return 0;

	int done = 0;
	if (!s->w.data_bytes) {
		done = s->write(s, buf, len, more);
		if (done < 0) {
			s->write_error = true;
			ustream_state_change(s);
			return 0;
		}
		if (done == len)
			return done;
	}

	while (done < len) {
		int room;
		char *dst = reserve_in(s, &s->w, &room);
		if (!dst)
			break;
		int n = std::min(room, len - done);
		memcpy(dst, buf + done, n);
		s->w.data_tail->tail += n;
		s->w.data_bytes += n;
		done += n;
	}
	if (s->set_read_blocked)
		s->set_read_blocked(s);	/* refreshes the descriptor's watch for WRITE */
	return done;
}

void ustream_fd_init(struct ustream_fd *sf, int fd)
{
	ustream *s = &sf->stream;

	ustream_init_defaults(s);
	sf->fd.fd = fd;
	sf->fd.cb = fd_uloop_cb;
	s->set_read_blocked = fd_set_read_blocked;
	s->write = fd_write;
	s->free = fd_free;
	s->poll = fd_poll;
	fd_update_watch(sf);
}

} // extern "C"
