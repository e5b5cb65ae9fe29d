// The controller addresses an AP also asks by unicast, for controllers that
// its broadcast does not reach (another subnet behind a router): given on
// the command line, or handed out by DHCP (option 138) and written by the DHCP
// client's hook into DISC_DHCP_CONTROLLERS.
#pragma once

#include <netinet/in.h>
#include <stddef.h>

constexpr size_t DISC_MAX_CONTROLLERS = 8;
constexpr const char *DISC_DHCP_CONTROLLERS = "/var/run/quildis/ac_address";
constexpr size_t DISC_CONTROLLERS_FILE_MAX = 512;	/* more than 8 addresses and their line ends */

struct controller_list {
	in_addr addr[DISC_MAX_CONTROLLERS];
	size_t count;
};

// Whether `text` is a unicast IPv4 host address in dotted-decimal form as
// inet_ntop writes it (no leading zeros): not in 0/8, 127/8 or 224/3
// (multicast, reserved, 255.255.255.255). On success *out holds it.
bool disc_is_host_address(const char *text, in_addr *out);

// Adds an address unless it is there already or the list is full; false
// when `text` is not a host address.
bool controllers_add(controller_list *l, const char *text);
// Whether `text` is an address already in the list.
bool controllers_has(const controller_list *l, const char *text);
// Adds the host addresses in `text`, separated by blanks or line ends;
// anything else in it is skipped.
void controllers_parse(controller_list *l, const char *text);
// Adds those of the file at `path` (at most DISC_CONTROLLERS_FILE_MAX bytes
// of it); a missing file adds none.
void controllers_read(controller_list *l, const char *path);
