// Test program: registers the object "test" (or the name given after the
// socket) through our libubus and keeps it on the bus across bus-daemon
// restarts, the way the daemons do.
//   echo {id: string (required), n: int32}  -> {"id": id, "n": n}
//   nested                                   -> a table with nested arrays
//   twice                                    -> two replies, then status 0
//   die                                      -> the process exits mid-call
extern "C" {
#include <libubus.h>
}
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

ubus_context *ctx;
blob_buf reply;
uloop_timeout retry;
const char *socket_path;

enum { ECHO_ID, ECHO_N, __ECHO_MAX };
const blobmsg_policy echo_policy[__ECHO_MAX] = {
	[ECHO_ID] = { "id", BLOBMSG_TYPE_STRING },
	[ECHO_N] = { "n", BLOBMSG_TYPE_INT32 },
};

int echo(ubus_context *c, ubus_object *, ubus_request_data *req, const char *, blob_attr *msg)
{
	blob_attr *tb[__ECHO_MAX];

	blobmsg_parse(echo_policy, __ECHO_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[ECHO_ID])
		return UBUS_STATUS_INVALID_ARGUMENT;
	blob_buf_init(&reply, 0);
	blobmsg_add_string(&reply, "id", blobmsg_get_string(tb[ECHO_ID]));
	if (tb[ECHO_N])
		blobmsg_add_u32(&reply, "n", blobmsg_get_u32(tb[ECHO_N]));
	ubus_send_reply(c, req, reply.head);
	return 0;
}

int nested(ubus_context *c, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
	blob_buf_init(&reply, 0);
	void *outer = blobmsg_open_array(&reply, "rows");
	for (int i = 0; i < 2; i++) {
		void *row = blobmsg_open_array(&reply, nullptr);
		blobmsg_add_u32(&reply, nullptr, (uint32_t) i);
		blobmsg_add_string(&reply, nullptr, i ? "b" : "a");
		blobmsg_close_array(&reply, row);
	}
	blobmsg_close_array(&reply, outer);
	void *t = blobmsg_open_table(&reply, "meta");
	blobmsg_add_u8(&reply, "ok", 1);
	blobmsg_close_table(&reply, t);
	ubus_send_reply(c, req, reply.head);
	return 0;
}

int twice(ubus_context *c, ubus_object *, ubus_request_data *req, const char *, blob_attr *)
{
	for (int i = 1; i <= 2; i++) {
		blob_buf_init(&reply, 0);
		blobmsg_add_u32(&reply, "part", (uint32_t) i);
		ubus_send_reply(c, req, reply.head);
	}
	return 0;
}

int die(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
	_exit(3);
}

const ubus_method methods[] = {
	UBUS_METHOD("echo", echo, echo_policy),
	UBUS_METHOD_NOARG("nested", nested),
	UBUS_METHOD_NOARG("twice", twice),
	UBUS_METHOD_NOARG("die", die),
};
ubus_object_type type = UBUS_OBJECT_TYPE("test", methods);
ubus_object object = {
	.name = "test",
	.type = &type,
	.methods = methods,
	.n_methods = ARRAY_SIZE(methods),
};

void reconnect(uloop_timeout *)
{
	if (ubus_reconnect(ctx, socket_path)) {
		printf("failed to reconnect, trying again in 2 seconds\n");
		fflush(stdout);
		uloop_timeout_set(&retry, 2000);
		return;
	}
	printf("reconnected to ubus, new id: %08x\n", ctx->local_id);
	fflush(stdout);
	uloop_fd_add(&ctx->sock, ULOOP_READ | ULOOP_BLOCKING);
}

void lost(ubus_context *)
{
	reconnect(nullptr);
}

} // namespace

int main(int argc, char **argv)
{
	socket_path = argc > 1 ? argv[1] : nullptr;
	if (argc > 2)
		object.name = argv[2];
	uloop_init();
	ctx = ubus_connect(socket_path);
	if (!ctx) {
		fprintf(stderr, "Failed to connect to ubus\n");
		return 1;
	}
	ctx->connection_lost = lost;
	retry.cb = reconnect;
	uloop_fd_add(&ctx->sock, ULOOP_READ | ULOOP_BLOCKING);
	int ret = ubus_add_object(ctx, &object);
	printf("add_object: %d\n", ret);
	fflush(stdout);
	uloop_run();
	ubus_free(ctx);
	blob_buf_free(&reply);
	uloop_done();
	return 0;
}
