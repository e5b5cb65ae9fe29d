/* Conversion between blobmsg and JSON text (parsing through json-c). */
#ifndef HOSTLIB_LIBUBOX_BLOBMSG_JSON_H
#define HOSTLIB_LIBUBOX_BLOBMSG_JSON_H

#include <stdbool.h>
#include "blobmsg.h"

struct json_object;

bool blobmsg_add_object(struct blob_buf *b, struct json_object *obj);
bool blobmsg_add_json_element(struct blob_buf *b, const char *name, struct json_object *obj);
bool blobmsg_add_json_from_string(struct blob_buf *b, const char *str);

/* Returns replacement text for a value, or NULL to format it normally. */
typedef const char *(*blobmsg_json_format_t)(void *priv, struct blob_attr *attr);

char *blobmsg_format_json_with_cb(struct blob_attr *attr, bool list,
				  blobmsg_json_format_t cb, void *priv, int indent);

static inline char *blobmsg_format_json(struct blob_attr *attr, bool list)
{
	return blobmsg_format_json_with_cb(attr, list, NULL, NULL, -1);
}

static inline char *blobmsg_format_json_indent(struct blob_attr *attr, bool list, int indent)
{
	return blobmsg_format_json_with_cb(attr, list, NULL, NULL, indent);
}

#endif
