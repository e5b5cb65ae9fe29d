// The child writes one line to a pipe, "+<address>" or "-<error>", and
// exits; the loop watches the pipe and a time limit. The child is a plain
// fork() of the daemon that only calls getaddrinfo(): it must not hold the
// daemon's descriptors (a broker socket, the bus), so all others are closed.
#include "resolver.h"

extern "C" {
#include <libubox/uloop.h>
}

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr size_t ANSWER_MAX = INET6_ADDRSTRLEN + 256;

struct {
	bool active;
	pid_t pid;
	uloop_fd answer;
	uloop_timeout limit;
	resolve_done done;
} r;

void close_all_but(int keep)
{
	/* close_range() from 5.9 on; before, as far as a daemon's descriptors go */
#ifdef SYS_close_range
	if (syscall(SYS_close_range, 3U, (unsigned int) keep - 1, 0) == 0 &&
	    syscall(SYS_close_range, (unsigned int) keep + 1, ~0U, 0) == 0)
		return;
#endif
	for (int fd = 3; fd < 4096; fd++)
		if (fd != keep)
			close(fd);
}

[[noreturn]] void resolve_in_child(const char *host, int out)
{
	close_all_but(out);
	addrinfo hints = {};
	hints.ai_family = AF_UNSPEC;
	hints.ai_socktype = SOCK_STREAM;
	addrinfo *res = nullptr;
	char line[ANSWER_MAX];
	int rc = getaddrinfo(host, nullptr, &hints, &res);
	if (rc == 0) {
		char addr[INET6_ADDRSTRLEN] = "";
		const void *a = res->ai_family == AF_INET6 ?
			(const void *) &((sockaddr_in6 *) res->ai_addr)->sin6_addr :
			(const void *) &((sockaddr_in *) res->ai_addr)->sin_addr;
		inet_ntop(res->ai_family, a, addr, sizeof(addr));
		snprintf(line, sizeof(line), "+%s", addr);
	} else {
		snprintf(line, sizeof(line), "-%s", rc == EAI_SYSTEM ? strerror(errno) : gai_strerror(rc));
	}
	ssize_t n = write(out, line, strlen(line));
	_exit(n > 0 ? 0 : 1);
}

// A child that has answered or closed its pipe has exited (the loop reaps
// it): only one still silent is killed.
void finish(const char *address, const char *error, bool silent)
{
	if (!r.active)
		return;
	r.active = false;
	uloop_timeout_cancel(&r.limit);
	uloop_fd_delete(&r.answer);
	close(r.answer.fd);
	if (silent)
		kill(r.pid, SIGKILL);
	resolve_done done = r.done;
	r.done = nullptr;
	if (done)
		done(address, error);
}

void answer_ready(uloop_fd *u, unsigned int)
{
	char line[ANSWER_MAX + 1];
	ssize_t n = read(u->fd, line, sizeof(line) - 1);
	if (n < 0 && (errno == EAGAIN || errno == EINTR))
		return;
	if (n <= 0) {
		finish(nullptr, "the resolver ended without an answer", false);
		return;
	}
	line[n] = '\0';
	if (line[0] == '+' && n > 1)
		finish(line + 1, nullptr, false);
	else
		finish(nullptr, line[0] == '-' && n > 1 ? line + 1 : "a garbled answer", false);
}

void limit_reached(uloop_timeout *)
{
	static char why[64];
	snprintf(why, sizeof(why), "no answer within %d seconds", RESOLVE_LIMIT_MS / 1000);
	finish(nullptr, why, true);
}

} // namespace

bool host_is_address(const char *host)
{
	unsigned char buf[sizeof(in6_addr)];
	return inet_pton(AF_INET, host, buf) == 1 || inet_pton(AF_INET6, host, buf) == 1;
}

int resolver_start(const char *host, resolve_done done)
{
	resolver_cancel();
	int fds[2];
	if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) < 0)
		return -1;
	pid_t pid = fork();
	if (pid < 0) {
		int err = errno;
		close(fds[0]);
		close(fds[1]);
		errno = err;
		return -1;
	}
	if (pid == 0)
		resolve_in_child(host, fds[1]);
	close(fds[1]);
	r.active = true;
	r.pid = pid;
	r.done = done;
	r.answer.fd = fds[0];
	r.answer.cb = answer_ready;
	uloop_fd_add(&r.answer, ULOOP_READ);
	r.limit.cb = limit_reached;
	uloop_timeout_set(&r.limit, RESOLVE_LIMIT_MS);
	return 0;
}

void resolver_cancel(void)
{
	r.done = nullptr;
	finish(nullptr, nullptr, true);
}
