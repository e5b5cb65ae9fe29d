// ustream_fd over pipes: notification totals, line splitting across reads,
// a full buffer blocking and resuming, the end of a half-closed socket, and
// the drain after a writer exits.
extern "C" {
#include <libubox/ustream.h>
}
#include <gtest/gtest.h>
#include "run_for.h"
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

struct line_reader {
	ustream_fd sfd = {};
	std::vector<std::string> lines;
	std::vector<int> notified;
	bool always_terminated = true;
	bool consume_partial_when_full = false;
};

void on_read(ustream *s, int bytes)
{
	line_reader *r = container_of(container_of(s, ustream_fd, stream), line_reader, sfd);
	r->notified.push_back(bytes);

	for (;;) {
		int len;
		char *data = ustream_get_read_buf(s, &len);
		if (!data)
			return;
		if (data[len] != 0)
			r->always_terminated = false;
		char *lf = (char *) memchr(data, '\n', len);
		if (!lf) {
			if (r->consume_partial_when_full && len == s->r.buffer_len) {
				r->lines.push_back("<full:" + std::to_string(len) + ">");
				ustream_consume(s, len);
				continue;
			}
			return;
		}
		r->lines.emplace_back(data, lf - data);
		ustream_consume(s, (int) (lf - data) + 1);
	}
}

struct Stream : ::testing::Test {
	int p[2];
	line_reader r;

	void SetUp() override
	{
		ASSERT_EQ(uloop_init(), 0);
		ASSERT_EQ(pipe(p), 0);
		r.sfd.stream.string_data = true;
		r.sfd.stream.notify_read = on_read;
		r.sfd.stream.r.buffer_len = 8192;
	}
	void TearDown() override
	{
		ustream_free(&r.sfd.stream);
		close(p[0]);
		if (p[1] >= 0)
			close(p[1]);
		uloop_done();
	}

	void put(const std::string &s)
	{
		ASSERT_EQ(write(p[1], s.data(), s.size()), (ssize_t) s.size());
		/* Until the stream has taken what it can. */
		run_until([this] { return !unread() || (r.sfd.stream.read_blocked & READ_BLOCKED_FULL); });
		run_for(5);
	}
	int unread()
	{
		int n = 0;
		return ioctl(p[0], FIONREAD, &n) == 0 ? n : 0;
	}
};

TEST_F(Stream, LinesSplitAcrossReadsAndTotalsNotified)
{
	ustream_fd_init(&r.sfd, p[0]);
	EXPECT_EQ(r.sfd.fd.flags, ULOOP_READ | ULOOP_EDGE_TRIGGER | ULOOP_ERROR_CB);

	put("to");
	put("pic\nA");
	put("\n\nB\r\nrest");
	EXPECT_EQ(r.lines, (std::vector<std::string>{ "topic", "A", "", "B\r" }));
	EXPECT_EQ(r.notified.front(), 2);
	EXPECT_EQ(r.notified[1], 7);	/* total buffered, not just the new bytes */
	EXPECT_TRUE(r.always_terminated);

	int len;
	EXPECT_STREQ(ustream_get_read_buf(&r.sfd.stream, &len), "rest");
	EXPECT_EQ(len, 4);
}

TEST_F(Stream, FullBufferBlocksUntilConsumed)
{
	ustream_fd_init(&r.sfd, p[0]);
	std::string big(20000, 'x');
	big += "\nafter\n";
	r.consume_partial_when_full = true;
	/* The pipe holds 64 KiB: all of it is written before the loop runs. */
	put(big);
	run_for(20);
	ASSERT_GE(r.lines.size(), 3u);
	EXPECT_EQ(r.lines[0], "<full:8192>");
	EXPECT_EQ(r.lines[1], "<full:8192>");
	EXPECT_EQ(r.lines[2], std::string(20000 - 2 * 8192, 'x'));
	EXPECT_EQ(r.lines.back(), "after");
	EXPECT_TRUE(r.always_terminated);
}

TEST_F(Stream, BufferedUnconsumedDataStopsReading)
{
	ustream_fd_init(&r.sfd, p[0]);
	put(std::string(9000, 'y'));
	EXPECT_EQ(ustream_pending_data(&r.sfd.stream, false), 8192);
	EXPECT_TRUE(r.sfd.stream.read_blocked & READ_BLOCKED_FULL);
	EXPECT_FALSE(ustream_poll(&r.sfd.stream));	/* no room: nothing fetched */

	ustream_consume(&r.sfd.stream, 100);
	EXPECT_FALSE(r.sfd.stream.read_blocked & READ_BLOCKED_FULL);
	run_until([this] { return ustream_pending_data(&r.sfd.stream, false) == 8192; });
	EXPECT_EQ(ustream_pending_data(&r.sfd.stream, false), 8192);
	ustream_consume(&r.sfd.stream, 8192);
	run_until([this] { return !unread(); });
	run_for(5);
	EXPECT_EQ(ustream_pending_data(&r.sfd.stream, false), 9000 - 100 - 8192);
}

TEST_F(Stream, ReadingBlockedByTheOwnerWaitsForRelease)
{
	ustream_fd_init(&r.sfd, p[0]);
	ustream_set_read_blocked(&r.sfd.stream, true);
	ASSERT_EQ(write(p[1], "held\n", 5), 5);
	run_for(20);
	EXPECT_TRUE(r.lines.empty());
	EXPECT_EQ(unread(), 5);

	ustream_set_read_blocked(&r.sfd.stream, false);
	run_until([this] { return !r.lines.empty(); });
	EXPECT_EQ(r.lines, (std::vector<std::string>{ "held" }));
}

TEST_F(Stream, EofSchedulesStateChange)
{
	static bool state_called;
	state_called = false;
	r.sfd.stream.notify_state = [](ustream *) { state_called = true; };
	ustream_fd_init(&r.sfd, p[0]);
	put("last\n");
	close(p[1]);
	p[1] = -1;
	run_until([] { return state_called; });
	EXPECT_TRUE(r.sfd.stream.eof);
	EXPECT_TRUE(state_called);
	EXPECT_FALSE(r.sfd.fd.registered);
	EXPECT_EQ(r.lines, (std::vector<std::string>{ "last" }));
}

TEST_F(Stream, HalfClosedSocketReportsEofAndStaysWritable)
{
	static bool state_called;
	state_called = false;
	close(p[0]);
	close(p[1]);
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, p), 0);
	r.sfd.stream.notify_state = [](ustream *) { state_called = true; };
	ustream_fd_init(&r.sfd, p[0]);

	put("last\n");
	shutdown(p[1], SHUT_WR);	/* the peer is done sending, not gone */
	run_until([] { return state_called; });
	EXPECT_TRUE(r.sfd.stream.eof);
	EXPECT_TRUE(state_called);
	EXPECT_EQ(r.lines, (std::vector<std::string>{ "last" }));

	EXPECT_FALSE(r.sfd.stream.write_error);
	EXPECT_EQ(ustream_write(&r.sfd.stream, "bye", 3, false), 3);
	char buf[4] = {};
	EXPECT_EQ(recv(p[1], buf, sizeof(buf), MSG_DONTWAIT), 3);
	EXPECT_STREQ(buf, "bye");
}

TEST_F(Stream, DrainAfterWriterExitsDeliversEverything)
{
	ustream_fd_init(&r.sfd, p[0]);
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		std::string out;
		for (int i = 0; i < 200; i++)
			out += "line" + std::to_string(i) + "\n";
		ssize_t w = write(p[1], out.data(), out.size());
		_exit(w == (ssize_t) out.size() ? 0 : 1);
	}
	close(p[1]);
	p[1] = -1;

	static line_reader *reader;
	reader = &r;
	uloop_process proc = {};
	proc.pid = pid;
	proc.cb = [](uloop_process *, int status) {
		EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
		while (ustream_poll(&reader->sfd.stream))
			;
		uloop_end();
	};
	uloop_process_add(&proc);
	/* Let the child finish before the loop looks at the pipe at all. */
	usleep(50000);
	run_for(2000);
	ASSERT_EQ(r.lines.size(), 200u);
	EXPECT_EQ(r.lines[199], "line199");
}

TEST_F(Stream, WritesAreQueuedAndFlushed)
{
	ustream_fd w = {};
	ustream_fd_init(&w, p[1]);
	ustream_fd_init(&r.sfd, p[0]);
	std::string big(200000, 'z');
	big += '\n';
	EXPECT_EQ(ustream_write(&w.stream, big.data(), (int) big.size(), false), (int) big.size());
	EXPECT_GT(ustream_pending_data(&w.stream, true), 0);
	r.consume_partial_when_full = true;
	run_for(200);
	EXPECT_EQ(ustream_pending_data(&w.stream, true), 0);
	size_t total = 0;
	for (auto &l : r.lines)
		total += l.rfind("<full:", 0) == 0 ? 8192 : l.size();
	EXPECT_EQ(total, 200000u);
	ustream_free(&w.stream);
}

} // namespace
