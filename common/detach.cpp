// Detaching a daemon: two forks around a new session, so that it is no
// session leader and can never take a controlling terminal again.
#include "detach.h"

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Returns true in the process that goes on; the parent exits.
bool fork_and_leave()
{
	pid_t pid = fork();
	if (pid < 0) {
		perror("fork error:\n");
		return false;
	}
	if (pid > 0)
		exit(0);
	return true;
}

// A detached daemon must not hold its starter's terminal or pipe open: a
// caller reading its output (`quildis | cat`) would never see the end.
void stdio_to_null()
{
	int fd = open("/dev/null", O_RDWR | O_CLOEXEC);
	if (fd < 0) {
		perror("open /dev/null");
		return;
	}
	for (int std = 0; std <= 2; std++)
		if (fd != std)
			dup2(fd, std);
	if (fd > 2)
		close(fd);
}

} // namespace

void daemon_detach(bool keep_stdio)
{
	umask(0);
	if (!fork_and_leave())
		return;

	setsid();
	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = SIG_IGN;
	sigemptyset(&sa.sa_mask);
	if (sigaction(SIGHUP, &sa, nullptr) < 0)
		perror("sigaction error:");

	fork_and_leave();
	if (!keep_stdio)
		stdio_to_null();
}
