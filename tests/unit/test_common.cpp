// What every child gets, whatever the daemon's own state: only descriptors
// 0-2, mask 022, no ignored or blocked signal; its environment; the exit
// report when its program cannot be run. Hotplug events give back what they
// take.
#include "child.h"
#include "hotplug.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

namespace {

struct spawned {
	std::string output;
	int status = -1;
};

// Runs the child described by `spec` with its 0-2 on a pipe; collects output
// and status.
spawned run(child_spec spec)
{
	spawned r;
	int fds[2];
	EXPECT_EQ(pipe(fds), 0);
	spec.stdio_fd = fds[1];
	pid_t pid = child_spawn(&spec);
	close(fds[1]);
	EXPECT_GT(pid, 0);

	char buf[4096];
	ssize_t n;
	while ((n = read(fds[0], buf, sizeof(buf))) > 0)
		r.output.append(buf, (size_t) n);
	close(fds[0]);
	EXPECT_EQ(waitpid(pid, &r.status, 0), pid);
	return r;
}

// The daemon at its untidiest: mask 0 (detached), SIGPIPE and SIGHUP
// ignored, a signal blocked, descriptors open without close-on-exec.
struct UntidyDaemon : ::testing::Test {
	mode_t old_mask;
	struct sigaction old_pipe, old_hup, ign = {};
	sigset_t old_blocked;
	int stray[2] = { -1, -1 };

	void SetUp() override
	{
		old_mask = umask(0);
		ign.sa_handler = SIG_IGN;
		sigaction(SIGPIPE, &ign, &old_pipe);
		sigaction(SIGHUP, &ign, &old_hup);
		sigset_t usr1;
		sigemptyset(&usr1);
		sigaddset(&usr1, SIGUSR1);
		sigprocmask(SIG_BLOCK, &usr1, &old_blocked);
		stray[0] = open("/dev/null", O_RDONLY);
		stray[1] = dup2(stray[0], 40);
	}
	void TearDown() override
	{
		close(stray[0]);
		close(stray[1]);
		sigprocmask(SIG_SETMASK, &old_blocked, nullptr);
		sigaction(SIGHUP, &old_hup, nullptr);
		sigaction(SIGPIPE, &old_pipe, nullptr);
		umask(old_mask);
	}
};

TEST_F(UntidyDaemon, ChildStartsClean)
{
	char *const argv[] = { (char *) "child_report", nullptr };
	spawned r = run({ .path = CHILD_REPORT, .argv = argv });
	EXPECT_EQ(r.output, "fds 0 1 2\numask 022\n"
			    "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
	EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);

	/* and the daemon keeps its own state */
	EXPECT_EQ(umask(0), 0);
	sigset_t now;
	sigprocmask(SIG_SETMASK, nullptr, &now);
	EXPECT_TRUE(sigismember(&now, SIGUSR1));
}

TEST(Child, ExecFailureIsReportedOnStdioAndExits127)
{
	char *const argv[] = { (char *) "missing", nullptr };
	spawned r = run({ .path = "/nonexistent/missing", .argv = argv,
			  .exec_error = "failed execl /nonexistent/missing" });
	EXPECT_EQ(r.output, "failed execl /nonexistent/missing");
	EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 127);
}

TEST(Child, EnvironmentSetLikeSetenv)
{
	unsetenv("QUIL_OVER");
	setenv("QUIL_KEPT", "kept", 1);
	setenv("QUIL_OVERLONG", "inherited", 1);	/* ahead of QUIL_OVER, which it starts with */
	setenv("QUIL_OVER", "old", 1);
	unsetenv("QUIL_NEW");
	unsetenv("QUIL_NULL");
	const child_var vars[] = {
		{ "QUIL_OVER", "new" }, { "QUIL_NULL", nullptr }, { "QUIL_NEW", "a=b" }, { "QUIL_NEW", "last" },
	};
	char **env = child_env(vars, sizeof(vars) / sizeof(vars[0]));
	ASSERT_NE(env, nullptr);

	char *const argv[] = { (char *) "child_report", (char *) "QUIL_KEPT", (char *) "QUIL_OVER",
			       (char *) "QUIL_NULL", (char *) "QUIL_NEW", (char *) "QUIL_OVERLONG", nullptr };
	spawned r = run({ .path = CHILD_REPORT, .argv = argv, .envp = env });
	free(env);
	EXPECT_NE(r.output.find("\nQUIL_KEPT=kept\nQUIL_OVER=new\nQUIL_NULL=(unset)\nQUIL_NEW=last\n"
				   "QUIL_OVERLONG=inherited\n"),
		  std::string::npos) << r.output;
	EXPECT_STREQ(getenv("QUIL_OVER"), "old");	/* the daemon's own stays as it was */
	unsetenv("QUIL_KEPT");
	unsetenv("QUIL_OVER");
	unsetenv("QUIL_OVERLONG");
}

// A daemon sends events for as long as it runs: a thousand of them leave the
// heap where it was. (The program is missing here, so each child exits 127.)
TEST(Hotplug, EventsGiveTheirMemoryBack)
{
	if (access(HOTPLUG_CALL, F_OK) == 0)
		GTEST_SKIP() << HOTPLUG_CALL << " exists here and is not run by a test";
	const child_var vars[] = { { "ACTION", "online" }, { "QUIL_EVENT", "x" } };
	auto event = [&] {
		pid_t pid = hotplug_event("quiltest", vars);
		int status;
		return pid > 0 && waitpid(pid, &status, 0) == pid;
	};

	ASSERT_TRUE(event());
	long before = (long) mallinfo2().uordblks;
	for (int i = 0; i < 1000; i++)
		ASSERT_TRUE(event());
	EXPECT_LT((long) mallinfo2().uordblks - before, 4096);	/* a leak: 400 KB */
}

} // namespace
