// blob buffers: attributes appended to the current nesting level of one
// growing allocation. Nest cookies are offsets (biased by BLOB_COOKIE), so they
// survive the reallocation of the buffer.
extern "C" {
#include <libubox/blob.h>
}
#include <errno.h>
#include <stdlib.h>
#include <stdint.h>

namespace {

constexpr size_t GROW_STEP = 256;

bool default_grow(blob_buf *buf, int minlen)
{
	size_t delta = ((size_t) minlen + GROW_STEP - 1) / GROW_STEP * GROW_STEP;
	size_t newlen = (size_t) buf->buflen + delta;

	if (minlen <= 0 || newlen > BLOB_ATTR_LEN_MASK)
		return false;

	void *p = realloc(buf->buf, newlen);
	if (!p)
		return false;
	memset((char *) p + buf->buflen, 0, delta);
	buf->buf = p;
	buf->buflen = (int) newlen;
	return true;
}

size_t offset_of(const blob_buf *buf, const blob_attr *attr)
{
	return (const char *) attr - (const char *) buf->buf;
}

blob_attr *attr_at(const blob_buf *buf, size_t offset)
{
	return (blob_attr *) ((char *) buf->buf + offset);
}

void init_attr(blob_attr *attr, int id, unsigned int len)
{
	uint32_t v = ((uint32_t) id << BLOB_ATTR_ID_SHIFT) & BLOB_ATTR_ID_MASK;
	v |= len & BLOB_ATTR_LEN_MASK;
	attr->id_len = cpu_to_be32(v);
}

size_t padded(size_t len)
{
	return (len + BLOB_ATTR_ALIGN - 1) & ~(size_t) (BLOB_ATTR_ALIGN - 1);
}

// Makes room for `bytes` more at the end of the current data; head may move.
bool reserve(blob_buf *buf, size_t end)
{
	if (end <= (size_t) buf->buflen)
		return true;
	if (end > BLOB_ATTR_LEN_MASK)
		return false;
	return blob_buf_grow(buf, (int) (end - buf->buflen));
}

} // namespace

extern "C" {

void blob_set_raw_len(struct blob_attr *attr, unsigned int len)
{
	uint32_t v = be32_to_cpu(attr->id_len) & ~(uint32_t) BLOB_ATTR_LEN_MASK;
	attr->id_len = cpu_to_be32(v | (len & BLOB_ATTR_LEN_MASK));
}

void blob_fill_pad(struct blob_attr *attr)
{
	size_t raw = blob_raw_len(attr);
	memset((char *) attr + raw, 0, padded(raw) - raw);
}

bool blob_buf_grow(struct blob_buf *buf, int required)
{
	size_t head = buf->head ? offset_of(buf, buf->head) : 0;
	bool had_head = buf->head != NULL;

	if (!buf->grow || !buf->grow(buf, required))
		return false;
	if (had_head)
		buf->head = attr_at(buf, head);
	return true;
}

int blob_buf_init(struct blob_buf *buf, int id)
{
	if (!buf->grow)
		buf->grow = default_grow;
	buf->head = NULL;
	if (buf->buflen < (int) sizeof(struct blob_attr) &&
	    !blob_buf_grow(buf, sizeof(struct blob_attr)))
		return -ENOMEM;

	buf->head = (struct blob_attr *) buf->buf;
	init_attr(buf->head, id, sizeof(struct blob_attr));
	return 0;
}

void blob_buf_free(struct blob_buf *buf)
{
	free(buf->buf);
	buf->buf = NULL;
	buf->head = NULL;
	buf->buflen = 0;
}

struct blob_attr *blob_new(struct blob_buf *buf, int id, int payload)
{
	if (payload < 0 || !buf->head)
		return NULL;

	size_t start = offset_of(buf, buf->head) + blob_pad_len(buf->head);
	size_t raw = sizeof(struct blob_attr) + (size_t) payload;
	if (!reserve(buf, start + padded(raw)))
		return NULL;

	blob_attr *attr = attr_at(buf, start);
	memset(attr, 0, padded(raw));
	init_attr(attr, id, (unsigned int) raw);
	blob_set_raw_len(buf->head, (unsigned int) (blob_pad_len(buf->head) + padded(raw)));
	return attr;
}

struct blob_attr *blob_put(struct blob_buf *buf, int id, const void *ptr, unsigned int len)
{
	blob_attr *attr = blob_new(buf, id, (int) len);
	if (!attr)
		return NULL;
	if (len)
		memcpy(blob_data(attr), ptr, len);
	return attr;
}

void *blob_nest_start(struct blob_buf *buf, int id)
{
	size_t parent = offset_of(buf, buf->head);
	blob_attr *nest = blob_new(buf, id, 0);

	if (!nest)
		return NULL;
	buf->head = nest;
	return (void *) (uintptr_t) (parent + BLOB_COOKIE);
}

void blob_nest_end(struct blob_buf *buf, void *cookie)
{
	blob_attr *parent = attr_at(buf, (uintptr_t) cookie - BLOB_COOKIE);
	const char *end = (const char *) buf->head + blob_pad_len(buf->head);

	/* The nested attribute is the parent's last child: the parent ends where it ends. */
	blob_set_raw_len(parent, (unsigned int) (end - (const char *) parent));
	buf->head = parent;
}

struct blob_attr *blob_memdup(struct blob_attr *attr)
{
	size_t len = blob_pad_len(attr);
	blob_attr *copy = (blob_attr *) malloc(len);

	if (copy)
		memcpy(copy, attr, len);
	return copy;
}

} // extern "C"
