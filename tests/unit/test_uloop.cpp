// The event loop: timeout order and replacement, edge/level triggering,
// batch deletion, hangup handling, child reaping and signal handling.
extern "C" {
#include <libubox/uloop.h>
}
#include <gtest/gtest.h>
#include "run_for.h"
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

struct Loop : ::testing::Test {
	void SetUp() override { ASSERT_EQ(uloop_init(), 0); }
	void TearDown() override { uloop_done(); }
};

struct tagged_timeout {
	uloop_timeout t;
	int tag;
	std::vector<int> *log;
};

void log_tag(uloop_timeout *t)
{
	tagged_timeout *tt = container_of(t, tagged_timeout, t);
	tt->log->push_back(tt->tag);
}

TEST_F(Loop, TimeoutsFireInExpiryThenInsertionOrder)
{
	std::vector<int> log;
	tagged_timeout t[5];
	int delays[5] = { 30, 10, 20, 10, 0 };
	for (int i = 0; i < 5; i++) {
		t[i] = { {}, i, &log };
		t[i].t.cb = log_tag;
		uloop_timeout_set(&t[i].t, delays[i]);
	}
	/* Replacing a pending expiry moves it; it does not add a second one. */
	uloop_timeout_set(&t[0].t, 5);
	EXPECT_EQ(uloop_timeout_add(&t[0].t), -1);

	run_for(80);
	EXPECT_EQ(log, (std::vector<int>{ 4, 0, 1, 3, 2 }));
	EXPECT_FALSE(t[0].t.pending);
	EXPECT_EQ(uloop_timeout_cancel(&t[0].t), -1);
	EXPECT_EQ(uloop_timeout_remaining64(&t[0].t), -1);
}

TEST_F(Loop, CallbackMayRearmItself)
{
	static int fired;
	fired = 0;
	uloop_timeout t = {};
	t.cb = [](uloop_timeout *self) {
		if (++fired < 5)
			uloop_timeout_set(self, 1);
	};
	uloop_timeout_set(&t, 0);
	run_for(100);
	EXPECT_EQ(fired, 5);
}

TEST_F(Loop, RemainingAndNextTimeout)
{
	uloop_timeout t = {};
	t.cb = [](uloop_timeout *) {};
	EXPECT_EQ(uloop_get_next_timeout(), -1);
	uloop_timeout_set(&t, 1000);
	int64_t r = uloop_timeout_remaining64(&t);
	EXPECT_GT(r, 900);
	EXPECT_LE(r, 1000);
	EXPECT_GT(uloop_get_next_timeout(), 900);
	uloop_timeout_cancel(&t);
}

struct counted_fd {
	uloop_fd u;
	int calls;
	int bytes;
	bool saw_eof, saw_error, was_registered;
};

void read_one_byte(uloop_fd *u, unsigned int events)
{
	counted_fd *c = container_of(u, counted_fd, u);
	char ch;
	c->calls++;
	if ((events & ULOOP_READ) && read(u->fd, &ch, 1) == 1)
		c->bytes++;
}

TEST_F(Loop, EdgeTriggeredFiresOnceUntilDrained)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	counted_fd c = {};
	c.u.fd = p[0];
	c.u.cb = read_one_byte;
	ASSERT_EQ(uloop_fd_add(&c.u, ULOOP_READ | ULOOP_EDGE_TRIGGER), 0);
	ASSERT_EQ(write(p[1], "0123456789", 10), 10);

	run_for(50);
	EXPECT_EQ(c.calls, 1);
	EXPECT_EQ(c.bytes, 1);

	/* Level-triggered: called again while data remains. */
	ASSERT_EQ(uloop_fd_add(&c.u, ULOOP_READ), 0);
	run_for(50);
	EXPECT_EQ(c.bytes, 10);
	EXPECT_TRUE(fcntl(p[0], F_GETFL) & O_NONBLOCK);

	uloop_fd_delete(&c.u);
	EXPECT_FALSE(c.u.registered);
	close(p[0]);
	close(p[1]);
}

TEST_F(Loop, BlockingFlagLeavesDescriptorMode)
{
	int p[2];
	ASSERT_EQ(pipe(p), 0);
	uloop_fd u = {};
	u.fd = p[0];
	u.cb = [](uloop_fd *, unsigned int) {};
	ASSERT_EQ(uloop_fd_add(&u, ULOOP_READ | ULOOP_BLOCKING), 0);
	EXPECT_FALSE(fcntl(p[0], F_GETFL) & O_NONBLOCK);
	EXPECT_EQ(uloop_fd_add(&u, 0), 0);	/* no events: same as delete */
	EXPECT_FALSE(u.registered);
	close(p[0]);
	close(p[1]);
}

counted_fd *victim;

void delete_victim(uloop_fd *u, unsigned int events)
{
	read_one_byte(u, events);
	uloop_fd_delete(&victim->u);
	uloop_end();
}

TEST_F(Loop, DeletedDescriptorGetsNoQueuedEvent)
{
	int a[2], b[2];
	ASSERT_EQ(pipe(a), 0);
	ASSERT_EQ(pipe(b), 0);
	counted_fd first = {}, second = {};
	first.u = { delete_victim, a[0], false, false, false, 0 };
	second.u = { delete_victim, b[0], false, false, false, 0 };
	victim = &second;
	uloop_fd_add(&first.u, ULOOP_READ);
	uloop_fd_add(&second.u, ULOOP_READ);
	/* Both ready in one batch: whichever runs first removes the other... */
	ASSERT_EQ(write(a[1], "x", 1), 1);
	ASSERT_EQ(write(b[1], "x", 1), 1);
	run_for(50);
	victim = &first;
	run_for(20);
	/* ...so exactly one callback ran in all. */
	EXPECT_EQ(first.calls + second.calls, 1);
	for (int fd : { a[0], a[1], b[0], b[1] })
		close(fd);
}

void note_state(uloop_fd *u, unsigned int)
{
	counted_fd *c = container_of(u, counted_fd, u);
	c->calls++;
	c->saw_eof = u->eof;
	c->saw_error = u->error;
	c->was_registered = u->registered;
	uloop_end();
}

TEST_F(Loop, HangupUnregistersBeforeCallback)
{
	int sv[2];
	ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
	counted_fd c = {};
	c.u.fd = sv[0];
	c.u.cb = note_state;
	uloop_fd_add(&c.u, ULOOP_READ | ULOOP_BLOCKING);
	close(sv[1]);
	run_for(200);
	EXPECT_EQ(c.calls, 1);
	EXPECT_TRUE(c.saw_eof);
	EXPECT_TRUE(c.saw_error);
	EXPECT_FALSE(c.was_registered);
	close(sv[0]);
}

struct child {
	uloop_process p;
	int status = -1;
	int *done;
};

TEST_F(Loop, ReapsEveryChildAndReportsRegisteredOnes)
{
	constexpr int n = 40;
	static child kids[n];
	static int done;
	done = 0;

	for (int i = 0; i < n; i++) {
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0)
			_exit(i % 7);
		kids[i] = {};
		kids[i].done = &done;
		if (i % 2)
			continue;	/* odd children are not registered */
		kids[i].p.pid = pid;
		kids[i].p.cb = [](uloop_process *p, int ret) {
			child *c = container_of(p, child, p);
			EXPECT_FALSE(p->pending);
			c->status = ret;
			if (++*c->done == n / 2)
				uloop_end();
		};
		ASSERT_EQ(uloop_process_add(&kids[i].p), 0);
	}
	run_for(5000);
	EXPECT_EQ(done, n / 2);
	for (int i = 0; i < n; i += 2) {
		ASSERT_TRUE(WIFEXITED(kids[i].status));
		EXPECT_EQ(WEXITSTATUS(kids[i].status), i % 7);
	}
	/* Unregistered children were reaped too: nothing is left to wait for. */
	usleep(20000);
	run_for(20);
	EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
	EXPECT_EQ(errno, ECHILD);
}

TEST_F(Loop, SignalStatusWithRawWaitStatus)
{
	static int status;
	pid_t pid = fork();
	ASSERT_GE(pid, 0);
	if (pid == 0) {
		pause();
		_exit(0);
	}
	uloop_process p = {};
	p.pid = pid;
	p.cb = [](uloop_process *, int ret) {
		status = ret;
		uloop_end();
	};
	uloop_process_add(&p);
	kill(pid, SIGKILL);
	run_for(2000);
	ASSERT_TRUE(WIFSIGNALED(status));
	EXPECT_EQ(WTERMSIG(status), SIGKILL);
}

TEST(LoopSignals, SigintEndsLoopWithSignalNumber)
{
	ASSERT_EQ(uloop_init(), 0);
	uloop_timeout t = {};
	t.cb = [](uloop_timeout *) { kill(getpid(), SIGINT); };
	uloop_timeout_set(&t, 5);
	uloop_timeout never = {};
	never.cb = [](uloop_timeout *) {};
	uloop_timeout_set(&never, 5000);
	EXPECT_EQ(uloop_run(), SIGINT);
	uloop_done();

	struct sigaction sa;
	sigaction(SIGINT, nullptr, &sa);
	EXPECT_EQ(sa.sa_handler, SIG_DFL);	/* restored by uloop_done */
}

volatile sig_atomic_t own_handler_ran;

TEST(LoopSignals, HandlerInstalledBeforeInitIsKept)
{
	struct sigaction sa = {}, old;
	sa.sa_handler = [](int) {
		own_handler_ran = 1;
		uloop_cancelled = true;
	};
	sigaction(SIGTERM, &sa, &old);

	ASSERT_EQ(uloop_init(), 0);
	uloop_timeout t = {};
	t.cb = [](uloop_timeout *) { kill(getpid(), SIGTERM); };
	uloop_timeout_set(&t, 5);
	uloop_timeout never = {};
	never.cb = [](uloop_timeout *) {};
	uloop_timeout_set(&never, 5000);

	EXPECT_EQ(uloop_run(), 0);
	EXPECT_TRUE(own_handler_ran);
	EXPECT_FALSE(never.pending && uloop_timeout_remaining64(&never) < 4000);
	uloop_done();

	struct sigaction cur;
	sigaction(SIGTERM, nullptr, &cur);
	EXPECT_EQ(cur.sa_handler, sa.sa_handler);	/* not ours to restore */
	sigaction(SIGTERM, &old, nullptr);
}

TEST(LoopSignals, CancellationBeforeRunIsLost)
{
	ASSERT_EQ(uloop_init(), 0);
	uloop_end();
	static bool ran;
	ran = false;
	uloop_timeout t = {};
	t.cb = [](uloop_timeout *) {
		ran = true;
		uloop_end();
	};
	uloop_timeout_set(&t, 1);
	uloop_run();
	EXPECT_TRUE(ran);
	uloop_done();
}

} // namespace
