// How a child is started. The parent prepares everything the child needs (its
// argument vector, environment and texts) and then uses vfork(): the child
// borrows the parent's memory until it execs, so no page tables are copied for
// a worker started per message. The price is that the child may only make
// plain system calls on what was prepared for it, and must never run one of
// the daemon's signal handlers in the borrowed memory: every signal is
// blocked around vfork(), and the child sets all dispositions to default
// before it unblocks them.
#include "child.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char **environ;

namespace {

// When close_range() is missing (kernels before 5.9), closes one by one up to
// the descriptor limit.
constexpr rlim_t FALLBACK_FD_LIMIT = 65536;

void close_from(unsigned int first)
{
#ifdef SYS_close_range
	if (syscall(SYS_close_range, first, ~0U, 0) == 0)
		return;
#endif
	struct rlimit rl;
	rlim_t limit = FALLBACK_FD_LIMIT;
	if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY)
		limit = rl.rlim_cur;
	for (rlim_t fd = first; fd < limit; fd++)
		close((int) fd);
}

void reset_signals()
{
	struct sigaction dfl;
	memset(&dfl, 0, sizeof(dfl));
	dfl.sa_handler = SIG_DFL;
	/* the C library's own signals refuse; they are its business */
	for (int sig = 1; sig < NSIG; sig++)
		if (sig != SIGKILL && sig != SIGSTOP)
			sigaction(sig, &dfl, nullptr);
}

void wire_stdio(int fd)
{
	for (int std = 0; std <= 2; std++)
		if (std != fd)
			dup2(fd, std);
	if (fd <= 2)
		fcntl(fd, F_SETFD, 0);	/* dup2 cleared close-on-exec on the others */
}

[[noreturn]] void run_child(const child_spec *c)
{
	reset_signals();
	if (c->own_group)
		setpgid(0, 0);	/* done before the parent resumes: vfork() waits for the exec */
	umask(CHILD_UMASK);
	if (c->stdio_fd >= 0)
		wire_stdio(c->stdio_fd);
	close_from(3);

	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);

	execve(c->path, c->argv, c->envp ? c->envp : environ);
	if (c->exec_errno)
		*c->exec_errno = errno;	/* the parent's memory, which vfork() lends */
	if (c->exec_error && write(2, c->exec_error, strlen(c->exec_error)) < 0) {
		/* nobody left to tell */
	}
	_exit(127);	/* _exit: nothing of the parent's (stdio buffers, atexit) may run here */
}

bool names_variable(const char *entry, const char *name, size_t len)
{
	return !strncmp(entry, name, len) && entry[len] == '=';
}

} // namespace

pid_t child_spawn(const struct child_spec *spec)
{
	sigset_t all, old;

	if (spec->exec_errno)
		*spec->exec_errno = 0;
	sigfillset(&all);
	sigprocmask(SIG_SETMASK, &all, &old);
	pid_t pid = vfork();
	if (pid == 0)
		run_child(spec);

	int err = errno;
	sigprocmask(SIG_SETMASK, &old, nullptr);
	errno = err;
	return pid;
}

void child_kill_group(pid_t pid)
{
	if (kill(-pid, SIGKILL) < 0)
		kill(pid, SIGKILL);
}

char **child_env(const struct child_var *vars, size_t n)
{
	size_t count = 0, text = 0;

	while (environ && environ[count])
		count++;
	for (size_t i = 0; i < n; i++)
		if (vars[i].value)
			text += strlen(vars[i].name) + strlen(vars[i].value) + 2;

	size_t slots = count + n + 1;
	char **env = (char **) malloc(slots * sizeof(char *) + text);
	if (!env)
		return nullptr;
	char *p = (char *) (env + slots);
	if (count)
		memcpy(env, environ, count * sizeof(char *));

	for (size_t i = 0; i < n; i++) {
		if (!vars[i].value)
			continue;
		size_t len = strlen(vars[i].name);
		size_t k = 0;
		while (k < count && !names_variable(env[k], vars[i].name, len))
			k++;
		if (k == count)
			count++;	/* a new variable goes last, as setenv() puts it */
		env[k] = p;
		p = stpcpy(stpcpy(stpcpy(p, vars[i].name), "="), vars[i].value) + 1;
	}
	env[count] = nullptr;
	return env;
}
