/* Legacy signature markers the platform's libubus.h also offers; nothing here uses them. */
#ifndef HOSTLIB_UBUS_COMMON_H
#define HOSTLIB_UBUS_COMMON_H

#define UBUS_SIGNATURE_METHOD	(BLOBMSG_TYPE_LAST + 1)
#define UBUS_SIGNATURE_END	(BLOBMSG_TYPE_LAST + 2)

#endif
