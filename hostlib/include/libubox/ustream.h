/* Buffered byte streams; ustream_fd runs one over a descriptor in the loop. */
#ifndef HOSTLIB_LIBUBOX_USTREAM_H
#define HOSTLIB_LIBUBOX_USTREAM_H

#include "uloop.h"

struct ustream;
struct ustream_buf;

enum read_blocked_reason {
	READ_BLOCKED_USER = 1,
	READ_BLOCKED_FULL = 2,
};

struct ustream_buf_list {
	struct ustream_buf *head;
	struct ustream_buf *data_tail;
	struct ustream_buf *tail;

	int (*alloc)(struct ustream *s, struct ustream_buf_list *l);

	int data_bytes;

	int min_buffers;
	int max_buffers;
	int buffer_len;

	int buffers;
};

struct ustream {
	struct ustream_buf_list r, w;
	struct uloop_timeout state_change;
	struct ustream *next;

	void (*notify_read)(struct ustream *s, int bytes_new);
	void (*notify_write)(struct ustream *s, int bytes);
	void (*notify_state)(struct ustream *s);

	int (*write)(struct ustream *s, const char *buf, int len, bool more);
	void (*free)(struct ustream *s);
	void (*set_read_blocked)(struct ustream *s);
	bool (*poll)(struct ustream *s);

	bool string_data;
	bool write_error;
	bool eof;
	uint8_t pending_cb;

	enum read_blocked_reason read_blocked;
};

struct ustream_fd {
	struct ustream stream;
	struct uloop_fd fd;
};

struct ustream_buf {
	struct ustream_buf *next;

	char *data;
	char *tail;
	char *end;

	char head[];
};

void ustream_init_defaults(struct ustream *s);
void ustream_free(struct ustream *s);
void ustream_consume(struct ustream *s, int len);
int ustream_write(struct ustream *s, const char *buf, int len, bool more);
char *ustream_get_read_buf(struct ustream *s, int *buflen);
void ustream_set_read_blocked(struct ustream *s, bool set);
void ustream_state_change(struct ustream *s);
bool ustream_write_pending(struct ustream *s);
char *ustream_reserve(struct ustream *s, int len, int *maxlen);
void ustream_fill_read(struct ustream *s, int len);

void ustream_fd_init(struct ustream_fd *s, int fd);

static inline bool ustream_read_blocked(struct ustream *s)
{
	return !!(s->read_blocked & READ_BLOCKED_USER);
}

static inline int ustream_pending_data(struct ustream *s, bool write)
{
	struct ustream_buf_list *b = write ? &s->w : &s->r;
	return b->data_bytes;
}

static inline bool ustream_read_buf_full(struct ustream *s)
{
	struct ustream_buf *buf = s->r.data_tail;
	return buf && buf->data == buf->head && buf->tail == buf->end &&
	       s->r.buffers == s->r.max_buffers;
}

static inline bool ustream_poll(struct ustream *s)
{
	if (!s->poll)
		return false;
	return s->poll(s);
}

#endif
