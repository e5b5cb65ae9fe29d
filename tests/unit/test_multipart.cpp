// The multipart parser: the worked example, edge cases, and a property test
// that feeds generated bodies whole, cut at every position and byte by byte.
#include "multipart.h"

#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

struct event {
	char kind;		/* B begin, N name, V value, H headers done, D data, E end, F final */
	std::string text;
	bool operator==(const event &o) const { return kind == o.kind && text == o.text; }
};

std::ostream &operator<<(std::ostream &os, const event &e)
{
	return os << e.kind << "[" << e.text << "]";
}

using events = std::vector<event>;

struct recorder {
	events got;
	char stop_on = 0;	/* kind whose callback asks to stop */
	int stop_at = -1;	/* ...on its n-th call */
	int seen = 0;

	int note(char kind, const char *data = nullptr, size_t len = 0)
	{
		got.push_back({ kind, data ? std::string(data, len) : std::string() });
		if (kind == stop_on && seen++ == stop_at)
			return 1;
		return 0;
	}
};

recorder *rec(mp_parser *p)
{
	return (recorder *) mp_get_user_data(p);
}

const mp_callbacks callbacks = {
	.on_name = [](mp_parser *p, const char *d, size_t n) { return rec(p)->note('N', d, n); },
	.on_value = [](mp_parser *p, const char *d, size_t n) { return rec(p)->note('V', d, n); },
	.on_data = [](mp_parser *p, const char *d, size_t n) { return rec(p)->note('D', d, n); },
	.on_part_begin = [](mp_parser *p) { return rec(p)->note('B'); },
	.on_headers_done = [](mp_parser *p) { return rec(p)->note('H'); },
	.on_part_end = [](mp_parser *p) { return rec(p)->note('E'); },
	.on_final_delim = [](mp_parser *p) { return rec(p)->note('F'); },
};

// Feeds `body` in the given pieces; returns the results of mp_execute.
std::vector<size_t> feed(recorder &r, const std::string &delim, const std::string &body,
			 const std::vector<size_t> &cuts = {})
{
	mp_parser *p = mp_create(delim.c_str(), &callbacks);
	mp_set_user_data(p, &r);
	std::vector<size_t> results;
	size_t start = 0;
	std::vector<size_t> ends(cuts);
	ends.push_back(body.size());
	for (size_t end : ends) {
		size_t n = end - start;
		size_t ret = mp_execute(p, body.data() + start, n);
		results.push_back(ret);
		if (ret != n)
			break;
		start = end;
	}
	mp_free(p);
	return results;
}

// Consecutive pieces of one run merged, as a reader of the runs sees them.
events merged(const events &in)
{
	events out;
	for (const event &e : in) {
		bool run = e.kind == 'N' || e.kind == 'V' || e.kind == 'D';
		if (run && !out.empty() && out.back().kind == e.kind)
			out.back().text += e.text;
		else
			out.push_back(e);
	}
	return out;
}

// The events of one kind, in order.
events only(char kind, const events &in)
{
	events out;
	for (const event &e : in)
		if (e.kind == kind)
			out.push_back(e);
	return out;
}

const std::string CRLF = "\r\n";
const std::string example = "--B\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\nab\r\n--B--\r\n";

TEST(Multipart, WorkedExample)
{
	recorder r;
	EXPECT_EQ(feed(r, "--B", example), (std::vector<size_t>{ example.size() }));
	EXPECT_EQ(r.got, (events{ { 'B', "" }, { 'N', "Content-Disposition" },
				  { 'V', "form-data; name=\"x\"" }, { 'H', "" }, { 'D', "ab" },
				  { 'E', "" }, { 'F', "" } }));

	recorder cut;
	feed(cut, "--B", example, { example.find("ab") + 1 });
	EXPECT_EQ(cut.got[4], (event{ 'D', "a" }));
	EXPECT_EQ(cut.got[5], (event{ 'D', "b" }));
}

TEST(Multipart, HeldBackBytesOfAFailedDelimiter)
{
	std::string body = "--B\r\nA:1\r\n\r\nx\r\n--Q\r\n--B--";
	recorder r;
	feed(r, "--B", body);
	EXPECT_EQ(only('D', r.got), (events{ { 'D', "x" }, { 'D', "\r\n--" }, { 'D', "Q" } }));
}

// Where parsing stops; a stop at the body's size means it was all taken. A
// part never ends at a delimiter whose line turns out malformed.
TEST(Multipart, SyntaxStops)
{
	const std::string part = "--B\r\nA:v\r\n\r\nc\r\n";
	struct { std::string body; size_t stop; } cases[] = {
		{ "x--B\r\n", 6 },			/* a preamble */
		{ "--b\r\n", 5 },			/* other letter case: a preamble too */
		{ "\r\n--B\r\n", 7 },
		{ "---B\r\n--B \t\r\nA:v\r\n", 18 },	/* padding after the first delimiter */
		{ "--B \tx", 5 },
		{ "--B--\r\n", 3 },			/* an empty form */
		{ "--B\rx", 4 },
		{ "--B\r\nX-1:v\r\n", 12 },		/* token characters in a name */
		{ "--B\r\nContent-MD5!#$%&'*+.^_`|~:v\r\n", 34 },
		{ "--B\r\nAbc :", 8 },			/* space before the colon */
		{ "--B\r\nAbc\r\n\r\nx", 8 },		/* no colon at all */
		{ "--B\r\nA(:", 6 },
		{ "--B\r\n:v\r\n", 5 },			/* no name */
		{ "--B\r\nA:v\nB:w\r\n", 8 },		/* a bare LF in a value */
		{ "--B\r\nA: \t\x80\x01", 10 },		/* a control character */
		{ "--B\r\nA:v\rx", 9 },
		{ "--B\r\nabcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-:v\rx", 61 },
		{ "--B\r\nA:v\r\n\rx", 11 },
		{ part + "--Bx", 18 },
		{ part + "--B-x", 19 },
		{ part + "--B \t\r\n", 22 },		/* padding after a delimiter */
		{ part + "--B \tx", 20 },
		{ part + "--B\rx", 19 },
	};
	for (auto &c : cases) {
		recorder r;
		EXPECT_EQ(feed(r, "--B", c.body)[0], c.stop) << c.body;
		if (c.stop < c.body.size()) {
			EXPECT_EQ(only('E', r.got), events{}) << c.body;
		}
	}
}

TEST(Multipart, SplitRunsAndHeldCrAcrossBuffers)
{
	std::string body = "--B\r\nContent-Disposition:v\r\n\r\nab\r\r\n--B--\r\nepilogue";
	recorder r;
	size_t content = body.find("ab");
	feed(r, "--B", body, { body.find("Disposition"), body.find(':'), body.find("v\r") + 2,
			       content, content + 1 });
	/* The piece that starts with the colon is empty; the value, whose CR ends
	 * a buffer, comes once. */
	EXPECT_EQ(only('N', r.got), (events{ { 'N', "Content-" }, { 'N', "Disposition" }, { 'N', "" } }));
	EXPECT_EQ(only('V', r.got), (events{ { 'V', "v" } }));

	/* Content ending in CR: the CR as a held piece, then an empty piece. */
	recorder whole;
	feed(whole, "--B", body);
	EXPECT_EQ(only('D', whole.got), (events{ { 'D', "ab" }, { 'D', "\r" }, { 'D', "" } }));
}

TEST(Multipart, EmptyContentAndEmptyNamePiece)
{
	recorder r;
	std::string body = "--B\r\nA:v\r\n\r\n\r\n--B--";
	feed(r, "--B", body, { body.find(':') });
	EXPECT_EQ(r.got, (events{ { 'B', "" }, { 'N', "A" }, { 'N', "" }, { 'V', "v" }, { 'H', "" },
				  { 'D', "" }, { 'E', "" }, { 'F', "" } }));
}

TEST(Multipart, CallbackStopsAtItsByte)
{
	recorder r;
	r.stop_on = 'D';
	r.stop_at = 0;
	std::string body = "--B\r\nA:v\r\n\r\nabc";
	EXPECT_EQ(feed(r, "--B", body)[0], body.size() - 1);	/* delivered at the last byte */

	recorder e;
	e.stop_on = 'E';
	e.stop_at = 0;
	EXPECT_EQ(feed(e, "--B", example)[0], example.find("--B--") + 4);	/* at a sound close */

	recorder b;
	b.stop_on = 'B';
	b.stop_at = 1;
	std::string two = "--B\r\nA:v\r\n\r\nx\r\n--B\r\nA:w\r\n\r\ny\r\n--B--";
	EXPECT_EQ(feed(b, "--B", two)[0], two.find("--B\r\nA:w") + 4);
}

TEST(Multipart, EpilogueAndEmptyCalls)
{
	recorder r;
	std::string body = example + "garbage \x01\xff--B";
	EXPECT_EQ(feed(r, "--B", body)[0], body.size());
	mp_parser *p = mp_create("--B", &callbacks);
	mp_set_user_data(p, &r);
	EXPECT_EQ(mp_execute(p, "", 0), 0u);
	p->state = 1;
	EXPECT_EQ(mp_execute(p, "x", 1), 0u);
	mp_free(p);
}

/* ---- property test ---- */

struct generated {
	std::string delim, body;
	events expected;
};

std::string random_bytes(std::mt19937 &rng, const std::string &delim, size_t n)
{
	/* Dense in the bytes that matter: CR, LF, '-', and pieces of the delimiter. */
	const std::string pieces[] = { "\r", "\n", "-", "--", "\r\n", "\r\n-", "\r\n--",
				       delim.substr(0, delim.size() - 1), "\r\n" + delim.substr(0, delim.size() - 1) };
	std::string s;
	while (s.size() < n) {
		switch (rng() % 4) {
		case 0:
			s += pieces[rng() % std::size(pieces)];
			break;
		case 1:
			s += "\r\n" + delim.substr(0, delim.size() - 1) + (char) ('a' + rng() % 26);
			break;
		default:
			s += (char) (rng() % 256);
		}
	}
	/* No accidental delimiter inside the content. */
	for (size_t at; (at = s.find("\r\n" + delim)) != std::string::npos;)
		s[at + 2 + delim.size() - 1] ^= 0x20;
	return s;
}

std::string random_name(std::mt19937 &rng)
{
	std::string n;
	size_t len = rng() % 12;
	for (size_t i = 0; i < len; i++)
		n += (char) ('a' + rng() % 26);
	return n;
}

generated generate(std::mt19937 &rng, size_t max_content)
{
	generated g;
	std::string boundary;
	for (int i = 0, n = 1 + (int) (rng() % 20); i < n; i++)
		boundary += "ab-_0XYZ"[rng() % 8];
	g.delim = "--" + boundary;
	const std::string padding[] = { "", " ", "\t \t" };
	if (rng() % 2)	/* a preamble, which holds no delimiter line */
		g.body = "x" + random_bytes(rng, g.delim, rng() % 40) + CRLF;
	g.body += g.delim + padding[rng() % 3] + CRLF;
	int parts = 1 + (int) (rng() % 3);
	for (int i = 0; i < parts; i++) {
		std::string value = "form-data; name=\"" + random_name(rng) + "\"";
		std::string content = random_bytes(rng, g.delim, rng() % (max_content + 1));
		g.body += "Content-Disposition: " + value + CRLF;
		g.expected.push_back({ 'B', "" });
		g.expected.push_back({ 'N', "Content-Disposition" });
		g.expected.push_back({ 'V', value });
		if (rng() % 2) {
			g.body += "Content-MD5:   x/y\r\n";
			g.expected.push_back({ 'N', "Content-MD5" });
			g.expected.push_back({ 'V', "x/y" });
		}
		g.body += CRLF + content + CRLF + g.delim;
		g.expected.push_back({ 'H', "" });
		g.expected.push_back({ 'D', content });
		g.expected.push_back({ 'E', "" });
		g.body += i + 1 < parts ? padding[rng() % 3] + CRLF : "--\r\n";
	}
	g.expected.push_back({ 'F', "" });
	return g;
}

TEST(MultipartProperty, WholeCutAndByteByByteAgree)
{
	std::mt19937 rng(20261207);
	for (int round = 0; round < 300; round++) {
		generated g = generate(rng, round < 60 ? 120 : 2000);

		recorder whole;
		ASSERT_EQ(feed(whole, g.delim, g.body)[0], g.body.size());
		ASSERT_EQ(merged(whole.got), g.expected) << "round " << round;

		std::vector<size_t> every(g.body.size() - 1);
		for (size_t i = 0; i < every.size(); i++)
			every[i] = i + 1;
		recorder bytes;
		feed(bytes, g.delim, g.body, every);
		ASSERT_EQ(merged(bytes.got), g.expected) << "byte by byte, round " << round;

		if (round < 60) {
			for (size_t cut = 1; cut < g.body.size(); cut++) {
				recorder two;
				auto res = feed(two, g.delim, g.body, { cut });
				ASSERT_EQ(res.back(), g.body.size() - cut);
				ASSERT_EQ(merged(two.got), g.expected) << "cut " << cut << ", round " << round;
			}
		}
	}
}

} // namespace
