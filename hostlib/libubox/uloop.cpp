// The event loop, on epoll.
//
// One descriptor callback is dispatched per iteration; due timeouts and child
// reaping run between callbacks, so a burst of descriptor events cannot starve
// timers. Signals only set flags and write a byte into a "waker" pipe that is
// itself watched, so epoll_wait returns promptly without any race between the
// flag check and the wait.
extern "C" {
#include <libubox/uloop.h>
}
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern "C" {
bool uloop_cancelled;
bool uloop_handle_sigchld = true;
uloop_fd_handler uloop_fd_set_cb;
}

namespace {

constexpr int MAX_EVENTS = 10;	/* fetched per wait, as the platform's loop does */

int poll_fd = -1;
epoll_event events[MAX_EVENTS];
int cur_fd, cur_nfds;
int run_depth;

LIST_HEAD(timeouts);
LIST_HEAD(processes);

int waker_pipe[2] = { -1, -1 };
uloop_fd waker_fd;
volatile sig_atomic_t do_sigchld;
volatile sig_atomic_t uloop_status;

struct handled_signal {
	int signo;
	bool installed;
};
handled_signal handled[] = { { SIGINT, false }, { SIGTERM, false }, { SIGCHLD, false } };
bool sigpipe_ignored_by_us;

void waker_write()
{
	int saved = errno;
	if (waker_pipe[1] >= 0) {
		ssize_t r = write(waker_pipe[1], "w", 1);
		(void) r;
	}
	errno = saved;
}

void waker_consume(uloop_fd *fd, unsigned int)
{
	char buf[64];
	while (read(fd->fd, buf, sizeof(buf)) > 0)
		;
}

void on_cancel_signal(int signo)
{
	uloop_status = signo;
	uloop_cancelled = true;
	waker_write();
}

void on_sigchld(int)
{
	do_sigchld = 1;
	waker_write();
}

void install_handler(handled_signal &s, void (*handler)(int))
{
	struct sigaction old;

	if (sigaction(s.signo, nullptr, &old) < 0 || old.sa_handler != SIG_DFL)
		return;

	struct sigaction sa;
	memset(&sa, 0, sizeof(sa));
	sa.sa_handler = handler;
	sa.sa_mask = old.sa_mask;
	s.installed = sigaction(s.signo, &sa, nullptr) == 0;
}

void restore_handler(handled_signal &s)
{
	struct sigaction cur;

	if (!s.installed)
		return;
	s.installed = false;
	if (sigaction(s.signo, nullptr, &cur) < 0)
		return;
	if (cur.sa_handler != on_cancel_signal && cur.sa_handler != on_sigchld)
		return;
	cur.sa_handler = SIG_DFL;
	sigaction(s.signo, &cur, nullptr);
}

void setup_signals()
{
	install_handler(handled[0], on_cancel_signal);
	install_handler(handled[1], on_cancel_signal);
	if (uloop_handle_sigchld)
		install_handler(handled[2], on_sigchld);

	struct sigaction old;
	if (sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL) {
		old.sa_handler = SIG_IGN;
		sigpipe_ignored_by_us = sigaction(SIGPIPE, &old, nullptr) == 0;
	}
}

void restore_signals()
{
	for (auto &s : handled)
		restore_handler(s);

	struct sigaction cur;
	if (sigpipe_ignored_by_us && sigaction(SIGPIPE, nullptr, &cur) == 0 &&
	    cur.sa_handler == SIG_IGN) {
		cur.sa_handler = SIG_DFL;
		sigaction(SIGPIPE, &cur, nullptr);
	}
	sigpipe_ignored_by_us = false;
}

void now(timeval *tv)
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	tv->tv_sec = ts.tv_sec;
	tv->tv_usec = ts.tv_nsec / 1000;
}

int64_t diff_us(const timeval &a, const timeval &b)
{
	return (int64_t) (a.tv_sec - b.tv_sec) * 1000000 + (a.tv_usec - b.tv_usec);
}

bool earlier(const timeval &a, const timeval &b)
{
	return diff_us(a, b) < 0;
}

void process_timeouts()
{
	timeval tv;
	now(&tv);

	while (!list_empty(&timeouts)) {
		uloop_timeout *t = list_first_entry(&timeouts, uloop_timeout, list);
		if (diff_us(t->time, tv) > 0)
			break;
		uloop_timeout_cancel(t);
		if (t->cb)
			t->cb(t);
	}
}

uloop_process *find_process(pid_t pid)
{
	uloop_process *p;

	list_for_each_entry(p, &processes, list) {
		if (p->pid == pid)
			return p;
		if (p->pid > pid)
			break;
	}
	return nullptr;
}

void reap_children()
{
	do_sigchld = 0;
	for (;;) {
		int status;
		pid_t pid = waitpid(-1, &status, WNOHANG);
		if (pid < 0 && errno == EINTR)
			continue;
		if (pid <= 0)
			return;
		/* Callbacks may add or remove records: look the pid up afresh each time. */
		while (uloop_process *p = find_process(pid)) {
			uloop_process_delete(p);
			if (p->cb)
				p->cb(p, status);
		}
	}
}

unsigned int epoll_flags(unsigned int flags)
{
	unsigned int ev = 0;

	if (flags & ULOOP_READ)
		ev |= EPOLLIN | EPOLLRDHUP;
	if (flags & ULOOP_WRITE)
		ev |= EPOLLOUT;
	if (flags & ULOOP_EDGE_TRIGGER)
		ev |= EPOLLET;
	return ev;
}

void dispatch_one(int timeout)
{
	if (!cur_nfds) {
		cur_fd = 0;
		int n = epoll_wait(poll_fd, events, MAX_EVENTS, timeout);
		cur_nfds = n > 0 ? n : 0;
		return;
	}

	while (cur_nfds > 0) {
		epoll_event *ev = &events[cur_fd++];
		cur_nfds--;

		uloop_fd *u = (uloop_fd *) ev->data.ptr;
		if (!u)
			continue;

		if (ev->events & (EPOLLERR | EPOLLHUP)) {
			u->error = true;
			if (!(u->flags & ULOOP_ERROR_CB))
				uloop_fd_delete(u);
		}
		if (!(ev->events & (EPOLLRDHUP | EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP)))
			continue;
		if (ev->events & EPOLLRDHUP)
			u->eof = true;

		unsigned int e = 0;
		if (ev->events & EPOLLIN)
			e |= ULOOP_READ;
		if (ev->events & EPOLLOUT)
			e |= ULOOP_WRITE;
		u->cb(u, e);
		return;
	}
}

} // namespace

extern "C" {

int uloop_fd_add(struct uloop_fd *sock, unsigned int flags)
{
	if (!(flags & (ULOOP_READ | ULOOP_WRITE)))
		return uloop_fd_delete(sock);
	if (poll_fd < 0)
		return -1;

	if (!sock->registered && !(flags & ULOOP_BLOCKING)) {
		int fl = fcntl(sock->fd, F_GETFL);
		if (fl >= 0)
			fcntl(sock->fd, F_SETFL, fl | O_NONBLOCK);
	}

	epoll_event ev;
	memset(&ev, 0, sizeof(ev));
	ev.events = epoll_flags(flags);
	ev.data.ptr = sock;

	int op = sock->registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
	int ret = epoll_ctl(poll_fd, op, sock->fd, &ev);
	if (ret < 0 && op == EPOLL_CTL_ADD && errno == EEXIST)
		ret = epoll_ctl(poll_fd, EPOLL_CTL_MOD, sock->fd, &ev);
	if (ret < 0)
		return -1;

	if (uloop_fd_set_cb)
		uloop_fd_set_cb(sock, flags);
	sock->flags = (uint8_t) flags;
	sock->registered = true;
	sock->eof = false;
	sock->error = false;
	return 0;
}

int uloop_fd_delete(struct uloop_fd *sock)
{
	for (int i = cur_fd; i < cur_fd + cur_nfds; i++)
		if (events[i].data.ptr == sock)
			events[i].data.ptr = nullptr;

	if (!sock->registered)
		return 0;

	if (uloop_fd_set_cb)
		uloop_fd_set_cb(sock, 0);
	sock->registered = false;
	sock->flags = 0;
	if (poll_fd < 0)
		return 0;
	return epoll_ctl(poll_fd, EPOLL_CTL_DEL, sock->fd, nullptr);
}

int uloop_timeout_add(struct uloop_timeout *timeout)
{
	if (timeout->pending)
		return -1;

	struct list_head *h = &timeouts;
	uloop_timeout *t;
	list_for_each_entry(t, &timeouts, list) {
		if (earlier(timeout->time, t->time)) {
			h = &t->list;
			break;
		}
	}
	list_add_tail(&timeout->list, h);
	timeout->pending = true;
	return 0;
}

int uloop_timeout_set(struct uloop_timeout *timeout, int msecs)
{
	timeval *time = &timeout->time;

	if (timeout->pending)
		uloop_timeout_cancel(timeout);

	now(time);
	int64_t usec = (int64_t) time->tv_usec + (int64_t) msecs * 1000;
	time->tv_sec += usec / 1000000;
	usec %= 1000000;
	if (usec < 0) {
		usec += 1000000;
		time->tv_sec--;
	}
	time->tv_usec = usec;
	return uloop_timeout_add(timeout);
}

int uloop_timeout_cancel(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;
	list_del(&timeout->list);
	timeout->pending = false;
	return 0;
}

int64_t uloop_timeout_remaining64(struct uloop_timeout *timeout)
{
	if (!timeout->pending)
		return -1;

	timeval tv;
	now(&tv);
	return diff_us(timeout->time, tv) / 1000;
}

int uloop_get_next_timeout(void)
{
	if (list_empty(&timeouts))
		return -1;

	timeval tv;
	now(&tv);
	uloop_timeout *t = list_first_entry(&timeouts, uloop_timeout, list);
	int64_t us = diff_us(t->time, tv);
	if (us <= 0)
		return 0;
	/* Round up: waking a fraction of a millisecond early would only spin. */
	int64_t ms = (us + 999) / 1000;
	return ms > INT_MAX ? INT_MAX : (int) ms;
}

int uloop_process_add(struct uloop_process *p)
{
	if (p->pending)
		return -1;

	struct list_head *h = &processes;
	uloop_process *cur;
	list_for_each_entry(cur, &processes, list) {
		if (cur->pid > p->pid) {
			h = &cur->list;
			break;
		}
	}
	list_add_tail(&p->list, h);
	p->pending = true;
	return 0;
}

int uloop_process_delete(struct uloop_process *p)
{
	if (!p->pending)
		return -1;
	list_del(&p->list);
	p->pending = false;
	return 0;
}

bool uloop_cancelling(void)
{
	return run_depth > 0 && uloop_cancelled;
}

int uloop_init(void)
{
	if (poll_fd >= 0)
		return 0;

	poll_fd = epoll_create1(EPOLL_CLOEXEC);
	if (poll_fd < 0)
		return -1;

	if (pipe2(waker_pipe, O_CLOEXEC | O_NONBLOCK) < 0) {
		close(poll_fd);
		poll_fd = -1;
		return -1;
	}
	waker_fd.fd = waker_pipe[0];
	waker_fd.cb = waker_consume;
	uloop_fd_add(&waker_fd, ULOOP_READ);

	setup_signals();
	return 0;
}

int uloop_run_timeout(int timeout)
{
	run_depth++;
	uloop_status = 0;
	uloop_cancelled = false;

	do {
		process_timeouts();
		if (do_sigchld)
			reap_children();
		if (uloop_cancelled)
			break;

		int next = uloop_get_next_timeout();
		if (timeout >= 0 && (next < 0 || timeout < next))
			next = timeout;
		dispatch_one(next);
	} while (!uloop_cancelled && timeout < 0);

	run_depth--;
	return uloop_status;
}

void uloop_done(void)
{
	restore_signals();

	if (poll_fd >= 0) {
		close(poll_fd);
		poll_fd = -1;
	}
	for (int &fd : waker_pipe) {
		if (fd >= 0)
			close(fd);
		fd = -1;
	}
	waker_fd.registered = false;
	waker_fd.flags = 0;
	cur_nfds = 0;

	while (!list_empty(&timeouts))
		uloop_timeout_cancel(list_first_entry(&timeouts, uloop_timeout, list));
	while (!list_empty(&processes))
		uloop_process_delete(list_first_entry(&processes, uloop_process, list));
}

} // extern "C"
