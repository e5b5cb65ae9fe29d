// The session check asks the bus in a child process: connecting and looking
// the service up have no time limit of their own, and a hung bus must not
// hold the request longer than the 2 s the answer is given. The child costs
// one fork and its bus connection; the parent waits for one byte.
#include "session.h"
#include "clock.h"

extern "C" {
#include <libubus.h>
}

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int ANSWER_TIMEOUT_MS = 2000;

void on_access_reply(ubus_request *req, int, blob_attr *msg)
{
	static const blobmsg_policy policy = { "access", BLOBMSG_TYPE_BOOL };
	blob_attr *access;
	blobmsg_parse(&policy, 1, &access, blob_data(msg), blob_len(msg));
	*(bool *) req->priv = access && blobmsg_get_bool(access);
}

session_answer invoke_access(ubus_context *ctx, uint32_t id, const char *sid, const char *object)
{
	bool granted = false;
	blob_buf b = {};
	blob_buf_init(&b, 0);
	blobmsg_add_string(&b, "ubus_rpc_session", sid);
	blobmsg_add_string(&b, "scope", "quil");
	blobmsg_add_string(&b, "object", object);
	blobmsg_add_string(&b, "function", "write");
	int rc = ubus_invoke(ctx, id, "access", b.head, on_access_reply, &granted, ANSWER_TIMEOUT_MS);
	blob_buf_free(&b);
	if (rc == UBUS_STATUS_TIMEOUT)
		return SESSION_NO_ANSWER;
	if (rc == UBUS_STATUS_PERMISSION_DENIED)
		return SESSION_NO_SERVICE;
	/* the service answers an unknown or expired session with "not found" */
	return rc == UBUS_STATUS_OK && granted ? SESSION_GRANTED : SESSION_DENIED;
}

// session access {ubus_rpc_session, scope, object, function}: {"access": bool}
session_answer ask_session_service(const char *sid, const char *object)
{
	ubus_context *ctx = ubus_connect(nullptr);
	if (!ctx)
		return SESSION_NO_BUS;
	uint32_t id;
	session_answer a = ubus_lookup_id(ctx, "session", &id) == 0 ?
		invoke_access(ctx, id, sid, object) : SESSION_NO_SERVICE;
	ubus_free(ctx);
	return a;
}

// The child's one byte (a session_answer), or SESSION_NO_ANSWER when none
// came in time.
session_answer await_answer(int fd)
{
	const int64_t deadline = monotonic_ms() + ANSWER_TIMEOUT_MS;
	struct pollfd pfd = { .fd = fd, .events = POLLIN, .revents = 0 };
	for (int64_t left; (left = deadline - monotonic_ms()) > 0;) {
		int ready = poll(&pfd, 1, (int) left);
		if (ready < 0 && errno == EINTR)
			continue;
		unsigned char answer = SESSION_NO_ANSWER;
		if (ready > 0 && (read(fd, &answer, 1) != 1 || answer > SESSION_NO_ANSWER))
			answer = SESSION_NO_ANSWER;
		return (session_answer) answer;
	}
	return SESSION_NO_ANSWER;
}

// The child must not outlive the question: it ends when the upload does
// (killed by the web server's timeout or the OOM killer, nobody is left to
// kill it) and at its own deadline (the upload stopped), and it keeps none
// of the request's pipes, so the server sees the request end with the upload.
void end_with_parent(pid_t parent)
{
	prctl(PR_SET_PDEATHSIG, SIGKILL);
	if (getppid() != parent)
		_exit(1);	/* the parent ended before the line above */
	signal(SIGALRM, SIG_DFL);
	alarm((ANSWER_TIMEOUT_MS + 999) / 1000);
	int null = open("/dev/null", O_RDWR | O_CLOEXEC);
	if (null >= 0) {
		dup2(null, STDIN_FILENO);
		dup2(null, STDOUT_FILENO);
		if (null > STDOUT_FILENO)
			close(null);
	}
}

} // namespace

session_answer session_allows(const char *sid, const char *object)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) < 0)
		return SESSION_NOT_ASKED;
	const pid_t parent = getpid();
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		end_with_parent(parent);
		unsigned char answer = ask_session_service(sid, object);
		_exit(write(fds[1], &answer, 1) == 1 ? 0 : 1);
	}
	int fork_errno = errno;
	close(fds[1]);
	session_answer answer = pid > 0 ? await_answer(fds[0]) : SESSION_NOT_ASKED;
	close(fds[0]);
	if (pid > 0) {
		kill(pid, SIGKILL);	/* it is done, or it is stuck */
		while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR)
			;
	}
	errno = fork_errno;
	return answer;
}
