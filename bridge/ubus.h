// The bridge's bus object "quilac" and its connection upkeep.
#pragma once

struct ubus_context;
struct uloop_timeout;

int bridge_ubus_setup(void);
void bridge_ubus_teardown(void);
void bridge_ubus_lost(struct ubus_context *ctx);
void bridge_ubus_reconnect(struct uloop_timeout *timer);
