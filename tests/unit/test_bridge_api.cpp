// The worker output protocol: the first line is the topic, further lines are
// published; over-long lines, NULs, CRs and lines split across reads. A real
// child process writes into a pipe that the bridge's code reads in the loop.
#include "api.h"
#include "log.h"
#include "options.h"

extern "C" {
#include <libubox/uloop.h>
}
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <mosquitto.h>
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
uint64_t client_report_arrived(void)
{
	return 1;
}
int fleet_hand_back(const char *topic, const char *payload, int length)
{
	return mqtt_publish(topic, payload, length);
}

bool fake_backlog_high;	// what the session would say
bool mqtt_backlog_high(void)
{
	return fake_backlog_high;
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
	log_open("test", false, 4);	/* every exit is said at debug level */
	testing::internal::CaptureStderr();
	api_watch(api_worker_new(), pid, fds[0]);

	static uloop_timeout done;
	done.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&done, 500 + 5 * (int) chunks.size());
	uloop_run();
	uloop_done();
	return testing::internal::GetCapturedStderr();
}

using msgs = std::vector<std::pair<std::string, std::string>>;

TEST(ApiOutput, TopicThenLinesSplitAcrossReads)
{
	/* -t 0: no time limit, not a limit of nothing */
	const api_limits no_limit = { DEFAULT_MAX_WORKERS, 1 << 20, 0 };
	api_configure(&no_limit);
	std::string out = run_worker({ "t", "op", "ic\nA", "\n", "\nB\r", "\nC" }, 3);
	EXPECT_EQ(published, (msgs{ { "topic", "A" }, { "topic", "" }, { "topic", "B\r" } }));
	EXPECT_NE(out.find("quilapi ("), std::string::npos);
	EXPECT_NE(out.find("): exit with 3\n"), std::string::npos);
	const api_limits defaults = { DEFAULT_MAX_WORKERS, 1 << 20, DEFAULT_TIME_LIMIT_S };
	api_configure(&defaults);
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
	fake_backlog_high = true;
	static uloop_timeout ease;
	ease.cb = [](uloop_timeout *) {
		EXPECT_TRUE(published.empty());
		fake_backlog_high = false;
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
	log_open("test", false, 4);
	testing::internal::CaptureStderr();
	api_watch(api_worker_new(), pid, fds[0]);
	kill(pid, SIGKILL);
	static uloop_timeout done;
	done.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&done, 300);
	uloop_run();
	uloop_done();
	std::string out = testing::internal::GetCapturedStderr();
	EXPECT_EQ(out.rfind("quilapi (" + std::to_string(pid) + "): exit with signal 9\n", 0), 0u);
}

void report(const char *topic, const std::string &payload)
{
	mosquitto_message m = {};
	m.topic = (char *) topic;
	m.payload = (void *) payload.data();
	m.payloadlen = (int) payload.size();
	api_on_message(nullptr, nullptr, &m);
}

api_stats stats()
{
	api_stats st;
	api_get_stats(&st);
	return st;
}

TEST(ApiQueue, ExactlyMaxWorkersThenExactlyTheQueuedBytes)
{
	uloop_init();
	api_limits l = { 2, 1 << 20, 0 };
	api_configure(&l);
	unsigned long dropped = stats().dropped;
	for (int i = 0; i < 3; i++)
		report("upload/q", "m");
	api_stats st = stats();
	EXPECT_EQ(st.workers, 2);
	EXPECT_EQ(st.queued, 1);
	size_t cost = st.queued_bytes;

	/* Room for exactly three reports: the fourth is dropped. */
	api_stop();
	l.queue_bytes = 3 * cost;
	api_configure(&l);
	for (int i = 0; i < 4; i++)
		report("upload/q", "m");
	st = stats();
	EXPECT_EQ(st.workers, 2);
	EXPECT_EQ(st.queued, 3);
	EXPECT_EQ(st.queued_bytes, 3 * cost);
	EXPECT_EQ(st.dropped, dropped + 1);

	api_stop();
	static uloop_timeout done;	/* the two workers (no API program here) are reaped */
	done.cb = [](uloop_timeout *) { uloop_end(); };
	uloop_timeout_set(&done, 300);
	testing::internal::CaptureStderr();
	uloop_run();
	uloop_done();
	testing::internal::GetCapturedStderr();
	EXPECT_EQ(stats().workers, 0);
}

TEST(ApiQueue, JsonLengthIsMeasuredAsJsonCWritesIt)
{
	std::string payload;
	for (int c = 1; c < 256; c++)
		payload += (char) c;
	payload += std::string("\0tail", 5);	/* the payload ends at its NUL */
	const char *topic = "upload/\"a\\b\x01";

	json_object *o = json_object_new_object();
	json_object_object_add(o, "topic", json_object_new_string(topic));
	json_object_object_add(o, "payload", json_object_new_string(payload.c_str()));
	EXPECT_EQ(api_json_length(topic, payload.data(), payload.size()),
		  strlen(json_object_to_json_string(o)));
	json_object_put(o);
}

} // namespace
