// The bridge's bus object "quilac".
#pragma once

int bridge_ubus_setup(void);
void bridge_ubus_teardown(void);
