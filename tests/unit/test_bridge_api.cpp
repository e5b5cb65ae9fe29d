// The worker output protocol: the first line is the topic, further lines are
// published; over-long lines, NULs, CRs and lines split across reads. A real
// child process writes into a pipe that the bridge's code reads in the loop.
#include "api.h"
#include "log.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <gtest/gtest.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <utility>
#include <vector>

std::vector<std::pair<std::string, std::string>> published;

int mqtt_publish(const char *topic, const char *payload, int length)
{
	EXPECT_EQ((size_t) length, strlen(payload));
	published.emplace_back(topic, std::string(payload, length));
	return 0;
}

void client_delete(const char *) {}

bool backlog_high;
bool mqtt_backlog_high(void)
{
	return backlog_high;
}


namespace {

// Runs a child that writes `chunks` with short pauses, then exits with `code`.
std::string run_worker(const std::vector<std::string> &chunks, int code = 0)
{
	int fds[2];
	EXPECT_EQ(pipe(fds), 0);
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		for (auto &c : chunks) {
			if (write(fds[1], c.data(), c.size()) != (ssize_t) c.size())
				_exit(99);
			usleep(2000);
		}
		_exit(code);
	}
	close(fds[1]);

	uloop_init();
	published.clear();
	testing::internal::CaptureStdout();
	api_watch(api_worker_new(), pid, fds[0]);

	static uloop_timeout done;
	done.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&done, 500 + 5 * (int) chunks.size());
	uloop_run();
	uloop_done();
	return testing::internal::GetCapturedStdout();
}

using msgs = std::vector<std::pair<std::string, std::string>>;

TEST(ApiOutput, TopicThenLinesSplitAcrossReads)
{
	std::string out = run_worker({ "t", "op", "ic\nA", "\n", "\nB\r", "\nC" }, 3);
	EXPECT_EQ(published, (msgs{ { "topic", "A" }, { "topic", "" }, { "topic", "B\r" } }));
	EXPECT_NE(out.find("quilapi ("), std::string::npos);
	EXPECT_NE(out.find("): exit with 3\n"), std::string::npos);
}

TEST(ApiOutput, LineLengthBoundary)
{
	std::string ok(8191, 'a'), too_long(8192, 'b');
	run_worker({ "t\n", ok + "\n", too_long + "\n", "next\n" });
	EXPECT_EQ(published, (msgs{ { "t", ok }, { "t", "next" } }));

	/* An over-long line split in the middle of a read is dropped whole too. */
	run_worker({ "t\n", std::string(5000, 'c'), std::string(5000, 'c'), "c\nafter\n" });
	EXPECT_EQ(published, (msgs{ { "t", "after" } }));
}

TEST(ApiOutput, NulHidesLineEndUntilTheBufferFills)
{
	run_worker({ "t\n", std::string("x\0y\nz\n", 6), std::string(9000, 'c'), "\nlast\n" });
	EXPECT_EQ(published, (msgs{ { "t", "last" } }));
}

TEST(ApiOutput, NothingPublishedWithoutTopicAndSecondLine)
{
	run_worker({ "only-topic\n" });
	EXPECT_TRUE(published.empty());
	run_worker({});
	EXPECT_TRUE(published.empty());
	run_worker({ "t\n", "unterminated" });
	EXPECT_TRUE(published.empty());
}

TEST(ApiOutput, EverythingWrittenBeforeExitIsDrained)
{
	std::string all = "t\n";
	for (int i = 0; i < 2000; i++)
		all += "line" + std::to_string(i) + "\n";
	run_worker({ all });
	ASSERT_EQ(published.size(), 2000u);
	EXPECT_EQ(published.back().second, "line1999");
}

TEST(ApiOutput, HeldWhileTheBacklogIsHighThenPublishedInOrder)
{
	/* The worker exits while its output is held; its record waits for it. */
	backlog_high = true;
	static uloop_timeout ease;
	ease.cb = [](uloop_timeout *) {
		EXPECT_TRUE(published.empty());
		backlog_high = false;
		api_output_resume();
	};
	uloop_init();
	uloop_timeout_set(&ease, 200);	/* run_worker()'s uloop_init() keeps it pending */
	std::string all = "t\n";
	for (int i = 0; i < 3000; i++)
		all += "l" + std::to_string(i) + "\n";
	run_worker({ all });
	ASSERT_EQ(published.size(), 3000u);
	for (int i = 0; i < 3000; i++)
		ASSERT_EQ(published[i].second, "l" + std::to_string(i));
}

TEST(ApiOutput, SignalEndIsReported)
{
	int fds[2];
	ASSERT_EQ(pipe(fds), 0);
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		pause();
		_exit(0);
	}
	close(fds[1]);
	uloop_init();
	testing::internal::CaptureStdout();
	api_watch(api_worker_new(), pid, fds[0]);
	kill(pid, SIGKILL);
	static uloop_timeout done;
	done.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&done, 300);
	uloop_run();
	uloop_done();
	std::string out = testing::internal::GetCapturedStdout();
	EXPECT_EQ(out, "quilapi (" + std::to_string(pid) + "): exit with signal 9\n");
}

} // namespace
