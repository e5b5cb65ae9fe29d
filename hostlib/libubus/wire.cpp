#include "wire.h"
#include <string.h>

namespace ubus_wire {

namespace {

enum class kind { any, int32, int8, string };

constexpr kind attr_kind[UBUS_ATTR_MAX] = {
	[UBUS_ATTR_UNSPEC] = kind::any,
	[UBUS_ATTR_STATUS] = kind::int32,
	[UBUS_ATTR_OBJPATH] = kind::string,
	[UBUS_ATTR_OBJID] = kind::int32,
	[UBUS_ATTR_METHOD] = kind::string,
	[UBUS_ATTR_OBJTYPE] = kind::int32,
	[UBUS_ATTR_SIGNATURE] = kind::any,
	[UBUS_ATTR_DATA] = kind::any,
	[UBUS_ATTR_TARGET] = kind::int32,
	[UBUS_ATTR_ACTIVE] = kind::int8,
	[UBUS_ATTR_NO_REPLY] = kind::int8,
	[UBUS_ATTR_SUBSCRIBERS] = kind::any,
	[UBUS_ATTR_USER] = kind::string,
	[UBUS_ATTR_GROUP] = kind::string,
};

bool well_formed(const blob_attr *attr, kind k)
{
	size_t len = blob_len(attr);
	const char *data = (const char *) blob_data(attr);

	switch (k) {
	case kind::int32:
		return len == 4;
	case kind::int8:
		return len == 1;
	case kind::string:
		return len > 0 && data[len - 1] == 0;
	default:
		return true;
	}
}

} // namespace

void put_header(uint8_t *out, uint8_t type, uint16_t seq, uint32_t peer)
{
	uint16_t s = cpu_to_be16(seq);
	uint32_t p = cpu_to_be32(peer);

	out[0] = 0;
	out[1] = type;
	memcpy(out + 2, &s, 2);
	memcpy(out + 4, &p, 4);
}

header get_header(const uint8_t *in)
{
	header h;
	uint16_t s;
	uint32_t p;

	memcpy(&s, in + 2, 2);
	memcpy(&p, in + 4, 4);
	h.version = in[0];
	h.type = in[1];
	h.seq = be16_to_cpu(s);
	h.peer = be32_to_cpu(p);
	return h;
}

size_t root_len(const uint8_t *in)
{
	uint32_t word;

	if (in[0] != 0)
		return 0;
	memcpy(&word, in + HEADER_SIZE, 4);
	size_t len = be32_to_cpu(word) & BLOB_ATTR_LEN_MASK;
	if (len < sizeof(blob_attr) || ((len + 3) & ~(size_t) 3) > UBUS_MAX_MSGLEN)
		return 0;
	return len;
}

void parse(const blob_attr *root, blob_attr **tb)
{
	blob_attr *pos;
	size_t rem;

	memset(tb, 0, sizeof(*tb) * UBUS_ATTR_MAX);
	blob_for_each_attr(pos, root, rem) {
		unsigned int id = blob_id(pos);
		if (id >= UBUS_ATTR_MAX || blob_is_extended(pos))
			continue;
		if (well_formed(pos, attr_kind[id]))
			tb[id] = pos;
	}
}

} // namespace ubus_wire
