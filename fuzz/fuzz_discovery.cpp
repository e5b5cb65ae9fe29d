// libFuzzer harness over quildis' receive path: validation, Base64 decoding,
// JSON parsing, the checks on the values, authentication and the AC profile,
// in both modes. The first input byte picks the mode (bit 0), whether the
// profile starts empty (bit 1) and whether the daemon has a key (bit 2; the
// key is "fuzz-key" and the AP's latest request asked with FUZZ_NONCE); the
// rest is the datagram. With bit 3 set the rest is plain text instead, read
// as strict JSON and as a list of controller addresses (DHCP's file).
#include "controllers.h"
#include "daemon.h"
#include "datagram.h"
#include "hotplug.h"
#include "json_ptr.h"
#include "rate_limit.h"
#include "strict_json.h"

extern "C" {
#include <libubox/uloop.h>
}

#include <stdint.h>
#include <string.h>

namespace {

// Thousands of hotplug events must not start thousands of processes: an event
// is taken as started.
int no_hotplug(const char *, const child_var *, size_t)
{
	return 0;
}

const char FUZZ_KEY[] = "fuzz-key";
const char FUZZ_NONCE[] = "00112233445566778899aabbccddeeff";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static char lo[] = "lo";
	g_ifname = lo;
	hotplug_runner = no_hotplug;
	if (size < 1)
		return 0;

	if (data[0] & 8) {
		char text[DISC_MAX_DATAGRAM + 1] = {};
		memcpy(text, data + 1, size - 1 < DISC_MAX_DATAGRAM ? size - 1 : DISC_MAX_DATAGRAM);
		json_ptr obj(strict_json_parse(text));
		controller_list l = {};
		controllers_parse(&l, text);
		return 0;
	}
	rate_limit_reset();	/* every request is answered: the answer path is what is fuzzed */
	g_quildis_mode = (data[0] & 1) ? QUILDIS_AP : QUILDIS_AC;
	if (data[0] & 2) {
		g_request_status = 0;
		memset(&g_ac_profile, 0, sizeof(g_ac_profile));
	}
	disc_auth_set_key(FUZZ_KEY, (data[0] & 4) ? strlen(FUZZ_KEY) : 0);
	memcpy(g_request_nonce, FUZZ_NONCE, sizeof(FUZZ_NONCE));
	server_fd.fd = -1;	/* a request the AP sends in answer goes nowhere */
	data++;
	size--;

	/* As the daemon receives it: at most 1024 bytes, a NUL behind them. */
	uint8_t buf[DISC_MAX_DATAGRAM + 1] = {};
	size_t n = size < DISC_MAX_DATAGRAM ? size : DISC_MAX_DATAGRAM;
	memcpy(buf, data, n);
	handle_datagram(buf, n, -1, nullptr, 0);
	return 0;
}
