// The daemons' bus connection: one object registered on the default socket,
// and the connection restored when the bus daemon goes away and comes back.
#pragma once

#include <libubus.h>
#include <sys/un.h>

#include "repeat.h"

// A lost connection is tried again at once, then every BUS_RETRY_S seconds:
// the first failure is said (critical), its repeats summed up (repeat.h),
// the return a notice.
constexpr int BUS_RETRY_S = 2;

// The object of a type, under the type's name and with its methods.
#define BUS_OBJECT(_type)						\
	{ .name = (_type).name, .type = &(_type), .methods = (_type).methods,	\
	  .n_methods = (_type).n_methods }

// The caller fills in `object` and `log` (both required) and leaves the rest
// zero; bus_open() and the reconnection own it from then on.
struct bus_conn {
	struct ubus_object *object;	// registered once; the library restores it on reconnection
	log_line_fn log;
	bool connected;			// ctx is set up; it stays so while being restored
	struct ubus_context ctx;
	struct uloop_timeout retry;
	struct log_repeat failures;	// of reconnection
	char path[sizeof(sockaddr_un::sun_path)];	// the bus socket, as connected
};

// Connects, watches the socket in the loop and registers the object. -1 when
// there is no bus ("Failed to connect to ubus" is logged; a connection that
// fails here is never tried again); otherwise the result of ubus_add_object()
// (0, or a status that the caller reports in its own words).
int bus_open(struct bus_conn *b);

// Closes the connection, if there is one, and stops retrying.
void bus_close(struct bus_conn *b);
