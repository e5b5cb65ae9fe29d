// libFuzzer harness over what the bus hands to a program: the message framing
// and attribute checks of the wire format, then blobmsg parsing with a policy
// and JSON formatting of what passed, as a method handler and `ubus call` do.
extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
}
#include "wire.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

const blobmsg_policy policy[] = {
	{ "id", BLOBMSG_TYPE_STRING },
	{ "n", BLOBMSG_TYPE_INT32 },
	{ "t", BLOBMSG_TYPE_TABLE },
	{ "a", BLOBMSG_TYPE_ARRAY },
	{ "any", BLOBMSG_TYPE_UNSPEC },
	{ "big", BLOBMSG_CAST_INT64 },
};
constexpr int n_policy = sizeof(policy) / sizeof(policy[0]);

void format(blob_attr *attr, bool list)
{
	free(blobmsg_format_json_indent(attr, list, list ? 0 : -1));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < ubus_wire::FRAME_HEAD_SIZE)
		return 0;

	/* Framing as the daemon and the library check it. */
	size_t len = ubus_wire::root_len(data);
	if (!len || len > size - ubus_wire::HEADER_SIZE)
		return 0;
	blob_attr *root = (blob_attr *) malloc(len);
	memcpy(root, data + ubus_wire::HEADER_SIZE, len);

	blob_attr *tb[UBUS_ATTR_MAX];
	ubus_wire::parse(root, tb);

	/* A method call's arguments: parsed with a policy, each slot formatted. */
	if (blob_attr *args = tb[UBUS_ATTR_DATA]) {
		blob_attr *slots[n_policy];
		if (blobmsg_parse(policy, n_policy, slots, blob_data(args), (unsigned int) blob_len(args)) == 0) {
			for (blob_attr *s : slots) {
				if (!s)
					continue;
				if (blobmsg_type(s) == BLOBMSG_TYPE_TABLE || blobmsg_type(s) == BLOBMSG_TYPE_ARRAY) {
					/* nested values are formatted only once their members check out */
					if (blobmsg_check_array(s, BLOBMSG_TYPE_UNSPEC) < 0)
						continue;
				}
				format(s, false);
			}
		}
		/* What `ubus call` prints for a reply whose attributes all check out. */
		blob_attr *cur;
		size_t rem;
		bool valid = true;
		blob_for_each_attr(cur, args, rem)
			valid = valid && blobmsg_check_attr(cur, false) &&
				(blobmsg_type(cur) > BLOBMSG_TYPE_TABLE ||
				 blobmsg_check_array(cur, BLOBMSG_TYPE_UNSPEC) >= 0);
		if (valid)
			format(args, true);
	}
	free(root);
	return 0;
}
