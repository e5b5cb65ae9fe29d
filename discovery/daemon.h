// The discovery daemon's state, socket, datagram handling, hotplug event and
// bus object.
#pragma once

#include "auth.h"
#include "controllers.h"

#include <stddef.h>
#include <stdint.h>
#include <sys/socket.h>
#include <sys/types.h>

struct uloop_fd;

struct ac_profile {
	char ip[64];
	char mac[64];
	char proto[64];
	int port;
};

enum { QUILDIS_AC = 0, QUILDIS_AP = 1 };

extern int g_quildis_mode;	/* QUILDIS_AC (default) or QUILDIS_AP (-c) */
extern struct ac_profile g_ac_profile;
extern int g_request_status;	/* 1 once an AC profile is remembered */
extern struct uloop_fd server_fd;
extern char g_request_nonce[DISC_NONCE_LEN + 1];	/* AP with a key: the nonce of the latest request */

constexpr int DISC_HOTPLUG_LIMIT_S = 60;
constexpr int DISC_HOTPLUG_LIMIT_MAX_S = 2147483;	/* its milliseconds fit an int */
extern int g_hotplug_limit_s;		/* a hotplug script running longer is killed; 0: never */
extern struct controller_list g_controllers;	/* AP: asked by unicast as well (-a) */

// A "proto" an AP takes: a short name, nothing a shell would read as more.
bool disc_is_proto_name(const char *s);
int open_server_socket(const char *ifname);
void on_server_readable(struct uloop_fd *u, unsigned int events);
int handle_datagram(const uint8_t *buf, size_t count, int fd,
		    const struct sockaddr *src, socklen_t srclen);
// Posts the hotplug event (common/hotplug.h: one script at a time, the newest values last).
void run_hotplug(const char *mac, const char *ip, const char *proto, int port);
void broadcast_announce(void);
void broadcast_request(void);

int ubus_setup(void);
void ubus_teardown(void);
