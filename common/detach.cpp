// Detaching a daemon: two forks around a new session, so that it is no
// session leader and can never take a controlling terminal again.
#include "detach.h"

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

} // namespace

void daemon_detach(void)
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
}
