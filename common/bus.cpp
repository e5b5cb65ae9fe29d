// The bus connection both daemons keep: connect once at start, and after a
// loss reconnect at once, then on a timer until the bus daemon is back.
#include "bus.h"

namespace {

void say(bus_conn *b, const char *format, ...) __attribute__((format(printf, 2, 3)));

void say(bus_conn *b, const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	b->log(format, ap);
	va_end(ap);
}

void bus_retry(uloop_timeout *t)
{
	bus_conn *b = container_of(t, bus_conn, retry);

	if (ubus_reconnect(&b->ctx, nullptr)) {
		say(b, "failed to reconnect, trying again in %d seconds\n", BUS_RETRY_S);
		uloop_timeout_set(&b->retry, BUS_RETRY_S * 1000);
		return;
	}
	say(b, "reconnected to ubus, new id: %08x\n", b->ctx.local_id);
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
		say(b, "Failed to connect to ubus\n");
		return -1;
	}
	b->connected = true;
	b->ctx.connection_lost = bus_lost;
	ubus_add_uloop(&b->ctx);
	return ubus_add_object(&b->ctx, b->object);
}

void bus_close(struct bus_conn *b)
{
	uloop_timeout_cancel(&b->retry);
	if (!b->connected)
		return;
	ubus_shutdown(&b->ctx);
	b->connected = false;
}
