// blobmsg: blob attributes with the extended bit, a name header and a typed value.
extern "C" {
#include <libubox/blobmsg.h>
}
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

bool value_ok(int type, const char *data, size_t len)
{
	switch (type) {
	case BLOBMSG_TYPE_STRING:
		return len > 0 && data[len - 1] == 0;
	case BLOBMSG_TYPE_INT8:
		return len == 1;
	case BLOBMSG_TYPE_INT16:
		return len == 2;
	case BLOBMSG_TYPE_INT32:
		return len == 4;
	case BLOBMSG_TYPE_INT64:
		return len == 8;
	case BLOBMSG_TYPE_DOUBLE:
		return len >= 8;
	default:
		return true;
	}
}

bool type_matches(int want, int have)
{
	if (want == BLOBMSG_TYPE_UNSPEC)
		return true;
	if (want == BLOBMSG_CAST_INT64)
		return have == BLOBMSG_TYPE_INT8 || have == BLOBMSG_TYPE_INT16 ||
		       have == BLOBMSG_TYPE_INT32 || have == BLOBMSG_TYPE_INT64;
	return want == have;
}

blob_attr *blobmsg_new(blob_buf *buf, int type, const char *name, size_t payload, void **data)
{
	size_t namelen = name ? strlen(name) : 0;
	if (namelen > 0xffff)
		return nullptr;

	int hdrlen = blobmsg_hdrlen((unsigned int) namelen);
	blob_attr *attr = blob_new(buf, type, (int) (hdrlen + payload));
	if (!attr)
		return nullptr;

	attr->id_len |= cpu_to_be32(BLOB_ATTR_EXTENDED);
	blobmsg_hdr *hdr = (blobmsg_hdr *) blob_data(attr);
	hdr->namelen = cpu_to_be16((uint16_t) namelen);
	if (namelen)
		memcpy(hdr->name, name, namelen);
	hdr->name[namelen] = 0;
	*data = (char *) hdr + hdrlen;
	return attr;
}

// Offset of the string attribute opened by blobmsg_alloc_string_buffer: it
// lies just past the current head and is not yet counted in the head's length.
blob_attr *pending_string(blob_buf *buf)
{
	return blob_next(buf->head);
}

} // namespace

extern "C" {

bool blobmsg_check_attr_len(const struct blob_attr *attr, bool name, size_t len)
{
	if (len < sizeof(struct blob_attr))
		return false;

	size_t raw = blob_raw_len(attr);
	if (raw < sizeof(struct blob_attr) || raw > len)
		return false;

	size_t data_len = blob_len(attr);
	const char *data = (const char *) blob_data(attr);

	if (blob_is_extended(attr)) {
		if (data_len < sizeof(struct blobmsg_hdr))
			return false;
		const blobmsg_hdr *hdr = (const blobmsg_hdr *) data;
		size_t namelen = blobmsg_namelen(hdr);
		size_t hdrlen = (size_t) blobmsg_hdrlen((unsigned int) namelen);
		if (hdrlen > data_len || hdr->name[namelen] != 0)
			return false;
		data += hdrlen;
		data_len -= hdrlen;
	} else if (name) {
		return false;
	}

	int type = blobmsg_type(attr);
	if (type > BLOBMSG_TYPE_LAST)
		return false;
	return value_ok(type, data, data_len);
}

bool blobmsg_check_attr(const struct blob_attr *attr, bool name)
{
	return blobmsg_check_attr_len(attr, name, blob_raw_len(attr));
}

int blobmsg_check_array_len(const struct blob_attr *attr, int type, size_t blob_len_limit)
{
	struct blob_attr *cur;
	size_t rem;
	int count = 0;
	bool named = blobmsg_type(attr) == BLOBMSG_TYPE_TABLE;

	if (blob_raw_len(attr) > blob_len_limit)
		return -1;

	blobmsg_for_each_attr(cur, attr, rem) {
		if (type != BLOBMSG_TYPE_UNSPEC && blobmsg_type(cur) != type)
			return -1;
		if (!blobmsg_check_attr_len(cur, named, rem))
			return -1;
		count++;
	}
	return count;
}

int blobmsg_check_array(const struct blob_attr *attr, int type)
{
	return blobmsg_check_array_len(attr, type, blob_raw_len(attr));
}

int blobmsg_parse(const struct blobmsg_policy *policy, int policy_len,
		  struct blob_attr **tb, void *data, unsigned int len)
{
	struct blob_attr *attr;
	size_t rem = len;

	memset(tb, 0, policy_len * sizeof(*tb));
	if (!data || !len)
		return -EINVAL;

	__blob_for_each_attr(attr, data, rem) {
		if (!blob_is_extended(attr))
			continue;
		if (!blobmsg_check_attr_len(attr, false, rem))
			return -1;

		const char *name = blobmsg_name(attr);
		int type = blobmsg_type(attr);
		for (int i = 0; i < policy_len; i++) {
			if (!policy[i].name || tb[i])
				continue;
			if (!type_matches(policy[i].type, type))
				continue;
			if (strcmp(policy[i].name, name) != 0)
				continue;
			tb[i] = attr;
		}
	}
	return 0;
}

int blobmsg_add_field(struct blob_buf *buf, int type, const char *name,
		      const void *data, unsigned int len)
{
	void *dst;
	blob_attr *attr = blobmsg_new(buf, type, name, len, &dst);

	if (!attr)
		return -1;
	if (len)
		memcpy(dst, data, len);
	return 0;
}

void *blobmsg_open_nested(struct blob_buf *buf, const char *name, bool array)
{
	size_t parent = (char *) buf->head - (char *) buf->buf;
	void *data;
	blob_attr *nest = blobmsg_new(buf, array ? BLOBMSG_TYPE_ARRAY : BLOBMSG_TYPE_TABLE,
				      name, 0, &data);

	if (!nest)
		return NULL;
	buf->head = nest;
	return (void *) (uintptr_t) (parent + BLOB_COOKIE);
}

void *blobmsg_alloc_string_buffer(struct blob_buf *buf, const char *name, unsigned int maxlen)
{
	void *data;
	blob_attr *attr = blobmsg_new(buf, BLOBMSG_TYPE_STRING, name, maxlen, &data);

	if (!attr)
		return NULL;
	/* Uncount it: blobmsg_add_string_buffer commits it at its final length. */
	blob_set_raw_len(buf->head, (unsigned int) (blob_pad_len(buf->head) - blob_pad_len(attr)));
	return data;
}

void blobmsg_add_string_buffer(struct blob_buf *buf)
{
	blob_attr *attr = pending_string(buf);
	char *value = (char *) blobmsg_data(attr);
	size_t raw = (size_t) (value - (char *) attr) + strlen(value) + 1;

	blob_set_raw_len(attr, (unsigned int) raw);
	blob_fill_pad(attr);
	blob_set_raw_len(buf->head, (unsigned int) (blob_pad_len(buf->head) + blob_pad_len(attr)));
}

int blobmsg_vprintf(struct blob_buf *buf, const char *name, const char *format, va_list arg)
{
	va_list copy;
	va_copy(copy, arg);
	int len = vsnprintf(NULL, 0, format, copy);
	va_end(copy);
	if (len < 0)
		return -1;

	char *data = (char *) blobmsg_alloc_string_buffer(buf, name, (unsigned int) len + 1);
	if (!data)
		return -1;
	len = vsnprintf(data, (size_t) len + 1, format, arg);
	blobmsg_add_string_buffer(buf);
	return len;
}

int blobmsg_printf(struct blob_buf *buf, const char *name, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	int ret = blobmsg_vprintf(buf, name, format, ap);
	va_end(ap);
	return ret;
}

} // extern "C"
