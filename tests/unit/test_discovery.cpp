// The discovery datagram: CRC-32, both Base64 directions, validation, the
// exact bytes of both kinds; the signed announcement and the key file; what an
// AC answers and what an AP accepts from an announcement, with and without a key.
#include "controllers.h"
#include "daemon.h"
#include "datagram.h"
#include "hotplug.h"
#include "json_ptr.h"
#include "rate_limit.h"
#include "strict_json.h"

#include <gtest/gtest.h>
extern "C" {
#include <libubox/uloop.h>
}
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

TEST(Crc32, KnownVectors)
{
	EXPECT_EQ(disc_crc32("", 0), 0u);
	EXPECT_EQ(disc_crc32("a", 1), 0xE8B7BE43u);
	EXPECT_EQ(disc_crc32("123456789", 9), 0xCBF43926u);
	const char *fox = "The quick brown fox jumps over the lazy dog";
	EXPECT_EQ(disc_crc32(fox, strlen(fox)), 0x414FA339u);
}

std::string enc(const char *s)
{
	char *o = disc_base64_encode(s);
	std::string r = o;
	free(o);
	return r;
}

TEST(DiscBase64, EncoderPadding)
{
	EXPECT_EQ(enc(""), "");
	EXPECT_EQ(enc("f"), "Zg==");
	EXPECT_EQ(enc("fo"), "Zm8=");
	EXPECT_EQ(enc("foo"), "Zm9v");
	EXPECT_EQ(enc("foobar"), "Zm9vYmFy");
	EXPECT_EQ(enc("\xff\xfe"), "//4=");
}

TEST(DiscBase64, LenientDecoder)
{
	/* The decoded bytes may hold NULs: their count comes from the case, and the
	 * decoder's terminating NUL must stand right behind them. */
	const struct {
		const char *text;
		std::string bytes;
	} cases[] = {
		{ "Zg==", "f" },
		{ "Zm8=", "fo" },
		{ "Zm9v", "foo" },
		{ "Zm9vYm", "foo" },				/* a trailing partial group adds nothing */
		{ "Zm9", "" },
		{ "", "" },
		{ "!!!!", std::string(3, '\0') },		/* unknown characters count as 0 */
		{ "\x80\xff\x7b\x7f", std::string(3, '\0') },
		{ "Zg==Zm9v", std::string("f\0\0f", 4) },	/* "=" anywhere shortens the result */
		{ "Zm9vYmFy", "foobar" },
	};
	for (const auto &c : cases) {
		char *out = disc_base64_decode(c.text);
		ASSERT_NE(out, nullptr);
		EXPECT_EQ(std::string(out, c.bytes.size()), c.bytes) << c.text;
		EXPECT_EQ(out[c.bytes.size()], '\0') << c.text;
		free(out);
	}
}

TEST(DiscBase64, CanonicalTextOnly)
{
	for (const char *text : { "", "Zg==", "Zm8=", "Zm9v", "Zm9vYmFy", "+/+/" })
		EXPECT_TRUE(disc_base64_is_canonical(text)) << text;
	for (const char *text : { "Zh==", "Zm9=", "Zm9vZ", "Zm9", "Z===", "====", "Zg==Zm9v", "Zg=v",
				  "!!!!", "Zm.v", "Zm\x80v", "Zm9v\n" })
		EXPECT_FALSE(disc_base64_is_canonical(text)) << text;
}

TEST(StrictJson, WholeTextOneValueAsTheGrammarWrites)
{
	const struct {
		const char *text;
		bool ok;
	} cases[] = {
		{ R"({"a":[1,-0.5e+3,"x\u00e9\n",true,false,null,{}]})", true },
		{ " \t\r\n{\"a\":1} \n", true },
		{ "{\"a\":\"\xc3\xa9\"}", true },
		{ "{\"a\":1} x", false },		/* garbage after the object */
		{ "{\"a\":1}{}", false },
		{ "{\"a\":1,\"a\":2}", false },		/* a name twice, however written */
		{ "{\"a\":1,\"\\u0061\":2}", false },
		{ "[{\"a\":{\"b\":1,\"b\":1}}]", false },
		{ "[{\"a\":1},{\"a\":1}]", true },
		{ "{'a':1}", false },
		{ "{\"a\":'x'}", false },
		{ "{\"a\":1,}", false },
		{ "[1,]", false },
		{ "/*c*/{\"a\":1}", false },
		{ "{\"a\":1}//c", false },
		{ "{\"a\":01883}", false },
		{ "{\"a\":1.}", false },
		{ "{\"a\":.5}", false },
		{ "{\"a\":+1}", false },
		{ "{\"a\":1e}", false },
		{ "{\"a\":NaN}", false },
		{ "{\"a\":Infinity}", false },
		{ "{\"a\":tRue}", false },
		{ "{\"a\":\"x\ty\"}", false },		/* raw control character */
		{ "{\"a\":\"\\x\"}", false },		/* unknown escape */
		{ "{\"a\":\"\\u12g4\"}", false },
		{ "{\"a\":\"\xff\"}", false },		/* not UTF-8 */
		{ "{\"a\":\"\xf0\x9f\x98\x80 \\ud83d\\ude00\"}", true },	/* U+1F600 both ways */
		{ "{\"a\":\"\xc0\xaf\"}", false },		/* overlong */
		{ "{\"a\":\"\xe0\x80\xaf\"}", false },
		{ "{\"a\":\"\xed\xa0\x80\"}", false },	/* a surrogate */
		{ "{\"a\":\"\xf4\x90\x80\x80\"}", false },	/* past U+10FFFF */
		{ "{\"a\":\"\xc3\"}", false },		/* cut short */
		{ "{\"a\":\"\\ud800\"}", false },		/* a lone surrogate */
		{ "{\"a\":\"\\udc00\\ud800\"}", false },
		{ "{\"ip\\u0000\":1}", false },		/* json-c would cut the name */
		{ "{\"a\":\"\\u0000\"}", false },
		{ "{\"a\":\"x}", false },
		{ "{\"a\" 1}", false },
		{ "{a:1}", false },
		{ "", false },
		{ "[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]", true },	/* 16 deep */
		{ "[[[[[[[[[[[[[[[[[1]]]]]]]]]]]]]]]]]", false },
	};
	for (const auto &c : cases) {
		json_ptr obj(strict_json_parse(c.text));
		EXPECT_EQ(obj != nullptr, c.ok) << c.text;
	}
}

bytes header(uint32_t magic, uint8_t version, uint8_t type, uint32_t len, uint32_t crc)
{
	bytes b(14);
	for (int i = 0; i < 4; i++) {
		b[i] = (uint8_t) (magic >> (24 - 8 * i));
		b[6 + i] = (uint8_t) (len >> (24 - 8 * i));
		b[10 + i] = (uint8_t) (crc >> (24 - 8 * i));
	}
	b[4] = version;
	b[5] = type;
	return b;
}

// An announcement carrying the Base64 of `json`; with declare_length false its
// length field is 0 (and its CRC is not looked at).
bytes announcement(const std::string &json, bool declare_length = true)
{
	char *b64 = disc_base64_encode(json.c_str());
	std::string text = b64;
	free(b64);
	bytes b = header(DISC_MAGIC, 1, 2, declare_length ? (uint32_t) text.size() : 0,
			 disc_crc32(text.data(), text.size()));
	b.insert(b.end(), text.begin(), text.end());
	return b;
}

// Hands a datagram to the daemon as it receives one from `from`: a NUL behind the data.
void deliver(const bytes &datagram, int fd = -1, const sockaddr_in *from = nullptr)
{
	bytes buf(datagram);
	buf.push_back(0);
	handle_datagram(buf.data(), datagram.size(), fd, (const sockaddr *) from,
			from ? sizeof(*from) : 0);
}

bool accepted(const bytes &b, uint8_t *type = nullptr, std::string *text = nullptr)
{
	/* as the daemon receives it: a NUL always follows the data */
	bytes buf(b);
	buf.push_back(0);
	uint8_t t;
	const char *p;
	bool ok = disc_validate(buf.data(), b.size(), &t, &p);
	if (ok && type)
		*type = t;
	if (ok && text)
		*text = p;
	return ok;
}

TEST(Validate, HeaderRules)
{
	EXPECT_TRUE(accepted(header(DISC_MAGIC, 1, 1, 0, 0)));
	EXPECT_FALSE(accepted(header(DISC_MAGIC, 1, 1, 0, 0xdeadbeef)));	/* the CRC of nothing is 0 */
	EXPECT_FALSE(accepted(bytes(13)));
	EXPECT_FALSE(accepted(header(0xFEDCBAFE, 1, 1, 0, 0)));
	EXPECT_FALSE(accepted(header(DISC_MAGIC, 2, 1, 0, 0)));		/* another version */

	uint8_t type = 0;
	EXPECT_TRUE(accepted(header(DISC_MAGIC, 1, 9, 0, 0), &type));	/* any type: ignored later */
	EXPECT_EQ(type, 9);

	auto with_text = [](uint32_t declared, uint32_t crc, const std::string &text) {
		bytes b = header(DISC_MAGIC, 1, 2, declared, crc);
		b.insert(b.end(), text.begin(), text.end());
		return b;
	};
	std::string text;
	EXPECT_TRUE(accepted(with_text(4, disc_crc32("Zm9v", 4), "Zm9v"), &type, &text));
	EXPECT_EQ(text, "Zm9v");

	const bytes refused[] = {
		with_text(4, disc_crc32("Zm9v", 4) ^ 1, "Zm9v"),
		with_text(2, disc_crc32("Zm", 2), "Zm9v"),		/* more than declared */
		with_text(0, 0, "Q"),					/* length 0 with a payload */
		with_text(5, disc_crc32("Zm9v", 4), "Zm9v"),
		with_text(0xfffffff2u, 0, "Zm9v"),
		with_text(0xffffffffu, 0, "Zm9v"),
		with_text(5, disc_crc32("Zm\0v!", 5), std::string("Zm\0v!", 5)),	/* a NUL inside */
	};
	for (const bytes &b : refused)
		EXPECT_FALSE(accepted(b)) << b.size();
}

struct Loopback : ::testing::Test {
	int rx = -1, tx = -1;
	sockaddr_in addr = {};

	void SetUp() override
	{
		rx = socket(AF_INET, SOCK_DGRAM, 0);
		tx = socket(AF_INET, SOCK_DGRAM, 0);
		addr.sin_family = AF_INET;
		addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		ASSERT_EQ(bind(rx, (sockaddr *) &addr, sizeof(addr)), 0);
		socklen_t len = sizeof(addr);
		getsockname(rx, (sockaddr *) &addr, &len);
		g_ifname = (char *) "lo";
		rate_limit_reset();
	}
	void TearDown() override
	{
		close(rx);
		close(tx);
		g_proto = nullptr;
		g_port = 0;
	}
	bytes receive(int flags = 0)
	{
		bytes b(2048);
		ssize_t n = recv(rx, b.data(), b.size(), flags);
		b.resize(n > 0 ? (size_t) n : 0);
		return b;
	}
};

TEST_F(Loopback, RequestBytes)
{
	EXPECT_EQ(disc_send_request(tx, (sockaddr *) &addr, sizeof(addr)), 14);
	EXPECT_EQ(receive(), (bytes{ 0xFE, 0xDC, 0xBA, 0xFF, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0 }));
}

const char KEY[] = "k3y-for-tests";
const char NONCE[] = "0123456789abcdef0123456789abcdef";


json_ptr payload_json(const bytes &datagram)
{
	std::string text(datagram.begin() + 14, datagram.end());
	char *plain = disc_base64_decode(text.c_str());
	json_ptr obj(json_tokener_parse(plain));
	free(plain);
	return obj;
}

std::string member(json_object *obj, const char *path1, const char *path2 = nullptr)
{
	json_object *v = nullptr;
	json_object_object_get_ex(obj, path1, &v);
	if (path2 && v)
		json_object_object_get_ex(v, path2, &v);
	return v ? json_object_get_string(v) : "(absent)";
}

TEST(Auth, MacOverCanonicalTextAndDatagramLimit)
{
	disc_auth_set_key(KEY, strlen(KEY));
	char hmac[DISC_HMAC_LEN + 1];
	/* The same text and key through Python's hmac module. */
	ASSERT_EQ(disc_auth_sign({ "10.0.0.1", "aa:bb:cc:dd:ee:ff", "mqtt", 1883 }, NONCE, hmac), 0);
	EXPECT_STREQ(hmac, "cff8cc93f59141647e18659d26986701721858570e675fdb4f88185cd391a9c6");
	ASSERT_EQ(disc_auth_sign({ "10.0.0.1", "aa:bb:cc:dd:ee:ff", nullptr, 0 }, "", hmac), 0);
	EXPECT_STREQ(hmac, "5c354d8973c37bb7ab421601f7ad6fecfab5c8c6656f3df1671d21eb69d9cdb8");

	/* Every one of the 64 digits counts: a forgery right in its first half, or
	 * in all but the last digit, is refused. */
	disc_values v = { "10.0.0.1", "aa:bb:cc:dd:ee:ff", nullptr, 0 };
	std::string good = hmac;
	std::string half = good.substr(0, 32) + std::string(32, '0');
	std::string last = good.substr(0, 63) + (good[63] == '0' ? "1" : "0");
	EXPECT_TRUE(disc_auth_verify(v, "", good.c_str()));
	EXPECT_FALSE(disc_auth_verify(v, "", half.c_str()));
	EXPECT_FALSE(disc_auth_verify(v, "", last.c_str()));

	g_port = 65535;
	std::string proto(31, 'p');
	g_proto = proto.data();
	EXPECT_LE(disc_announce_max_len(), DISC_MAX_DATAGRAM);
	proto.assign(600, 'p');
	g_proto = proto.data();
	EXPECT_GT(disc_announce_max_len(), DISC_MAX_DATAGRAM);
	g_proto = nullptr;
	g_port = 0;
	disc_auth_set_key(nullptr, 0);
}

TEST(Auth, NonceIsExactly32LowerCaseHexDigits)
{
	const struct {
		std::string nonce;
		bool ok;
	} cases[] = {
		{ NONCE, true },
		{ "abcdef0123456789abcdef0123456789", true },
		{ "0123456789ABCDEF0123456789abcdef", false },
		{ "0123456789abcdeg0123456789abcdef", false },
		{ "0123456789abcde 0123456789abcdef", false },
		{ "0123456789abcde/0123456789abcdef", false },	/* the codes beside the digits */
		{ "0123456789abcde:0123456789abcdef", false },
		{ "0123456789abcde`0123456789abcdef", false },
		{ std::string(NONCE).substr(1), false },
		{ std::string(NONCE) + "0", false },
		{ "", false },
	};
	for (const auto &c : cases)
		EXPECT_EQ(disc_auth_is_nonce(c.nonce.c_str()), c.ok) << c.nonce;
	char fresh[DISC_NONCE_LEN + 1];
	ASSERT_EQ(disc_auth_new_nonce(fresh), 0);
	EXPECT_TRUE(disc_auth_is_nonce(fresh));
}

TEST(Auth, KeyFileChecks)
{
	char dir[] = "/tmp/quildis-key.XXXXXX";
	ASSERT_TRUE(mkdtemp(dir));
	std::string path = std::string(dir) + "/key";
	const uid_t me = geteuid(), other = me + 1;
	const struct {
		std::string content;
		mode_t mode;
		const char *why;	/* null: accepted */
		uid_t owner;
	} cases[] = {
		{ "k3y-for-tests\n", 0600, nullptr, me },
		{ "k3y-for-tests\r\n", 0400, nullptr, me },
		{ "k3y-for-tests", 0640, "accessible to group or others", me },
		{ "k3y-for-tests", 0604, "accessible to group or others", me },
		{ "k3y-for-tests", 0620, "accessible to group or others", me },
		{ "k3y-for-tests", 0600, "owned by another user, who could read or change it", other },
		{ "", 0600, "empty", me },
		{ "\n\n", 0600, "empty", me },
		{ std::string(1024, 'k') + "\n", 0600, nullptr, me },
		/* every line end at the end goes, however many there are */
		{ std::string(1024, 'k') + "\n\n\n", 0600, nullptr, me },
		{ std::string(1023, 'k') + "\r\n\r\n" + std::string(5000, '\n'), 0600,
		  "longer than 1024 bytes", me },
		{ std::string(1022, 'k') + std::string(300, '\n') + "\r", 0600, nullptr, me },
		{ std::string(1025, 'k'), 0600, "longer than 1024 bytes", me },
		/* what follows the line end is part of the file, not to be dropped */
		{ std::string(1024, 'k') + "\nmore", 0600, "longer than 1024 bytes", me },
	};
	for (const auto &c : cases) {
		unlink(path.c_str());
		int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		ASSERT_EQ(write(fd, c.content.data(), c.content.size()), (ssize_t) c.content.size());
		close(fd);
		chmod(path.c_str(), c.mode);
		if (c.owner != me && (me != 0 || chown(path.c_str(), c.owner, (gid_t) -1) < 0))
			continue;	/* only root can give a file away */
		disc_auth_set_key(nullptr, 0);
		testing::internal::CaptureStderr();
		int r = disc_auth_load_key(path.c_str());
		std::string err = testing::internal::GetCapturedStderr();
		EXPECT_EQ(r, c.why ? -1 : 0) << c.content.size() << " " << c.mode;
		EXPECT_EQ(disc_auth_enabled(), !c.why);
		if (c.why) {
			std::string hint = c.mode == 0600 ? "" : " (chmod 600 it)";
			EXPECT_EQ(err, "quildis: key file " + path + ": " + c.why + hint + "\n");
		}
	}
	/* The line end is not part of the key; a NUL byte is, and what follows it. */
	char a[DISC_HMAC_LEN + 1], b[DISC_HMAC_LEN + 1];
	const char kt[] = "k3y\0for-tests\n";
	int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
	ASSERT_EQ(write(fd, kt, sizeof(kt) - 1), (ssize_t) sizeof(kt) - 1);
	close(fd);
	chmod(path.c_str(), 0600);
	ASSERT_EQ(disc_auth_load_key(path.c_str()), 0);
	disc_auth_sign({ "1.2.3.4", "aa:bb:cc:dd:ee:ff", "x", 1 }, "", a);
	disc_auth_set_key(kt, sizeof(kt) - 2);
	disc_auth_sign({ "1.2.3.4", "aa:bb:cc:dd:ee:ff", "x", 1 }, "", b);
	EXPECT_STREQ(a, b);
	disc_auth_set_key(kt, 3);	/* not only the bytes before the NUL */
	disc_auth_sign({ "1.2.3.4", "aa:bb:cc:dd:ee:ff", "x", 1 }, "", b);
	EXPECT_STRNE(a, b);

	unlink(path.c_str());
	testing::internal::CaptureStderr();
	EXPECT_EQ(disc_auth_load_key(path.c_str()), -1);
	EXPECT_EQ(disc_auth_load_key(dir), -1);
	std::string err = testing::internal::GetCapturedStderr();
	EXPECT_NE(err.find(": No such file or directory\n"), std::string::npos);
	EXPECT_NE(err.find(": not a regular file\n"), std::string::npos);
	rmdir(dir);
	disc_auth_set_key(nullptr, 0);
}

TEST_F(Loopback, KeyedRequestAndAnswer)
{
	bytes req;
	EXPECT_GT(disc_send_request(tx, (sockaddr *) &addr, sizeof(addr), NONCE), 14);
	req = receive();
	uint8_t type;
	EXPECT_TRUE(accepted(req, &type));	/* length and CRC right: old ACs answer it */
	EXPECT_EQ(type, DISC_TYPE_REQUEST);
	EXPECT_EQ(member(payload_json(req).get(), "nonce"), NONCE);

	g_proto = (char *) "mqtt";
	g_port = 1883;
	bytes bare = header(DISC_MAGIC, 1, 1, 0, 0);
	const struct {
		bool keyed;
		const bytes &request;
		const char *nonce;	/* echoed in "auth" */
	} cases[] = {
		{ false, req, "(absent)" },
		{ true, req, NONCE },
		{ true, bare, "" },
	};
	for (const auto &c : cases) {
		disc_auth_set_key(KEY, c.keyed ? strlen(KEY) : 0);
		deliver(c.request, tx, &addr);
		json_ptr ann = payload_json(receive());
		EXPECT_EQ(member(ann.get(), "auth", "nonce"), c.nonce);
		if (!c.keyed)
			continue;
		disc_values v = { "127.0.0.1", "00:00:00:00:00:00", "mqtt", 1883 };
		EXPECT_TRUE(disc_auth_verify(v, c.nonce, member(ann.get(), "auth", "hmac").c_str()));
	}
	disc_auth_set_key(nullptr, 0);
}

TEST_F(Loopback, AcAnswersRequestsOnly)
{
	g_quildis_mode = QUILDIS_AC;
	for (uint8_t type : { 0, 2, 3, 0xff, 1 }) {
		deliver(header(DISC_MAGIC, 1, type, 0, 0), tx, &addr);
		EXPECT_EQ(!receive(MSG_DONTWAIT).empty(), type == DISC_TYPE_REQUEST) << (int) type;
	}
}

TEST_F(Loopback, AnnouncementBytesForFixedInterface)
{
	g_proto = (char *) "mqtt";
	g_port = 1883;
	bytes want = announcement(
		"{ \"ip\": \"127.0.0.1\", \"mac\": \"00:00:00:00:00:00\", \"proto\": \"mqtt\", \"port\": 1883 }");
	EXPECT_EQ(disc_send_announce(tx, (sockaddr *) &addr, sizeof(addr)), (ssize_t) want.size());
	EXPECT_EQ(receive(), want);

	g_proto = nullptr;
	g_port = 0;
	want = announcement("{ \"ip\": \"127.0.0.1\", \"mac\": \"00:00:00:00:00:00\" }");
	disc_send_announce(tx, (sockaddr *) &addr, sizeof(addr));
	EXPECT_EQ(receive(), want);

	/* said once, naming the interface, not for every request */
	char *ifname = g_ifname;
	g_ifname = (char *) "nosuchif0";
	testing::internal::CaptureStderr();
	EXPECT_EQ(disc_send_announce(tx, (sockaddr *) &addr, sizeof(addr)), -1);
	EXPECT_EQ(disc_send_announce(tx, (sockaddr *) &addr, sizeof(addr)), -1);
	EXPECT_EQ(testing::internal::GetCapturedStderr(),
		  "get mac addr failed! interface nosuchif0: No such device\n");
	g_ifname = ifname;
	testing::internal::CaptureStdout();
	disc_send_announce(tx, (sockaddr *) &addr, sizeof(addr));
	receive();
	EXPECT_EQ(testing::internal::GetCapturedStdout(), "interface lo has its addresses again\n");
}

// Hotplug events as the dispatcher would see them: "name VAR=value ...".
std::vector<std::string> events;

int record_event(const char *name, const child_var *vars, size_t n)
{
	std::string e = name;
	for (size_t i = 0; i < n; i++)
		if (vars[i].value)
			e += std::string(" ") + vars[i].name + "=" + vars[i].value;
	events.push_back(e);
	return 0;
}

// An AP's view of announcements: which ones become the profile and which are
// reported to hotplug.
struct ApMode : ::testing::Test {
	hotplug_runner_fn saved_runner = hotplug_runner;

	void SetUp() override
	{
		g_quildis_mode = QUILDIS_AP;
		g_ifname = (char *) "lo";
		g_request_status = 0;
		memset(&g_ac_profile, 0, sizeof(g_ac_profile));
		events.clear();
		hotplug_runner = record_event;
	}
	void TearDown() override
	{
		g_quildis_mode = QUILDIS_AC;
		hotplug_runner = saved_runner;
	}
	void receive(const std::string &json, bool declare_length = true)
	{
		deliver(announcement(json, declare_length));
	}
};

TEST_F(ApMode, ProfileFollowsTheLastEvent)
{
	const std::string first = R"({"ip":"10.0.0.1","mac":"aa:bb:cc:dd:ee:ff","proto":"mqtt","port":1883})";
	const std::string moved = R"({"ip":"10.0.0.1","mac":"aa:bb:cc:dd:ee:ff","proto":"mqtt","port":1884})";
	receive(R"({"ip":"10.0.0.1","mac":"aa:bb:cc:dd:ee:ff","proto":"mqtt"})");	/* no port */
	receive(first + " x");
	receive("not json at all");
	receive(first, false);		/* its length field is 0 */
	/* Base64 of the same with a NUL and an "x", or a NUL, after the object */
	for (const char *b64 : { "eyJpcCI6IjEwLjAuMC4xIiwibWFjIjoiYWE6YmI6Y2M6ZGQ6ZWU6ZmYiLCJwcm90byI6Im1xdHQiLCJwb3J0IjoxODgzfQB4",
				 "eyJpcCI6IjEwLjAuMC4xIiwibWFjIjoiYWE6YmI6Y2M6ZGQ6ZWU6ZmYiLCJwcm90byI6Im1xdHQiLCJwb3J0IjoxODgzfQA=" }) {
		bytes b = header(DISC_MAGIC, 1, 2, (uint32_t) strlen(b64), disc_crc32(b64, strlen(b64)));
		b.insert(b.end(), b64, b64 + strlen(b64));
		deliver(b);
	}
	EXPECT_EQ(g_request_status, 0);

	receive(first);
	EXPECT_EQ(g_request_status, 1);
	EXPECT_STREQ(g_ac_profile.ip, "10.0.0.1");
	EXPECT_STREQ(g_ac_profile.mac, "aa:bb:cc:dd:ee:ff");
	EXPECT_STREQ(g_ac_profile.proto, "mqtt");
	EXPECT_EQ(g_ac_profile.port, 1883);

	/* The AC moves and comes back (or a spoofer's one answer is followed by
	 * the real AC's): each change runs once, the return included. */
	for (const std::string *j : { &first, &moved, &moved, &first, &first })
		receive(*j);
	EXPECT_EQ(g_ac_profile.port, 1883);
	EXPECT_EQ(events, (std::vector<std::string>{
		"quildis MAC=aa:bb:cc:dd:ee:ff IP=10.0.0.1 PORT=1883 PROTO=mqtt",
		"quildis MAC=aa:bb:cc:dd:ee:ff IP=10.0.0.1 PORT=1884 PROTO=mqtt",
		"quildis MAC=aa:bb:cc:dd:ee:ff IP=10.0.0.1 PORT=1883 PROTO=mqtt",
	}));

	/* An event that could not be started is tried again by the next answer. */
	hotplug_runner = [](const char *name, const child_var *vars, size_t n) -> pid_t {
		record_event(name, vars, n);
		return -1;
	};
	receive(moved);
	hotplug_runner = record_event;
	receive(moved);
	receive(moved);
	EXPECT_EQ(events.size(), 5u);
}

// An announcement with one member's JSON text replaced.
std::string announcing(const char *key, const std::string &value)
{
	std::string ip = "\"10.0.0.1\"", mac = "\"aa:bb:cc:dd:ee:ff\"", proto = "\"mqtt\"", port = "1883";
	std::string &v = !strcmp(key, "ip") ? ip : !strcmp(key, "mac") ? mac : !strcmp(key, "proto") ? proto : port;
	v = value;
	return "{\"ip\":" + ip + ",\"mac\":" + mac + ",\"proto\":" + proto + ",\"port\":" + port + "}";
}

TEST_F(ApMode, AnnouncementDifferingInOneValueRaisesTheEvent)
{
	const struct {
		const char *key, *value, *event;	/* event null: none */
	} cases[] = {
		{ "mac", "\"AA:BB:CC:DD:EE:FF\"", nullptr },	/* the same AC */
		{ "mac", "\"AA:BB:CC:DD:EE:00\"", "quildis MAC=aa:bb:cc:dd:ee:00 IP=10.0.0.1 PORT=1883 PROTO=mqtt" },
		{ "ip", "\"10.0.0.2\"", "quildis MAC=aa:bb:cc:dd:ee:ff IP=10.0.0.2 PORT=1883 PROTO=mqtt" },
		{ "mac", "\"aa:bb:cc:dd:ee:00\"", "quildis MAC=aa:bb:cc:dd:ee:00 IP=10.0.0.1 PORT=1883 PROTO=mqtt" },
		{ "proto", "\"mqtts\"", "quildis MAC=aa:bb:cc:dd:ee:ff IP=10.0.0.1 PORT=1883 PROTO=mqtts" },
		{ "port", "8883", "quildis MAC=aa:bb:cc:dd:ee:ff IP=10.0.0.1 PORT=8883 PROTO=mqtt" },
		{ "port", "1883", nullptr },
	};
	for (const auto &c : cases) {
		SetUp();
		receive(announcing("port", "1883"));
		events.clear();
		receive(announcing(c.key, c.value));
		EXPECT_EQ(events, c.event ? std::vector<std::string>{ c.event } : std::vector<std::string>{})
			<< c.key;
	}
}

TEST_F(ApMode, ValuesForHotplugMustBeWhatTheyClaim)
{
	const struct {
		const char *key;
		std::string value;
		bool taken;
	} cases[] = {
		{ "ip", "\"10.0.0.1; reboot\"", false },
		{ "ip", "\"10.0.0.256\"", false },
		{ "ip", "\"10.0.0.1\\u0000x\"", false },
		{ "ip", "167772161", false },
		{ "ip", "\"10.0.0.1\x7f\"", false },
		{ "ip", "\"10.0.0.01\"", false },
		{ "ip", "\"0.0.0.0\"", false },
		{ "ip", "\"0.1.2.3\"", false },
		{ "ip", "\"127.0.0.1\"", false },
		{ "ip", "\"224.0.0.1\"", false },
		{ "ip", "\"255.255.255.255\"", false },
		{ "ip", "\"1.0.0.0\"", true },
		{ "ip", "\"223.255.255.254\"", true },
		{ "ip", "null", false },	/* JSON null counts as absent, for every member */
		{ "mac", "null", false },
		{ "proto", "null", false },
		{ "port", "null", false },
		{ "mac", "\"aa:bb:cc:dd:ee:fg\"", false },
		{ "mac", "\"aa-bb-cc-dd-ee-ff\"", false },
		{ "mac", "\"aa:bb:cc:dd:ee:ff:00\"", false },
		{ "mac", "\"aa:bb:cc:dd:ee:f\x7f\"", false },
		{ "mac", "\"AA:bb:cc:dd:ee:ff\"", true },
		{ "proto", "\"mq\\ntt\"", false },
		{ "proto", "\"mq\x7ftt\"", false },
		{ "proto", "\"$(reboot);\"", false },
		{ "proto", "\"mq\xc3\xa9tt\"", false },
		{ "proto", "\"mq tt\"", false },
		{ "proto", "\"\"", false },
		{ "proto", "1883", false },
		{ "proto", "\"" + std::string(32, 'p') + "\"", false },
		{ "proto", "\"" + std::string(31, 'p') + "\"", true },
		{ "proto", "\"Mqtt-3.1_x+tls\"", true },
		{ "proto", "\"-rf\"", false },
		{ "proto", "\"--\"", false },
		{ "proto", "\"..\"", false },
		{ "proto", "\"_x\"", false },
		{ "proto", "\"9p\"", true },
		{ "port", "0", false },
		{ "port", "-7", false },
		{ "port", "65536", false },
		{ "port", "99999999999", false },
		{ "port", "4294968179", false },	/* 1883 once cut to 32 bits */
		{ "port", "\"1883abc\"", false },
		{ "port", "\"1883\"", false },
		{ "port", "1883.0", false },
		{ "port", "01883", false },	/* not JSON */
		{ "port", "true", false },
		{ "port", "1", true },
		{ "port", "65535", true },
	};
	for (const auto &c : cases) {
		SetUp();
		receive(announcing(c.key, c.value));
		EXPECT_EQ(g_request_status, c.taken ? 1 : 0) << c.key << " " << c.value;
		EXPECT_EQ(events.size(), c.taken ? 1u : 0u) << c.key << " " << c.value;
	}
}

// What the daemon reads of a datagram: exactly DISC_MAX_DATAGRAM bytes are
// taken; one byte more is cut, and the declared length then exceeds the data.
TEST_F(ApMode, DatagramSizeLimitAtItsBoundAndOneBeyond)
{
	int rx = socket(AF_INET, SOCK_DGRAM, 0), tx = socket(AF_INET, SOCK_DGRAM, 0);
	sockaddr_in addr = {};
	addr.sin_family = AF_INET;
	addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	ASSERT_EQ(bind(rx, (sockaddr *) &addr, sizeof(addr)), 0);
	socklen_t len = sizeof(addr);
	getsockname(rx, (sockaddr *) &addr, &len);
	uloop_fd u = {};
	u.fd = rx;

	/* 1008 Base64 characters of JSON padded with blanks: the longest whole
	 * groups that fit; one datagram more than the receiver reads is cut and
	 * then fails the length test. */
	std::string json = announcing("port", "1883");
	json.insert(json.size() - 1, 756 - json.size(), ' ');
	bytes full = announcement(json);
	ASSERT_EQ(full.size(), 14u + 1008);
	for (size_t size : { full.size(), DISC_MAX_DATAGRAM + 1 }) {
		SetUp();
		bytes d = full;
		d.resize(size, 'A');
		uint32_t n = (uint32_t) (size - 14), crc = disc_crc32(d.data() + 14, n);
		for (int i = 0; i < 4; i++) {
			d[6 + i] = (uint8_t) (n >> (24 - 8 * i));
			d[10 + i] = (uint8_t) (crc >> (24 - 8 * i));
		}
		ASSERT_EQ(sendto(tx, d.data(), d.size(), 0, (sockaddr *) &addr, sizeof(addr)), (ssize_t) size);
		on_server_readable(&u, ULOOP_READ);
		EXPECT_EQ(events.size(), size == full.size() ? 1u : 0u) << size;
	}
	close(rx);
	close(tx);
}

// An announcement of the given values with "auth" signed under `key`.
std::string signed_json(const char *key, const char *nonce, const char *ip = "10.0.0.1",
			int port = 1883, int signed_port = 1883)
{
	char hmac[DISC_HMAC_LEN + 1];
	disc_auth_set_key(key, strlen(key));
	disc_auth_sign({ ip, "aa:bb:cc:dd:ee:ff", "mqtt", signed_port }, nonce, hmac);
	disc_auth_set_key(KEY, strlen(KEY));
	return std::string("{\"ip\":\"") + ip + "\",\"mac\":\"aa:bb:cc:dd:ee:ff\",\"proto\":\"mqtt\",\"port\":" +
	       std::to_string(port) + ",\"auth\":{\"nonce\":\"" + nonce + "\",\"hmac\":\"" + hmac + "\"}}";
}

TEST_F(ApMode, KeyedApTakesOnlyTheAnswerToItsLatestRequest)
{
	server_fd.fd = -1;
	disc_auth_set_key(KEY, strlen(KEY));
	memcpy(g_request_nonce, NONCE, sizeof(NONCE));
	std::string good = signed_json(KEY, NONCE);
	std::string cut_hmac = good;
	cut_hmac.erase(cut_hmac.size() - 4, 1);
	const std::string refused[] = {
		announcing("port", "1883"),				/* no "auth" */
		signed_json("another key", NONCE),
		signed_json(KEY, "fedcba9876543210fedcba9876543210"),	/* stale nonce */
		signed_json(KEY, NONCE, "10.0.0.1", 1884, 1883),	/* a value changed */
		cut_hmac,
		R"({"ip":"10.0.0.1","mac":"aa:bb:cc:dd:ee:ff","proto":"mqtt","port":1883,"auth":"x"})",
	};
	for (const auto &j : refused) {
		receive(j);
		EXPECT_EQ(g_request_status, 0) << j;
	}

	/* Signed but unasked for: never taken, but answered with a new request, once a second. */
	receive(signed_json(KEY, ""));
	EXPECT_EQ(g_request_status, 0);
	std::string asked(g_request_nonce);
	EXPECT_NE(asked, NONCE);
	EXPECT_TRUE(disc_auth_is_nonce(asked.c_str()));
	receive(signed_json(KEY, ""));
	EXPECT_EQ(asked, g_request_nonce);

	receive(good);
	EXPECT_EQ(g_request_status, 0);		/* the request above made it stale */
	receive(signed_json(KEY, asked.c_str()));
	EXPECT_EQ(g_request_status, 1);
	/* One answer per request: another one (a second controller's) waits for the next. */
	receive(signed_json(KEY, asked.c_str(), "10.0.0.2"));
	EXPECT_STREQ(g_ac_profile.ip, "10.0.0.1");
	EXPECT_EQ(events.size(), 1u);
	disc_auth_set_key(nullptr, 0);
	g_request_nonce[0] = '\0';
}

} // namespace

namespace {

bool rate_limit_allow(uint32_t addr, int64_t now_ms, bool on_link)
{
	return rate_limit_answer(addr, now_ms, on_link) == rate_answer::UNICAST;
}

TEST(RateLimit, PerSourceAndTotalBounds)
{
	rate_limit_reset();
	const int64_t t0 = 1000000;
	const uint32_t a = htonl(0x0a000001);
	for (int i = 0; i < RATE_SOURCE_BURST; i++)
		EXPECT_TRUE(rate_limit_allow(a, t0, false)) << i;
	EXPECT_FALSE(rate_limit_allow(a, t0, false));
	int others = 0;				/* other sources have their own (bar a shared slot) */
	for (uint32_t i = 2; i < 18; i++)
		others += rate_limit_allow(htonl(0x0a000000 + i), t0, false);
	EXPECT_GE(others, 14);
	EXPECT_FALSE(rate_limit_allow(a, t0 + 1000 / RATE_PER_SOURCE - 1, false));
	EXPECT_TRUE(rate_limit_allow(a, t0 + 1000 / RATE_PER_SOURCE, false));
	EXPECT_FALSE(rate_limit_allow(a, t0 + 1000 / RATE_PER_SOURCE, false));
	/* On the LAN, over its budget: to the whole LAN, at the broadcasts' own rate. */
	for (int i = 0; i < RATE_BROADCAST_BURST; i++)
		EXPECT_EQ(rate_limit_answer(a, t0 + 1000 / RATE_PER_SOURCE, true), rate_answer::BROADCAST);
	EXPECT_EQ(rate_limit_answer(a, t0 + 1000 / RATE_PER_SOURCE, true), rate_answer::NONE);
	EXPECT_EQ(g_rate_stats.broadcast, (uint64_t) RATE_BROADCAST_BURST);
	EXPECT_EQ(g_rate_stats.answered + g_rate_stats.limited, (uint64_t) RATE_SOURCE_BURST + 21);

	/* Many sources at once: the total bound, then its rate. */
	rate_limit_reset();
	uint32_t src = 0x0b000000;
	for (int i = 0; i < RATE_TOTAL_BURST; i++)
		ASSERT_TRUE(rate_limit_allow(htonl(++src), t0, i % 2)) << i;
	EXPECT_FALSE(rate_limit_allow(htonl(++src), t0, true));
	EXPECT_FALSE(rate_limit_allow(htonl(++src), t0 + 1000 / RATE_TOTAL - 1, false));
	EXPECT_TRUE(rate_limit_allow(htonl(++src), t0 + 1000 / RATE_TOTAL, false));
	EXPECT_FALSE(rate_limit_allow(htonl(++src), t0 + 1000 / RATE_TOTAL, false));
	rate_limit_reset();
}

// Sources that meet a victim's slot (found by trying, whatever the key) earn
// it no fresh burst: its answers stay at its own rate.
TEST(RateLimit, ASharedSlotIsNoFreshBudget)
{
	rate_limit_reset();
	const int64_t t0 = 1000000;
	const uint32_t victim = htonl(0x0a000001);
	int answered = 0;
	const int ms = 16384;
	for (int i = 0; i < ms; i++) {
		rate_limit_allow(htonl(0x0c000000 + (uint32_t) i), t0 + i, false);
		answered += rate_limit_allow(victim, t0 + i, false);
	}
	EXPECT_LE(answered, RATE_SOURCE_BURST + ms * RATE_PER_SOURCE / 1000 + 1);
	rate_limit_reset();
}

TEST(Controllers, AddressesFromTheCommandLineAndTheDhcpFile)
{
	const struct {
		const char *text;
		std::vector<std::string> want;
	} cases[] = {
		{ "10.77.0.1\n192.168.1.2\n", { "10.77.0.1", "192.168.1.2" } },
		{ " \t10.77.0.1\r\n10.77.0.1 1.2.3.4", { "10.77.0.1", "1.2.3.4" } },
		{ "10.77.0.01 0.0.0.0 127.0.0.1 224.0.0.1 255.255.255.255 10.77.0.256 "
		  "10.77.0 x 10.77.0.1;reboot -1 10.77.0.9", { "10.77.0.9" } },
		{ "1.0.0.1 1.0.0.2 1.0.0.3 1.0.0.4 1.0.0.5 1.0.0.6 1.0.0.7 1.0.0.8 1.0.0.9",
		  { "1.0.0.1", "1.0.0.2", "1.0.0.3", "1.0.0.4", "1.0.0.5", "1.0.0.6", "1.0.0.7", "1.0.0.8" } },
		{ "", {} },
	};
	char dir[] = "/tmp/quildis-acs.XXXXXX";
	ASSERT_TRUE(mkdtemp(dir));
	std::string path = std::string(dir) + "/ac_address";
	for (const auto &c : cases) {
		int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
		ASSERT_EQ(write(fd, c.text, strlen(c.text)), (ssize_t) strlen(c.text));
		close(fd);
		controller_list l = {};
		controllers_read(&l, path.c_str());
		std::vector<std::string> got;
		for (size_t i = 0; i < l.count; i++)
			got.push_back(inet_ntoa(l.addr[i]));
		EXPECT_EQ(got, c.want) << c.text;
	}
	/* Only the first 512 bytes count, and never a word cut there. */
	std::string big = std::string(503, ' ') + "10.77.0.12";
	int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
	ASSERT_EQ(write(fd, big.data(), big.size()), (ssize_t) big.size());
	close(fd);
	controller_list l = {};
	controllers_read(&l, path.c_str());
	EXPECT_EQ(l.count, 0u);
	unlink(path.c_str());
	controllers_read(&l, path.c_str());	/* no file, no addresses */
	EXPECT_EQ(l.count, 0u);
	rmdir(dir);
}

} // namespace
