// The floor for bridging: how fast a worker program can be started and its
// output read through a pipe, with nothing else around it; PARALLEL of them
// at a time (default 1), each given ARG as its JSON text.
// Usage: spawn_rate PROGRAM COUNT [PARALLEL [ARG]]
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int MAX_PARALLEL = 64;

struct running {
	pid_t pid;
	int fd;
};

// The child's output goes to a pipe the parent drains once it has exited:
// a report's reply is far smaller than the pipe.
running start(const char *program, const char *arg)
{
	int fds[2];
	if (pipe(fds) < 0)
		exit(1);
	pid_t pid = fork();
	if (pid == 0) {
		dup2(fds[1], 1);
		dup2(fds[1], 2);
		close(fds[0]);
		close(fds[1]);
		execl(program, "quilapi", "mqtt", arg, (char *) nullptr);
		_exit(127);
	}
	close(fds[1]);
	return { pid, fds[0] };
}

} // namespace

int main(int argc, char **argv)
{
	if (argc < 3 || argc > 5) {
		fprintf(stderr, "usage: %s PROGRAM COUNT [PARALLEL [ARG]]\n", argv[0]);
		return 1;
	}
	int n = atoi(argv[2]);
	int parallel = argc > 3 ? atoi(argv[3]) : 1;
	const char *arg = argc > 4 ? argv[4] : "{ \"topic\": \"upload\\/b\", \"payload\": \"m\" }";
	if (parallel < 1 || parallel > MAX_PARALLEL)
		return 1;
	running slots[MAX_PARALLEL];
	char buf[8192];
	timespec t0, t1;
	int started = 0, active = 0;

	clock_gettime(CLOCK_MONOTONIC, &t0);
	while (started < n || active > 0) {
		while (active < parallel && started < n) {
			slots[active++] = start(argv[1], arg);
			started++;
		}
		pid_t pid = wait(nullptr);
		for (int i = 0; i < active; i++) {
			if (slots[i].pid != pid)
				continue;
			while (read(slots[i].fd, buf, sizeof(buf)) > 0)
				;
			close(slots[i].fd);
			slots[i] = slots[--active];
			break;
		}
	}
	clock_gettime(CLOCK_MONOTONIC, &t1);
	double s = (double) (t1.tv_sec - t0.tv_sec) + (double) (t1.tv_nsec - t0.tv_nsec) / 1e9;
	printf("%.1f\n", n / s);
	return 0;
}
