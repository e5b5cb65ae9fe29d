// JSON text to blobmsg (through json-c) and blobmsg to JSON text (our own writer,
// so the layout of the output is exactly ours: TAB indentation, "%lf" doubles).
extern "C" {
#include <libubox/blobmsg_json.h>
}
#include <json-c/json.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

bool add_array(blob_buf *b, json_object *arr)
{
	size_t n = json_object_array_length(arr);

	for (size_t i = 0; i < n; i++)
		if (!blobmsg_add_json_element(b, NULL, json_object_array_get_idx(arr, i)))
			return false;
	return true;
}

// Growing output text; any failed allocation poisons it.
struct text {
	char *buf = nullptr;
	size_t len = 0, cap = 0;
	bool failed = false;

	void put(const char *s, size_t n)
	{
		if (failed)
			return;
		if (len + n + 1 > cap) {
			size_t ncap = cap ? cap : 256;
			while (ncap < len + n + 1)
				ncap *= 2;
			char *p = (char *) realloc(buf, ncap);
			if (!p) {
				failed = true;
				return;
			}
			buf = p;
			cap = ncap;
		}
		memcpy(buf + len, s, n);
		len += n;
		buf[len] = 0;
	}
	void put(const char *s) { put(s, strlen(s)); }
	void putc(char c) { put(&c, 1); }

	char *release()
	{
		if (failed || !buf) {
			free(buf);
			return nullptr;
		}
		return buf;
	}
};

struct writer {
	text out;
	blobmsg_json_format_t cb;
	void *priv;
	int indent;	/* < 0: compact */

	void newline(int level)
	{
		if (indent < 0)
			return;
		out.putc('\n');
		for (int i = 0; i < level; i++)
			out.putc('\t');
	}

	void string(const char *s, size_t n)
	{
		static const char hex[] = "0123456789abcdef";

		out.putc('"');
		for (size_t i = 0; i < n; i++) {
			unsigned char c = (unsigned char) s[i];
			const char *esc = nullptr;
			switch (c) {
			case '"': esc = "\\\""; break;
			case '\\': esc = "\\\\"; break;
			case '\b': esc = "\\b"; break;
			case '\n': esc = "\\n"; break;
			case '\t': esc = "\\t"; break;
			case '\r': esc = "\\r"; break;
			}
			if (esc) {
				out.put(esc);
			} else if (c < 0x20) {
				char u[7] = { '\\', 'u', '0', '0', hex[c >> 4], hex[c & 15], 0 };
				out.put(u, 6);
			} else {
				out.putc((char) c);
			}
		}
		out.putc('"');
	}

	void number(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
	{
		char tmp[64];
		va_list ap;
		va_start(ap, fmt);
		int n = vsnprintf(tmp, sizeof(tmp), fmt, ap);
		va_end(ap);
		if (n > 0)
			out.put(tmp, (size_t) n < sizeof(tmp) ? (size_t) n : sizeof(tmp) - 1);
	}

	// `level` is the indentation of the closing bracket.
	void list(const void *data, size_t len, bool array, int level)
	{
		struct blob_attr *pos;
		size_t rem = len;
		bool first = true;

		out.putc(array ? '[' : '{');
		newline(level + 1);
		__blob_for_each_attr(pos, data, rem) {
			/* Nothing beyond an attribute's own bytes is read, however
			 * deeply a malformed one is nested. */
			if (!blobmsg_check_attr_len(pos, false, rem)) {
				out.failed = true;
				break;
			}
			if (!first) {
				out.putc(',');
				newline(level + 1);
			}
			element(pos, array, level + 1);
			first = false;
		}
		newline(level);
		out.putc(array ? ']' : '}');
	}

	void element(blob_attr *attr, bool array, int level)
	{
		if (!array && blob_is_extended(attr)) {
			const char *name = blobmsg_name(attr);
			string(name, strlen(name));
			out.put(indent < 0 ? ":" : ": ");
		}
		value(attr, level);
	}

	void value(blob_attr *attr, int level)
	{
		const char *custom = cb ? cb(priv, attr) : nullptr;
		if (custom) {
			out.put(custom);
			return;
		}

		const char *data = (const char *) blobmsg_data(attr);
		size_t len = blobmsg_data_len(attr);

		switch (blobmsg_type(attr)) {
		case BLOBMSG_TYPE_UNSPEC:
			out.put("null");
			break;
		case BLOBMSG_TYPE_ARRAY:
		case BLOBMSG_TYPE_TABLE:
			list(data, len, blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY, level);
			break;
		case BLOBMSG_TYPE_STRING:
			string(data, strnlen(data, len));
			break;
		case BLOBMSG_TYPE_INT8:
			out.put(len >= 1 && blobmsg_get_u8(attr) ? "true" : "false");
			break;
		case BLOBMSG_TYPE_INT16:
			number("%d", len >= 2 ? (int16_t) blobmsg_get_u16(attr) : 0);
			break;
		case BLOBMSG_TYPE_INT32:
			number("%" PRId32, len >= 4 ? (int32_t) blobmsg_get_u32(attr) : 0);
			break;
		case BLOBMSG_TYPE_INT64:
			number("%" PRId64, len >= 8 ? (int64_t) blobmsg_get_u64(attr) : 0);
			break;
		case BLOBMSG_TYPE_DOUBLE:
			number("%lf", len >= 8 ? blobmsg_get_double(attr) : 0.0);
			break;
		default:
			out.put("null");
			break;
		}
	}
};

} // namespace

extern "C" {

bool blobmsg_add_json_element(struct blob_buf *b, const char *name, struct json_object *obj)
{
	void *cookie;
	bool ok = true;

	switch (json_object_get_type(obj)) {
	case json_type_object:
		cookie = blobmsg_open_table(b, name);
		if (!cookie)
			return false;
		ok = blobmsg_add_object(b, obj);
		blobmsg_close_table(b, cookie);
		return ok;
	case json_type_array:
		cookie = blobmsg_open_array(b, name);
		if (!cookie)
			return false;
		ok = add_array(b, obj);
		blobmsg_close_array(b, cookie);
		return ok;
	case json_type_string:
		return blobmsg_add_field(b, BLOBMSG_TYPE_STRING, name, json_object_get_string(obj),
					 (unsigned int) json_object_get_string_len(obj) + 1) == 0;
	case json_type_boolean:
		return blobmsg_add_u8(b, name, json_object_get_boolean(obj)) == 0;
	case json_type_int: {
		int64_t v = json_object_get_int64(obj);
		if (v >= INT32_MIN && v <= INT32_MAX)
			return blobmsg_add_u32(b, name, (uint32_t) (int32_t) v) == 0;
		return blobmsg_add_u64(b, name, (uint64_t) v) == 0;
	}
	case json_type_double:
		return blobmsg_add_double(b, name, json_object_get_double(obj)) == 0;
	case json_type_null:
		return blobmsg_add_field(b, BLOBMSG_TYPE_UNSPEC, name, NULL, 0) == 0;
	}
	return false;
}

bool blobmsg_add_object(struct blob_buf *b, struct json_object *obj)
{
	json_object_iterator it = json_object_iter_begin(obj);
	json_object_iterator end = json_object_iter_end(obj);

	for (; !json_object_iter_equal(&it, &end); json_object_iter_next(&it))
		if (!blobmsg_add_json_element(b, json_object_iter_peek_name(&it),
					      json_object_iter_peek_value(&it)))
			return false;
	return true;
}

static bool add_json_root(struct blob_buf *b, json_object *obj)
{
	bool ok = false;

	if (obj && json_object_get_type(obj) == json_type_object)
		ok = blobmsg_add_object(b, obj);
	json_object_put(obj);
	return ok;
}

bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str)
{
	return add_json_root(b, json_tokener_parse(str));
}

char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list,
				  blobmsg_json_format_t cb, void *priv, int indent)
{
	if (!attr)
		return NULL;

	writer w{ {}, cb, priv, indent };
	int level = indent < 0 ? 0 : indent;

	if (list) {
		bool array = blob_is_extended(attr) && blobmsg_type(attr) == BLOBMSG_TYPE_ARRAY;
		w.list(blobmsg_data(attr), blobmsg_data_len(attr), array, level);
	} else {
		w.element(attr, false, level);
	}
	return w.out.release();
}

} // extern "C"
