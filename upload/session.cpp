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
constexpr char GRANTED = 'y', DENIED = 'n';

void on_access_reply(ubus_request *req, int, blob_attr *msg)
{
	static const blobmsg_policy policy = { "access", BLOBMSG_TYPE_BOOL };
	blob_attr *access;
	blobmsg_parse(&policy, 1, &access, blob_data(msg), blob_len(msg));
	*(bool *) req->priv = access && blobmsg_get_bool(access);
}

// session access {ubus_rpc_session, scope, object, function}: {"access": bool}
bool ask_session_service(const char *sid, const char *object)
{
	ubus_context *ctx = ubus_connect(nullptr);
	if (!ctx)
		return false;
	bool granted = false;
	uint32_t id;
	if (ubus_lookup_id(ctx, "session", &id) == 0) {
		blob_buf b = {};
		blob_buf_init(&b, 0);
		blobmsg_add_string(&b, "ubus_rpc_session", sid);
		blobmsg_add_string(&b, "scope", "quil");
		blobmsg_add_string(&b, "object", object);
		blobmsg_add_string(&b, "function", "write");
		if (ubus_invoke(ctx, id, "access", b.head, on_access_reply, &granted,
				ANSWER_TIMEOUT_MS) != UBUS_STATUS_OK)
			granted = false;
		blob_buf_free(&b);
	}
	ubus_free(ctx);
	return granted;
}

// The child's one byte, or 0 when none came in time.
char await_answer(int fd)
{
	const int64_t deadline = monotonic_ms() + ANSWER_TIMEOUT_MS;
	struct pollfd pfd = { .fd = fd, .events = POLLIN, .revents = 0 };
	for (int64_t left; (left = deadline - monotonic_ms()) > 0;) {
		int ready = poll(&pfd, 1, (int) left);
		if (ready < 0 && errno == EINTR)
			continue;
		char answer = 0;
		if (ready > 0 && read(fd, &answer, 1) != 1)
			answer = 0;
		return answer;
	}
	return 0;
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

bool session_allows(const char *sid, const char *object)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) < 0)
		return false;
	const pid_t parent = getpid();
	pid_t pid = fork();
	if (pid == 0) {
		close(fds[0]);
		end_with_parent(parent);
		char answer = ask_session_service(sid, object) ? GRANTED : DENIED;
		_exit(write(fds[1], &answer, 1) == 1 ? 0 : 1);
	}
	close(fds[1]);
	char answer = pid > 0 ? await_answer(fds[0]) : 0;
	close(fds[0]);
	if (pid > 0) {
		kill(pid, SIGKILL);	/* it is done, or it is stuck */
		while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR)
			;
	}
	return answer == GRANTED;
}
