// blob/blobmsg layouts byte for byte, policy parsing, and JSON both ways.
extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/blobmsg_json.h>
}
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <vector>

namespace {

// Big-endian words as they appear on the wire, to compare against dumps.
std::vector<uint8_t> words(std::initializer_list<uint32_t> w)
{
	std::vector<uint8_t> out;
	for (uint32_t v : w)
		for (int shift = 24; shift >= 0; shift -= 8)
			out.push_back((uint8_t) (v >> shift));
	return out;
}

std::vector<uint8_t> bytes_of(const blob_attr *a)
{
	const uint8_t *p = (const uint8_t *) a;
	return std::vector<uint8_t>(p, p + blob_raw_len(a));
}

struct Buf : ::testing::Test {
	blob_buf b = {};
	~Buf() override { blob_buf_free(&b); }

	std::string json(bool list = true, int indent = -1)
	{
		char *s = blobmsg_format_json_indent(b.head, list, indent);
		std::string out = s ? s : "(null)";
		free(s);
		return out;
	}
};

TEST_F(Buf, InitAndU32MatchReferenceBytes)
{
	ASSERT_EQ(blob_buf_init(&b, 0), 0);
	EXPECT_EQ(bytes_of(b.head), words({ 0x00000004 }));

	blobmsg_add_u32(&b, "count", 3);
	EXPECT_EQ(bytes_of(b.head),
		  words({ 0x00000014, 0x85000010, 0x0005636f, 0x756e7400, 0x00000003 }));

	void *arr = blobmsg_open_array(&b, "client");
	void *tbl = blobmsg_open_table(&b, "client");
	blobmsg_add_string(&b, "id", "abc");
	blobmsg_close_table(&b, tbl);
	blobmsg_close_array(&b, arr);

	EXPECT_EQ(bytes_of(b.head),
		  words({ 0x00000044, 0x85000010, 0x0005636f, 0x756e7400, 0x00000003,
			  0x81000030, 0x0006636c, 0x69656e74, 0x00000000,
			  0x82000020, 0x0006636c, 0x69656e74, 0x00000000,
			  0x83000010, 0x00026964, 0x00000000, 0x61626300 }));
}

TEST_F(Buf, NestedSignatureMatchesBusTrace)
{
	blob_buf_init(&b, 0);
	blob_put_string(&b, 2, "demo");
	void *sig = blob_nest_start(&b, 6);
	void *set = blobmsg_open_table(&b, "set");
	blobmsg_add_u32(&b, "id", BLOBMSG_TYPE_STRING);
	blobmsg_add_u32(&b, "n", BLOBMSG_TYPE_INT32);
	blobmsg_close_table(&b, set);
	blobmsg_close_table(&b, blobmsg_open_table(&b, "get"));
	blob_nest_end(&b, sig);

	EXPECT_EQ(bytes_of(b.head),
		  words({ 0x00000048, 0x02000009, 0x64656d6f, 0x00000000, 0x06000038,
			  0x82000028, 0x00037365, 0x74000000, 0x85000010, 0x00026964,
			  0x00000000, 0x00000003, 0x8500000c, 0x00016e00, 0x00000005,
			  0x8200000c, 0x00036765, 0x74000000 }));
}

TEST_F(Buf, JsonArgumentsMatchInvokeTrace)
{
	blob_buf_init(&b, 0);
	void *data = blob_nest_start(&b, 7);
	ASSERT_TRUE(blobmsg_add_json_from_string(&b, "{\"id\":\"x\",\"n\":7}"));
	blob_nest_end(&b, data);

	const blob_attr *attr = (const blob_attr *) blob_data(b.head);
	EXPECT_EQ(bytes_of(attr),
		  words({ 0x07000020, 0x8300000e, 0x00026964, 0x00000000, 0x78000000,
			  0x8500000c, 0x00016e00, 0x00000007 }));
}

TEST_F(Buf, GrowthKeepsCookiesValidAcrossReallocation)
{
	blob_buf_init(&b, 0);
	void *arr = blobmsg_open_array(&b, "big");
	for (int i = 0; i < 5000; i++)
		blobmsg_add_u32(&b, NULL, (uint32_t) i);
	blobmsg_close_array(&b, arr);
	blobmsg_add_string(&b, "after", "yes");

	blob_attr *tb[2];
	const blobmsg_policy pol[] = { { "big", BLOBMSG_TYPE_ARRAY }, { "after", BLOBMSG_TYPE_STRING } };
	ASSERT_EQ(blobmsg_parse(pol, 2, tb, blob_data(b.head), (unsigned int) blob_len(b.head)), 0);
	ASSERT_NE(tb[0], nullptr);
	EXPECT_EQ(blobmsg_check_array(tb[0], BLOBMSG_TYPE_INT32), 5000);
	ASSERT_NE(tb[1], nullptr);
	EXPECT_STREQ(blobmsg_get_string(tb[1]), "yes");
}

TEST_F(Buf, ParseFollowsPolicyRules)
{
	enum { P_ID, P_N, P_ANY, P_ID2, __P_MAX };
	const blobmsg_policy pol[__P_MAX] = {
		[P_ID] = { "id", BLOBMSG_TYPE_STRING },
		[P_N] = { "n", BLOBMSG_TYPE_INT32 },
		[P_ANY] = { "any", BLOBMSG_TYPE_UNSPEC },
		[P_ID2] = { "id", BLOBMSG_TYPE_STRING },
	};
	blob_attr *tb[__P_MAX];

	blob_buf_init(&b, 0);
	EXPECT_EQ(blobmsg_parse(pol, __P_MAX, tb, blob_data(b.head), 0), -EINVAL);
	EXPECT_EQ(blobmsg_parse(pol, __P_MAX, tb, NULL, 4), -EINVAL);

	blobmsg_add_u32(&b, "id", 5);		/* wrong type: ignored */
	blobmsg_add_string(&b, "id", "first");
	blobmsg_add_string(&b, "id", "second");	/* first match wins */
	blobmsg_add_string(&b, "n", "7");	/* wrong type: slot stays empty */
	blobmsg_add_u8(&b, "any", 1);
	blobmsg_add_string(&b, "unknown", "x");

	ASSERT_EQ(blobmsg_parse(pol, __P_MAX, tb, blob_data(b.head), (unsigned int) blob_len(b.head)), 0);
	ASSERT_NE(tb[P_ID], nullptr);
	EXPECT_STREQ(blobmsg_get_string(tb[P_ID]), "first");
	EXPECT_EQ(tb[P_N], nullptr);
	ASSERT_NE(tb[P_ANY], nullptr);
	EXPECT_TRUE(blobmsg_get_bool(tb[P_ANY]));
	EXPECT_EQ(tb[P_ID2], tb[P_ID]);
}

TEST_F(Buf, ParseRejectsMalformedAttributes)
{
	const blobmsg_policy pol[] = { { "s", BLOBMSG_TYPE_STRING } };
	blob_attr *tb[1];

	/* A string whose value lacks its NUL, and an int32 with five bytes. */
	auto bad_string = words({ 0x8300000c, 0x00017300, 0x61626364 });
	EXPECT_EQ(blobmsg_parse(pol, 1, tb, bad_string.data(), (unsigned int) bad_string.size()), -1);
	auto bad_int = words({ 0x8500000d, 0x00017300, 0x00000001, 0x02000000 });
	EXPECT_EQ(blobmsg_parse(pol, 1, tb, bad_int.data(), (unsigned int) bad_int.size()), -1);
	/* A name running past the attribute. */
	auto bad_name = words({ 0x83000008, 0x00ff7373 });
	EXPECT_EQ(blobmsg_parse(pol, 1, tb, bad_name.data(), (unsigned int) bad_name.size()), -1);
	/* A length below the 4-byte header ends the walk: its payload length
	 * would otherwise wrap around. */
	auto short_child = words({ 0x00000010, 0x07000001, 0x83000008, 0x00017300 });
	blob_attr *pos;
	size_t rem;
	int children = 0;
	blob_for_each_attr(pos, (blob_attr *) short_child.data(), rem)
		children++;
	EXPECT_EQ(children, 0);
	EXPECT_EQ(blobmsg_parse(pol, 1, tb, short_child.data() + 4, 12), 0);
	EXPECT_EQ(tb[0], nullptr);

	/* A length beyond the data simply ends the walk. */
	auto truncated = words({ 0x83000100, 0x00017300 });
	EXPECT_EQ(blobmsg_parse(pol, 1, tb, truncated.data(), (unsigned int) truncated.size()), 0);
	EXPECT_EQ(tb[0], nullptr);
}

TEST_F(Buf, JsonRoundTripKeepsTypesAndOrder)
{
	const char *in = "{\"s\":\"t\",\"i\":-5,\"big\":4294967296,\"b\":true,\"f\":false,"
			 "\"d\":1.5,\"n\":null,\"a\":[1,\"x\",[],{}],\"o\":{\"k\":{\"z\":0}}}";
	blob_buf_init(&b, 0);
	ASSERT_TRUE(blobmsg_add_json_from_string(&b, in));
	EXPECT_EQ(json(), "{\"s\":\"t\",\"i\":-5,\"big\":4294967296,\"b\":true,\"f\":false,"
			  "\"d\":1.500000,\"n\":null,\"a\":[1,\"x\",[],{}],\"o\":{\"k\":{\"z\":0}}}");

	blob_attr *tb[2];
	const blobmsg_policy pol[] = { { "i", BLOBMSG_TYPE_INT32 }, { "big", BLOBMSG_TYPE_INT64 } };
	blobmsg_parse(pol, 2, tb, blob_data(b.head), (unsigned int) blob_len(b.head));
	ASSERT_TRUE(tb[0] && tb[1]);
	EXPECT_EQ((int32_t) blobmsg_get_u32(tb[0]), -5);
	EXPECT_EQ(blobmsg_get_u64(tb[1]), 4294967296ull);
}

TEST_F(Buf, JsonRejectsNonObjects)
{
	blob_buf_init(&b, 0);
	EXPECT_FALSE(blobmsg_add_json_from_string(&b, "[1,2]"));
	EXPECT_FALSE(blobmsg_add_json_from_string(&b, "{\"a\":"));
	EXPECT_FALSE(blobmsg_add_json_from_string(&b, "42"));
	EXPECT_EQ(blob_len(b.head), 0u);
}

TEST_F(Buf, IndentedFormatting)
{
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "a", "x");
	blobmsg_close_table(&b, blobmsg_open_table(&b, "t"));
	void *arr = blobmsg_open_array(&b, "arr");
	blobmsg_add_u32(&b, NULL, 1);
	blobmsg_close_array(&b, arr);

	EXPECT_EQ(json(true, -1), "{\"a\":\"x\",\"t\":{},\"arr\":[1]}");
	EXPECT_EQ(json(true, 0), "{\n\t\"a\": \"x\",\n\t\"t\": {\n\t\t\n\t},\n\t\"arr\": [\n\t\t1\n\t]\n}");

	blob_buf_init(&b, 0);
	EXPECT_EQ(json(true, 0), "{\n\t\n}");
}

TEST_F(Buf, StringEscapes)
{
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "k", "q\"b\\\b\n\t\r\x01\x1f/\xc3\xa9");
	EXPECT_EQ(json(), "{\"k\":\"q\\\"b\\\\\\b\\n\\t\\r\\u0001\\u001f/\xc3\xa9\"}");
}

TEST_F(Buf, ArrayRootAndSingleMember)
{
	blob_buf_init(&b, 0);
	void *arr = blobmsg_open_array(&b, "list");
	blobmsg_add_u16(&b, NULL, (uint16_t) -2);
	blobmsg_add_string(&b, NULL, "s");
	blobmsg_close_array(&b, arr);

	blob_attr *list = (blob_attr *) blob_data(b.head);
	char *s = blobmsg_format_json(list, true);
	EXPECT_STREQ(s, "[-2,\"s\"]");
	free(s);
	s = blobmsg_format_json(list, false);
	EXPECT_STREQ(s, "\"list\":[-2,\"s\"]");
	free(s);
}

TEST_F(Buf, PrintfAndStringBuffer)
{
	blob_buf_init(&b, 0);
	blobmsg_printf(&b, "p", "%s-%d", "v", 42);
	blobmsg_add_u8(&b, "after", 0);
	EXPECT_EQ(json(), "{\"p\":\"v-42\",\"after\":false}");
}

} // namespace
