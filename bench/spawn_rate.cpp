// The floor for bridging: how fast a worker program can be started and its
// output read through a pipe, one at a time, with nothing else around it.
// Usage: spawn_rate PROGRAM COUNT
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
	if (argc != 3) {
		fprintf(stderr, "usage: %s PROGRAM COUNT\n", argv[0]);
		return 1;
	}
	int n = atoi(argv[2]);
	char buf[8192];
	timespec t0, t1;

	clock_gettime(CLOCK_MONOTONIC, &t0);
	for (int i = 0; i < n; i++) {
		int fds[2];
		if (pipe(fds) < 0)
			return 1;
		pid_t pid = fork();
		if (pid == 0) {
			dup2(fds[1], 1);
			dup2(fds[1], 2);
			close(fds[0]);
			close(fds[1]);
			execl(argv[1], "quilapi", "mqtt", "{ \"topic\": \"upload\\/b\", \"payload\": \"m\" }",
			      (char *) nullptr);
			_exit(127);
		}
		close(fds[1]);
		while (read(fds[0], buf, sizeof(buf)) > 0)
			;
		close(fds[0]);
		waitpid(pid, nullptr, 0);
	}
	clock_gettime(CLOCK_MONOTONIC, &t1);
	double s = (double) (t1.tv_sec - t0.tv_sec) + (double) (t1.tv_nsec - t0.tv_nsec) / 1e9;
	printf("%.1f\n", n / s);
	return 0;
}
