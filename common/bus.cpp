// The bus connection both daemons keep: connect once at start, and after a
// loss reconnect at once, then on a timer until the bus daemon is back.
#include "bus.h"

#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

namespace {

void say(bus_conn *b, int level, const char *format, ...) __attribute__((format(printf, 3, 4)));

void say(bus_conn *b, int level, const char *format, ...)
{
	char line[256];
	va_list ap;
	va_start(ap, format);
	vsnprintf(line, sizeof(line), format, ap);
	va_end(ap);
	b->log(level, line);
}

// The library connects to its own default socket; the connected socket's
// peer address says which it is, for the lines about losing it.
void note_path(bus_conn *b)
{
	sockaddr_un sun = {};
	socklen_t len = sizeof(sun);
	size_t off = offsetof(sockaddr_un, sun_path);
	if (getpeername(b->ctx.sock.fd, (sockaddr *) &sun, &len) || len <= off || !sun.sun_path[0]) {
		snprintf(b->path, sizeof(b->path), "the bus socket");
		return;
	}
	size_t n = strnlen(sun.sun_path, len - off);
	snprintf(b->path, sizeof(b->path), "%.*s", (int) n, sun.sun_path);
}

// A socket that cannot be reached has a system error; a daemon that does
// not speak the protocol has the library's status.
const char *reason(int ret, int err)
{
	return ret == UBUS_STATUS_CONNECTION_FAILED && err ? strerror(err) : ubus_strerror(ret);
}

void bus_retry(uloop_timeout *t)
{
	bus_conn *b = container_of(t, bus_conn, retry);

	errno = 0;
	int ret = ubus_reconnect(&b->ctx, nullptr);
	if (ret) {
		char line[sizeof(b->failures.last)];
		snprintf(line, sizeof(line), "failed to reconnect, trying again in %d seconds: %s: %s",
			 BUS_RETRY_S, b->path, reason(ret, errno));
		repeat_line(&b->failures, b->log, 0, line);
		uloop_timeout_set(&b->retry, BUS_RETRY_S * 1000);
		return;
	}
	repeat_end(&b->failures, b->log);
	say(b, 2, "reconnected to ubus, new id: %08x", b->ctx.local_id);
	ubus_add_uloop(&b->ctx);
}

void bus_lost(ubus_context *ctx)
{
	bus_retry(&container_of(ctx, bus_conn, ctx)->retry);
}

} // namespace

int bus_open(struct bus_conn *b)
{
	b->retry.cb = bus_retry;
	if (ubus_connect_ctx(&b->ctx, nullptr)) {
		say(b, 0, "Failed to connect to ubus");
		return -1;
	}
	b->connected = true;
	note_path(b);
	b->ctx.connection_lost = bus_lost;
	ubus_add_uloop(&b->ctx);
	return ubus_add_object(&b->ctx, b->object);
}

void bus_close(struct bus_conn *b)
{
	uloop_timeout_cancel(&b->retry);
	repeat_end(&b->failures, b->log);
	if (!b->connected)
		return;
	ubus_shutdown(&b->ctx);
	b->connected = false;
}
