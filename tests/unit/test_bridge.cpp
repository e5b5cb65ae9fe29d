// quilac's pure logic: options, logger threshold and format, Base64 with its
// block counter, the client registry's keys, order and listing, and the
// publish backlog's bound, hysteresis and order across sessions.
#include "log.h"
#include "backlog.h"
#include "clock.h"
#include "base64.h"
#include "droplog.h"
#include "fleet.h"
#include "mqtt.h"
#include "options.h"
#include "packet_size.h"
#include "registry.h"

extern "C" {
#include <libubox/blobmsg_json.h>
}
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <malloc.h>
#include <mosquitto.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

struct argv_builder {
	std::vector<std::string> words;
	std::vector<char *> ptrs;

	argv_builder(const argv_builder &) = delete;
	argv_builder(std::initializer_list<const char *> w) : words(w.begin(), w.end())
	{
		for (auto &s : words)
			ptrs.push_back(s.data());
		ptrs.push_back(nullptr);
	}
	int argc() const { return (int) words.size(); }
	char **argv() { return ptrs.data(); }
};

// Keeps the words alive as long as the options that point into them.
struct parsed {
	argv_builder args;
	bridge_options opts;
	int ret;

	parsed(std::initializer_list<const char *> w) : args(w)
	{
		ret = parse_options(args.argc(), args.argv(), &opts);
	}
};

TEST(Options, DefaultsAndValues)
{
	parsed a{ "quilac", "-i", "id1" };
	EXPECT_EQ(a.ret, -1);
	EXPECT_STREQ(a.opts.brokers.entries[0], "localhost");
	EXPECT_EQ(a.opts.brokers.count, 1);
	EXPECT_EQ(a.opts.port, 1883);
	EXPECT_EQ(a.opts.log_level, 3);
	EXPECT_TRUE(a.opts.use_syslog);
	EXPECT_FALSE(a.opts.daemonize);
	EXPECT_STREQ(a.opts.client_id, "id1");
	EXPECT_EQ(a.opts.max_workers, 8);
	EXPECT_EQ(a.opts.queue_kib, 4096);
	EXPECT_EQ(a.opts.time_limit_s, 60);

	parsed w{ "quilac", "-w", "3", "-q", "1", "-t", "0", "-i", "x" };
	EXPECT_EQ(w.ret, -1);
	EXPECT_EQ(w.opts.max_workers, 3);
	EXPECT_EQ(w.opts.queue_kib, 1);
	EXPECT_EQ(w.opts.time_limit_s, 0);	/* no limit */
	/* The largest values are taken as they are (what is refused: test_quilac_start). */
	parsed top{ "quilac", "-w", "1024", "-q", "2097152", "-t", "2147483", "-i", "x" };
	EXPECT_EQ(top.ret, -1);
	EXPECT_EQ(top.opts.max_workers, MAX_WORKERS);
	EXPECT_EQ(top.opts.queue_kib, MAX_QUEUE_KIB);
	EXPECT_EQ(top.opts.time_limit_s, MAX_TIME_LIMIT_S);
	/* ... and never wrap round: the timer's milliseconds, a 32-bit size in bytes */
	EXPECT_LE((long long) MAX_TIME_LIMIT_S * 1000, INT32_MAX);
	EXPECT_LE((unsigned long long) MAX_QUEUE_KIB * 1024, UINT32_MAX);

	parsed p{ "quilac", "-d", "-S", "-l", "4", "-b", "00", "-p", "65535", "-i", "a", "-i", "b" };
	EXPECT_EQ(p.ret, -1);
	EXPECT_TRUE(p.opts.daemonize);
	EXPECT_FALSE(p.opts.use_syslog);
	EXPECT_EQ(p.opts.log_level, 4);
	EXPECT_STREQ(p.opts.brokers.entries[0], "00");
	EXPECT_EQ(p.opts.port, 65535);
	EXPECT_STREQ(p.opts.client_id, "b");	/* a repeated option overwrites */

	parsed q{ "quilac", "-b", "h", "-i", "x", "rest", "-b", "0" };
	EXPECT_EQ(q.ret, -1);
	EXPECT_STREQ(q.opts.brokers.entries[0], "h");	/* parsing stopped at "rest" */
	EXPECT_EQ(q.opts.brokers.count, 1);
}

TEST(Options, BrokerEntries)
{
	parsed list{ "quilac", "-b", "a", "-b", "b:1884", "-i", "x" };
	ASSERT_EQ(list.opts.brokers.count, 2);	/* the default is replaced, not kept */
	EXPECT_STREQ(list.opts.brokers.entries[1], "b:1884");

	const struct {
		const char *entry, *host;
		int port;
	} cases[] = {
		{ "h", "h", 1883 }, { "h:1884", "h", 1884 },
		/* no host that could ever be reached */
		{ "", nullptr, 0 }, { ":1883", nullptr, 0 }, { "[]:1883", nullptr, 0 },
		{ " ", nullptr, 0 }, { "host name", nullptr, 0 }, { "h\t", nullptr, 0 },
		{ "[::1]:1885", "::1", 1885 }, { "[fe80::1]", "fe80::1", 1883 },
		{ "fe80::1", "fe80::1", 1883 },	/* more than one colon: an address */
		{ "h:", nullptr, 0 }, { "h:x", nullptr, 0 }, { "[::1]:", nullptr, 0 },
	};
	for (const auto &c : cases) {
		char host[BROKER_HOST_MAX];
		int port = 0;
		bool ok = broker_split(c.entry, 1883, host, sizeof(host), &port);
		EXPECT_EQ(ok, c.host != nullptr) << c.entry;
		if (ok && c.host) {
			EXPECT_STREQ(host, c.host);
			EXPECT_EQ(port, c.port) << c.entry;
		}
	}
}

TEST(Options, EndingCases)
{
	testing::internal::CaptureStdout();
	EXPECT_EQ((parsed{ "/usr/sbin/quilac", "-v", "-x" }.ret), 0);
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "/usr/sbin/quilac 1.0\n");

	testing::internal::CaptureStderr();
	EXPECT_EQ((parsed{ "quilac", "-b", "0" }.ret), 1);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_EQ(err.rfind("Invalid mqtt borker name.\nUsage: quilac [options]\n", 0), 0u);
	EXPECT_NE(err.find(" -l <level>:\tLog output level (default: 3)\n"), std::string::npos);

	testing::internal::CaptureStderr();
	EXPECT_EQ((parsed{ "quilac", "-c" }.ret), 1);
	EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("Usage:", 0), 0u);
}

std::string logged(int open_level, int msg_level, void (*after_open)() = nullptr)
{
	log_open("test", false, open_level);
	if (after_open)
		after_open();
	testing::internal::CaptureStderr();
	log_msg(msg_level, "m%d", msg_level);
	return testing::internal::GetCapturedStderr();
}

TEST(Logger, ThresholdClampAndWholeLines)
{
	EXPECT_EQ(logged(3, 3), "m3\n");
	EXPECT_EQ(logged(3, 4), "");
	EXPECT_EQ(logged(9, 4), "m4\n");
	EXPECT_EQ(logged(-1, 4), "m4\n");
	EXPECT_EQ(logged(0, 0), "m0\n");
	EXPECT_EQ(logged(0, 1), "");
	EXPECT_EQ(logged(4, 2, [] { log_set_level(1); }), "");
	EXPECT_EQ(logged(0, 4, [] { log_set_level(7); }), "m4\n");

	/* one line end, whether the format has one or not, however long the line */
	std::string big(3000, 'x');
	testing::internal::CaptureStderr();
	log_msg(0, "a\n");
	log_msg(0, "%s", big.c_str());
	log_msg(0, "b");
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "a\n" + big + "\nb\n");
}

TEST(Logger, RepeatsSummedUpAtMostOnceAnInterval)
{
	log_open("test", false, 4);
	log_repeat r{};
	testing::internal::CaptureStderr();
	log_repeat_msg(&r, 0, "down: %s", "refused");
	log_repeat_msg(&r, 0, "down: %s", "refused");
	log_repeat_msg(&r, 0, "down: %s", "refused");
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "down: refused\n");

	r.summed_ms -= LOG_REPEAT_INTERVAL_MS;	/* a minute later */
	testing::internal::CaptureStderr();
	log_repeat_msg(&r, 0, "down: %s", "refused");
	log_repeat_msg(&r, 0, "down: %s", "refused");
	log_repeat_msg(&r, 0, "down: %s", "timed out");	/* a change is said at once */
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "repeated 3 more time(s), 4 in all: down: refused\n"
		  "repeated 1 more time(s), 5 in all: down: refused\n"
		  "down: timed out\n");

	testing::internal::CaptureStderr();
	EXPECT_EQ(log_repeat_end(&r), 1u);
	EXPECT_EQ(log_repeat_end(&r), 0u);
	log_repeat_msg(&r, 0, "down: %s", "timed out");	/* new after the end */
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "down: timed out\n");
}

std::string b64(const std::string &in)
{
	char *out = base64_encode(in.data(), in.size());
	std::string s = out ? out : "(null)";
	free(out);
	return s;
}

TEST(PacketSize, FixedHeaderLengths)
{
	struct {
		std::vector<uint8_t> bytes;
		int header;
		uint32_t remaining;
	} const cases[] = {
		{ { 0x30 }, 0, 0 },				// the length not yet in
		{ { 0x30, 0x00 }, 2, 0 },
		{ { 0x30, 0x7f }, 2, 127 },
		{ { 0x30, 0x80 }, 0, 0 },			// more to come
		{ { 0x30, 0x80, 0x01 }, 3, 128 },
		{ { 0x30, 0xff, 0xff, 0xff }, 0, 0 },
		{ { 0x30, 0xff, 0xff, 0xff, 0x7f }, 5, 268435455 },
		{ { 0x30, 0xff, 0xff, 0xff, 0xff }, -1, 0 },	// a fifth length byte
	};
	for (const auto &c : cases) {
		uint32_t remaining = 0;
		EXPECT_EQ(packet_header_parse(c.bytes.data(), (int) c.bytes.size(), &remaining), c.header);
		if (c.header > 0) {
			EXPECT_EQ(remaining, c.remaining);
		}
	}
}

TEST(Base64, Rfc4648VectorsAndBinary)
{
	EXPECT_EQ(b64(""), "");
	EXPECT_EQ(b64("f"), "Zg==");
	EXPECT_EQ(b64("fo"), "Zm8=");
	EXPECT_EQ(b64("foo"), "Zm9v");
	EXPECT_EQ(b64("foob"), "Zm9vYg==");
	EXPECT_EQ(b64("fooba"), "Zm9vYmE=");
	EXPECT_EQ(b64("foobar"), "Zm9vYmFy");
	EXPECT_EQ(b64("AB12CD34EF56"), "QUIxMkNEMzRFRjU2");
	EXPECT_EQ(b64(std::string("\xff\xfe\x00\x80", 4)), "//4AgA==");
}

TEST(Base64, BlocksGrowAtTheBoundary)
{
	std::string in(49149, 'a');
	std::string out = b64(in);
	EXPECT_EQ(bufc, 1);
	EXPECT_EQ(out.size(), 65532u);

	in.push_back('a');	/* 49150 bytes: 65536 characters plus the NUL */
	out = b64(in);
	EXPECT_EQ(bufc, 2);
	EXPECT_EQ(out.size(), 65536u);
	EXPECT_EQ(out.substr(0, 8), "YWFhYWFh");

	std::string big(400000, '\x5a');
	EXPECT_EQ(b64(big).size(), (400000 + 2) / 3 * 4);
	EXPECT_EQ(bufc, 9);	/* 533336 bytes with the NUL need 9 blocks */
}

struct Registry : ::testing::Test {
	blob_buf b = {};

	void SetUp() override
	{
		log_open("test", false, 0);
		client_init();
	}
	void TearDown() override
	{
		for (const char *id : { "AB12CD34EF56", "abc", "b", "Zed", "0", "", "x" })
			client_delete(id);
		blob_buf_free(&b);
	}
	std::string listing(uint32_t offset = 0, uint32_t limit = UINT32_MAX)
	{
		EXPECT_EQ(client_list(&b, offset, limit), 0);
		char *s = blobmsg_format_json(b.head, true);
		std::string out = s;
		free(s);
		return out;
	}
	// The listing without the online times, which depend on the clock.
	std::string listing_no_time(uint32_t offset = 0, uint32_t limit = UINT32_MAX)
	{
		std::string s = listing(offset, limit);
		for (size_t p; (p = s.find("\"online\":")) != std::string::npos;) {
			size_t end = s.find_first_of(",}", p);
			s.erase(p, end - p + (s[end] == ',' ? 1 : 0));
		}
		return s;
	}
};

TEST_F(Registry, EmptyListingHasOnlyCount)
{
	EXPECT_EQ(listing(), "{\"count\":0}");
}

TEST_F(Registry, KeysAreTwelveBytesZeroPaddedAndLongerIdsRefused)
{
	/* cut to its key it would merge with another device */
	EXPECT_EQ(client_update("AB12CD34EF56-tail", "long"), CLIENT_ID_TOO_LONG);
	EXPECT_EQ(client_update("AB12CD34EF56", "same key"), CLIENT_OK);
	client_update("abc", "short");
	client_update("abcd", nullptr);		/* missing info: nothing happens */
	client_update(nullptr, "x");
	EXPECT_EQ(listing_no_time(),
		  "{\"count\":2,\"client\":[{\"index\":0,\"id\":\"AB12CD34EF56\",\"info\":\"same key\"},"
		  "{\"index\":1,\"id\":\"abc\",\"info\":\"short\"}]}");

	client_delete("abcd");			/* not "abc" */
	client_delete("ab");
	EXPECT_NE(listing().find("\"abc\""), std::string::npos);
	EXPECT_EQ(client_delete("AB12CD34EF56-other"), CLIENT_ID_TOO_LONG);
	EXPECT_NE(listing().find("AB12"), std::string::npos);
	EXPECT_EQ(client_delete("AB12CD34EF56"), CLIENT_OK);
	EXPECT_EQ(listing().find("AB12"), std::string::npos);
}

// The group's registry messages come from the network: only a well-formed
// entry changes anything; an empty one removes; other topics are not ours.
TEST_F(Registry, GroupMessagesFromTheBroker)
{
	fleet_configure("g1");
	const struct {
		const char *topic, *payload;
		bool ours;
		const char *listing;
	} cases[] = {
		{ "quilac/g1/client/abc", "{\"online\":5,\"info\":\"i\"}", true,
		  "{\"count\":1,\"client\":[{\"index\":0,\"id\":\"abc\",\"online\":5,\"info\":\"i\"}]}" },
		{ "quilac/g1/client/abc", "{\"online\":7}", true,	/* no info: none */
		  "{\"count\":1,\"client\":[{\"index\":0,\"id\":\"abc\",\"online\":7}]}" },
		{ "quilac/g1/client/abc", "not json", true, nullptr },
		{ "quilac/g1/client/abc", "{\"online\":\"9\"}", true, nullptr },
		{ "quilac/g1/client/abc", "{\"online\":9,\"info\":3}", true, nullptr },
		{ "quilac/g1/client/abc", "{\"online\":9} {}", true, nullptr },
		{ "quilac/g1/client/abc", "{\"online\":9,\"info\":\"", true, nullptr },
		/* never cut to another client's key */
		{ "quilac/g1/client/abc0123456789", "", true, nullptr },
		{ "quilac/g1/client/abc0123456789", "{\"online\":9}", true, nullptr },
		{ "quilac/g2/client/abc", "{\"online\":9}", false, nullptr },
		{ "upload/quilac/g1/client/abc", "{\"online\":9}", false, nullptr },
		{ "quilac/g1/client/abc", "", true, "{\"count\":0}" },
	};
	std::string expected;
	for (const auto &c : cases) {
		std::string topic = c.topic;
		mosquitto_message msg = {};
		msg.topic = topic.data();
		msg.payload = (void *) c.payload;
		msg.payloadlen = (int) strlen(c.payload);
		const char *real;
		EXPECT_EQ(fleet_on_message(&msg, &real), c.ours) << c.topic << " " << c.payload;
		if (c.listing)
			expected = c.listing;
		EXPECT_EQ(listing(), expected) << c.payload;
	}
	fleet_configure(nullptr);
}

TEST_F(Registry, BoundedInEntriesAndInfoBytes)
{
	char id[CLIENT_KEY_LEN];
	auto id_of = [&id](unsigned int i) {
		snprintf(id, sizeof(id), "n%u", i);
		return id;
	};
	for (unsigned int i = 0; i < CLIENT_MAX; i++)
		ASSERT_EQ(client_update(id_of(i), ""), CLIENT_OK);
	testing::internal::CaptureStderr();
	log_set_level(2);
	for (int i = 0; i < 3; i++)
		EXPECT_EQ(client_update("x", "one too many"), CLIENT_FULL);
	log_set_level(0);
	/* a refusal per report must not flood the log: the rest are counted */
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "clients tree full (16384 entries, 16384 bytes of info): 1 update(s) refused, "
		  "the last on x (1 in all)\n");
	EXPECT_EQ(client_update(id_of(7), "an update still fits"), CLIENT_OK);
	for (unsigned int i = 0; i < CLIENT_MAX; i++)
		client_delete(id_of(i));

	std::string half(CLIENT_INFO_BYTES_MAX / 2 - 1, 'i');	/* with its NUL, half the bound */
	EXPECT_EQ(client_update("abc", half.c_str()), CLIENT_OK);
	EXPECT_EQ(client_update("b", (half + "i").c_str()), CLIENT_FULL);
	EXPECT_EQ(client_update("b", half.c_str()), CLIENT_OK);
	EXPECT_EQ(client_update("x", ""), CLIENT_FULL);
	EXPECT_EQ(client_update("b", "shorter"), CLIENT_OK);	/* its old text is given back */
	EXPECT_EQ(client_update("x", "y"), CLIENT_OK);
	EXPECT_EQ(client_count(), 3u);
}

// A listing stops where the next entry could take it beyond its bound: the
// entries before, in order, and "count" the total, so that a caller pages on.
TEST_F(Registry, ListingStopsAtItsByteBound)
{
	char id[CLIENT_KEY_LEN];
	std::string info(100, 'i');
	for (unsigned int i = 0; i < 200; i++) {
		snprintf(id, sizeof(id), "n%03u", i);
		ASSERT_EQ(client_update(id, info.c_str()), CLIENT_OK);
	}
	for (uint32_t offset : { 0u, 150u }) {
		ASSERT_EQ(client_list(&b, offset, UINT32_MAX, 10000), 0);
		EXPECT_LE(blob_raw_len(b.head), 10000u);
		char *text = blobmsg_format_json(b.head, true);
		json_object *o = json_tokener_parse(text);
		free(text);
		json_object *count, *list;
		ASSERT_TRUE(json_object_object_get_ex(o, "count", &count));
		ASSERT_TRUE(json_object_object_get_ex(o, "client", &list));
		EXPECT_EQ(json_object_get_int(count), 200);
		size_t n = json_object_array_length(list);
		EXPECT_GT(n, 30u);
		EXPECT_LT(n, 60u);	/* about 190 bytes each */
		json_object *last, *index;
		last = json_object_array_get_idx(list, n - 1);
		ASSERT_TRUE(json_object_object_get_ex(last, "index", &index));
		EXPECT_EQ(json_object_get_int(index), (int) (offset + n - 1));
		json_object_put(o);
	}
	for (unsigned int i = 0; i < 200; i++) {
		snprintf(id, sizeof(id), "n%03u", i);
		client_delete(id);
	}
}

// A worker's update for a report that arrived before its client's removal
// changes nothing; one for a later report does. Numbers come back from their
// low 31 bits; removals beyond the kept ones leave older reports in doubt.
TEST_F(Registry, UpdateForAReportBeforeTheRemovalIsStale)
{
	uint64_t before = client_report_arrived();
	EXPECT_EQ(client_report_number((uint32_t) before), before);
	client_report_arrived();			/* the "offline/" message */
	client_delete("abc");
	EXPECT_EQ(client_update("abc", "late", before), CLIENT_STALE);
	EXPECT_EQ(client_count(), 0u);
	uint64_t after = client_report_arrived();
	EXPECT_EQ(client_update("abc", "back", after), CLIENT_OK);
	EXPECT_EQ(client_update("b", "another client", before), CLIENT_OK);
	EXPECT_EQ(client_update("abc", "no number: as ever", 0), CLIENT_OK);
	EXPECT_EQ(client_count(), 2u);

	char id[CLIENT_KEY_LEN];
	for (unsigned int i = 0; i <= CLIENT_REMOVALS_KEPT; i++) {
		snprintf(id, sizeof(id), "gone%u", i);
		client_delete(id);
	}
	EXPECT_EQ(client_update("x", "in doubt", after), CLIENT_STALE);
	EXPECT_EQ(client_update("x", "new", client_report_arrived()), CLIENT_OK);
	EXPECT_EQ(client_report_number(UINT32_MAX), 0u);	/* none arrived with it */
}

// A registry lives as long as the daemon: replaced info texts and deleted
// entries give their memory back (seen here without the sanitizers too).
TEST_F(Registry, UpdatesAndDeletesGiveMemoryBack)
{
	auto round = [] {
		for (const char *id : { "AB12CD34EF56", "abc", "b" }) {
			client_update(id, "first info");
			client_update(id, "second, longer info");
		}
		for (const char *id : { "b", "abc", "AB12CD34EF56" })
			client_delete(id);
	};
	round();	/* whatever the C library sets up once */
	long before = (long) mallinfo2().uordblks;
	for (int i = 0; i < 200; i++)
		round();
	EXPECT_EQ(client_count(), 0u);
	/* freed chunks the allocator keeps per thread still count as used: a
	 * little, once; a leak grows with every round */
	EXPECT_LT((long) mallinfo2().uordblks - before, 4096);
}

TEST_F(Registry, OrderIsUnsignedBytesAndUpdateKeepsOnlineTime)
{
	for (const char *id : { "b", "Zed", "0", "" })
		client_update(id, id);
	EXPECT_EQ(listing_no_time(),
		  "{\"count\":4,\"client\":[{\"index\":0,\"id\":\"\",\"info\":\"\"},"
		  "{\"index\":1,\"id\":\"0\",\"info\":\"0\"},{\"index\":2,\"id\":\"Zed\",\"info\":\"Zed\"},"
		  "{\"index\":3,\"id\":\"b\",\"info\":\"b\"}]}");

	/* A page: "count" stays the total, "index" the place in the whole listing */
	const struct {
		uint32_t offset, limit;
		const char *entries;
	} pages[] = {
		{ 1, 2, ",\"client\":[{\"index\":1,\"id\":\"0\",\"info\":\"0\"},"
			"{\"index\":2,\"id\":\"Zed\",\"info\":\"Zed\"}]" },
		{ 3, UINT32_MAX, ",\"client\":[{\"index\":3,\"id\":\"b\",\"info\":\"b\"}]" },
		{ 3, 9, ",\"client\":[{\"index\":3,\"id\":\"b\",\"info\":\"b\"}]" },
		{ 4, 1, "" },
		{ 0, 0, "" },
	};
	for (const auto &p : pages)
		EXPECT_EQ(listing_no_time(p.offset, p.limit), std::string("{\"count\":4") + p.entries + "}")
			<< p.offset << " " << p.limit;

	std::string before = listing();
	size_t at = before.find("\"online\":", before.find("\"Zed\""));
	std::string online = before.substr(at, before.find(',', at) - at);
	client_update("Zed", "new");
	std::string after = listing();
	EXPECT_NE(after.find(online), std::string::npos);
	EXPECT_NE(after.find("\"info\":\"new\""), std::string::npos);

	testing::internal::CaptureStderr();
	log_set_level(4);
	client_update("x", "1");
	client_update("x", "2");
	client_delete("nobody");
	EXPECT_EQ(testing::internal::GetCapturedStderr(), "client add x\nclient update x\n");
}

// A buffer that may not grow beyond `cap` bytes, like one whose memory or
// size limit has been reached.
size_t cap;
bool capped_grow(blob_buf *buf, int minlen)
{
	size_t len = (size_t) buf->buflen + (size_t) minlen;
	if (len > cap)
		return false;
	void *p = realloc(buf->buf, len);
	if (!p)
		return false;
	memset((char *) p + buf->buflen, 0, (size_t) minlen);
	buf->buf = p;
	buf->buflen = (int) len;
	return true;
}

TEST_F(Registry, ListingThatDoesNotFitFailsCleanly)
{
	client_update("AB12CD34EF56", std::string(300, 'i').c_str());
	client_update("abc", "short");
	std::string whole = listing();
	size_t need = blob_pad_len(b.head);

	/* Every size the listing can run out at: an entry, a member or the list */
	for (cap = 0; cap < need; cap++) {
		blob_buf small = {};
		small.grow = capped_grow;
		EXPECT_EQ(client_list(&small), -1) << cap;
		blob_buf_free(&small);
	}
	blob_buf big = {};
	big.grow = capped_grow;
	cap = need;
	EXPECT_EQ(client_list(&big), 0);
	char *s = blobmsg_format_json(big.head, true);
	EXPECT_EQ(s, whole);
	free(s);
	blob_buf_free(&big);
}

// The backlog as a session sees it: a sender that records what it was given
// and numbers it, or refuses with `refuse`.
struct Backlog : ::testing::Test {
	static inline std::vector<std::string> given;
	static inline int next_mid, refuse;
	static inline std::string refuse_topic;
	static inline int lows;

	static int sender(const char *topic, const char *payload, int len, bool, int *mid)
	{
		if (refuse && (refuse_topic.empty() || refuse_topic == topic))
			return refuse;
		given.push_back(std::string(topic) + "|" + std::string(payload, len));
		*mid = ++next_mid;
		return 0;
	}
	void SetUp() override
	{
		log_open("test", false, 0);
		backlog_clear();
		given.clear();
		next_mid = refuse = lows = 0;
		refuse_topic.clear();
		backlog_on_low = [] { lows++; };
	}
	void TearDown() override
	{
		backlog_clear();
		backlog_on_low = nullptr;
	}
	backlog_stats st()
	{
		backlog_stats s;
		backlog_get_stats(&s);
		return s;
	}
	void push_sent(int n, size_t payload)
	{
		std::string p(payload, 'p');
		for (int i = 0; i < n; i++)
			ASSERT_TRUE(backlog_push("t", p.c_str(), (int) p.size()));
		backlog_send(sender, 0);
	}
};

TEST_F(Backlog, BoundAndResumeAtHalfOfCountAndBytes)
{
	/* One that fits no backlog is refused without holding anybody: no
	   acknowledgement would ever release them. */
	std::string huge(BACKLOG_MAX_BYTES, 'h');
	EXPECT_FALSE(backlog_push("t", huge.c_str(), (int) huge.size()));
	EXPECT_FALSE(backlog_high());

	/* By count: full at 1000, low again only at 500. */
	push_sent(BACKLOG_MAX_MESSAGES, 1);
	EXPECT_TRUE(backlog_high());
	EXPECT_FALSE(backlog_push("t", "x", 1));
	int mid = 1;
	while (mid <= BACKLOG_MAX_MESSAGES / 2 - 1)
		backlog_ack(mid++);
	EXPECT_EQ(st().messages, BACKLOG_MAX_MESSAGES / 2 + 1);
	EXPECT_TRUE(backlog_high());
	EXPECT_EQ(lows, 0);
	backlog_ack(mid++);
	EXPECT_FALSE(backlog_high());
	EXPECT_EQ(lows, 1);
	while (mid <= BACKLOG_MAX_MESSAGES)
		backlog_ack(mid++);
	EXPECT_EQ(lows, 1);

	/* By bytes: 16 entries of 64 KiB are full; at nine (above half) still
	   high, at eight low; a push that does not fit counts as the bound. */
	push_sent(15, 65535);
	EXPECT_FALSE(backlog_high());
	EXPECT_FALSE(backlog_push("t", std::string(65536, 'p').c_str(), 65536));
	EXPECT_TRUE(backlog_high());
	push_sent(1, 65535);
	EXPECT_EQ(st().bytes, BACKLOG_MAX_BYTES);
	EXPECT_FALSE(backlog_push("t", "", 0));
	for (int i = 0; i < 7; i++)
		backlog_ack(mid++);
	EXPECT_EQ(st().bytes, BACKLOG_MAX_BYTES / 16 * 9);
	EXPECT_TRUE(backlog_high());
	backlog_ack(mid++);
	EXPECT_EQ(st().bytes, BACKLOG_MAX_BYTES / 2);
	EXPECT_FALSE(backlog_high());
	EXPECT_EQ(lows, 2);
}

TEST_F(Backlog, LostSessionRepublishesUnacknowledgedInOrder)
{
	for (const char *p : { "A", "B", "C" })
		backlog_push("t", p, 1);
	backlog_send(sender, 0);
	EXPECT_EQ(backlog_ack_wait_since_ms(), 0);
	/* an acknowledgement is progress, however old the rest is (a long
	   round trip), so the session is not taken for broken */
	int64_t before_ack = monotonic_ms();
	backlog_ack(2);
	EXPECT_GE(backlog_ack_wait_since_ms(), before_ack);
	backlog_session_lost();
	backlog_push("t", "D", 1);	/* while there is no session */
	EXPECT_EQ(backlog_ack_wait_since_ms(), -1);
	/* 35 days later: beyond what 32 bits of milliseconds hold */
	const int64_t later_ms = monotonic_ms() + 35LL * 24 * 3600 * 1000;
	backlog_send(sender, later_ms);
	backlog_push("t", "D2", 2);
	backlog_send(sender, later_ms + 50000);	/* a newer one does not move the clock */
	EXPECT_EQ(backlog_ack_wait_since_ms(), later_ms);
	EXPECT_EQ(given, (std::vector<std::string>{ "t|A", "t|B", "t|C", "t|A", "t|C", "t|D", "t|D2" }));

	/* A library that cannot take them now (no connection, or one that has
	   just failed: a write into it gives EPIPE) stops the walk, and what it
	   did not take waits behind what was sent before it; one that never
	   will drops that entry alone, counted. */
	given.clear();
	backlog_push("t", "E", 1);
	backlog_push("t", "F", 1);
	for (int rc : { MOSQ_ERR_NO_CONN, MOSQ_ERR_CONN_LOST, MOSQ_ERR_ERRNO, MOSQ_ERR_TLS, MOSQ_ERR_NOMEM }) {
		refuse = rc;
		backlog_send(sender, 0);
		EXPECT_EQ(st().messages, 6) << rc;
	}
	backlog_session_lost();
	EXPECT_EQ(st().refused, 0u);
	refuse = MOSQ_ERR_INVAL;
	refuse_topic = "bad";
	backlog_push("bad", "x", 1);
	backlog_push("t", "G", 1);
	backlog_send(sender, 0);
	EXPECT_EQ(given, (std::vector<std::string>{ "t|A", "t|C", "t|D", "t|D2", "t|E", "t|F", "t|G" }));
	EXPECT_EQ(st().refused, 1u);

	/* A broker that ends every session over the oldest one (too large for
	   it): dropped after so many sessions, counted; the rest goes on. */
	backlog_clear();
	refuse = 0;
	for (const char *p : { "P", "F", "G" })
		backlog_push("t", p, 1);
	for (int i = 1; i < BACKLOG_MAX_TRIES; i++) {
		backlog_send(sender, 0);
		backlog_session_lost();
	}
	EXPECT_EQ(st().messages, 3);
	backlog_send(sender, 0);
	backlog_session_lost();
	EXPECT_EQ(st().messages, 2);
	EXPECT_EQ(st().refused, 2u);
	given.clear();
	backlog_send(sender, 0);
	EXPECT_EQ(given, (std::vector<std::string>{ "t|F", "t|G" }));
	backlog_session_lost();	/* the next oldest has a count of its own */
	EXPECT_EQ(st().messages, 2);
}

} // namespace
