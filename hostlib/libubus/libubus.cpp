// Bus client library. Requests are synchronous: the caller polls the socket
// itself until the STATUS of its request arrives, so calls work with or
// without the event loop. Method calls that arrive while a request waits are
// copied aside and served once it has completed.
#include <libubus.h>
#include "wire.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#ifndef UBUS_UNIX_SOCKET
#define UBUS_UNIX_SOCKET "/var/run/ubus/ubus.sock"
#endif

using namespace ubus_wire;

namespace {

// A peer that stalls in the middle of a message is given this long to finish it.
constexpr int PARTIAL_MESSAGE_MS = 5000;

blob_buf b;	/* every outgoing message is composed here */

struct pending_invoke {
	list_head list;
	header hdr;
	blob_attr data[];
};

int64_t now_ms()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (int64_t) ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

bool wait_fd(int fd, short events, int timeout)
{
	pollfd p = { fd, events, 0 };
	int r;
	do {
		r = poll(&p, 1, timeout);
	} while (r < 0 && errno == EINTR);
	return r > 0;
}

int send_msg(ubus_context *ctx, uint16_t seq, blob_attr *msg, int type, uint32_t peer)
{
	uint8_t hdr[HEADER_SIZE];
	size_t len = blob_raw_len(msg);

	if (ctx->sock.fd < 0 || len > UBUS_MAX_MSGLEN)
		return -1;

	put_header(hdr, (uint8_t) type, seq, peer);
	iovec iov[2] = { { hdr, sizeof(hdr) }, { msg, len } };
	size_t total = sizeof(hdr) + len, sent = 0;

	while (sent < total) {
		msghdr mh = {};
		iovec part[2];
		int n = 0;
		size_t skip = sent;
		for (iovec &v : iov) {
			if (skip >= v.iov_len) {
				skip -= v.iov_len;
				continue;
			}
			part[n].iov_base = (char *) v.iov_base + skip;
			part[n].iov_len = v.iov_len - skip;
			skip = 0;
			n++;
		}
		mh.msg_iov = part;
		mh.msg_iovlen = n;

		ssize_t w = sendmsg(ctx->sock.fd, &mh, MSG_NOSIGNAL);
		if (w > 0) {
			sent += (size_t) w;
			continue;
		}
		if (w < 0 && errno == EINTR)
			continue;
		if (w < 0 && errno == EAGAIN && wait_fd(ctx->sock.fd, POLLOUT, PARTIAL_MESSAGE_MS))
			continue;
		ctx->sock.eof = true;
		return -1;
	}
	return 0;
}

// Reads exactly len bytes. Returns 1 when done, 0 when nothing was there and
// the caller did not want to wait, -1 when the connection is gone.
int read_exact(ubus_context *ctx, void *buf, size_t len, bool may_return_empty)
{
	size_t got = 0;

	while (got < len) {
		ssize_t n = read(ctx->sock.fd, (char *) buf + got, len - got);
		if (n > 0) {
			got += (size_t) n;
			continue;
		}
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0 && errno == EAGAIN) {
			if (!got && may_return_empty)
				return 0;
			if (wait_fd(ctx->sock.fd, POLLIN, PARTIAL_MESSAGE_MS))
				continue;
		}
		ctx->sock.eof = true;
		return -1;
	}
	return 1;
}

bool reserve_msgbuf(ubus_context *ctx, size_t len)
{
	if (ctx->msgbuf.data && ctx->msgbuf_data_len >= len)
		return true;

	size_t cap = len < 4096 ? 4096 : len;
	void *p = realloc(ctx->msgbuf.data, cap);
	if (!p)
		return false;
	ctx->msgbuf.data = (blob_attr *) p;
	ctx->msgbuf_data_len = (uint32_t) cap;
	return true;
}

// One whole message into ctx->msgbuf: 1 read, 0 none pending, -1 connection gone.
int recv_msg(ubus_context *ctx)
{
	uint8_t head[FRAME_HEAD_SIZE];

	int r = read_exact(ctx, head, sizeof(head), true);
	if (r <= 0)
		return r;

	size_t len = root_len(head);
	if (!len || !reserve_msgbuf(ctx, len)) {
		/* A stream we cannot frame cannot be resynchronised: treat it as lost. */
		ctx->sock.eof = true;
		return -1;
	}

	header h = get_header(head);
	ctx->msgbuf.hdr.version = h.version;
	ctx->msgbuf.hdr.type = h.type;
	ctx->msgbuf.hdr.seq = h.seq;
	ctx->msgbuf.hdr.peer = h.peer;
	memcpy(ctx->msgbuf.data, head + HEADER_SIZE, sizeof(blob_attr));
	return read_exact(ctx, (char *) ctx->msgbuf.data + sizeof(blob_attr),
			  len - sizeof(blob_attr), false);
}

header current_header(ubus_context *ctx)
{
	return { ctx->msgbuf.hdr.version, ctx->msgbuf.hdr.type, ctx->msgbuf.hdr.seq,
		 ctx->msgbuf.hdr.peer };
}

void send_status(ubus_context *ctx, ubus_request_data *req, int ret)
{
	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_STATUS, (uint32_t) ret);
	blob_put_int32(&b, UBUS_ATTR_OBJID, req->object);
	send_msg(ctx, req->seq, b.head, UBUS_MSG_STATUS, req->peer);
}

const ubus_method *find_method(ubus_object *obj, const char *name)
{
	for (int i = 0; i < obj->n_methods; i++) {
		const ubus_method *m = &obj->methods[i];
		if (!m->name || !strcmp(m->name, name))
			return m;
	}
	return nullptr;
}

void process_invoke(ubus_context *ctx, const header &h, blob_attr *root)
{
	blob_attr *tb[UBUS_ATTR_MAX];
	parse(root, tb);

	ubus_request_data req = {};
	req.object = tb[UBUS_ATTR_OBJID] ? blob_get_u32(tb[UBUS_ATTR_OBJID]) : 0;
	req.peer = h.peer;
	req.seq = h.seq;
	req.fd = -1;
	req.req_fd = -1;

	bool no_reply = tb[UBUS_ATTR_NO_REPLY] && blob_get_u8(tb[UBUS_ATTR_NO_REPLY]);
	ubus_object *obj = tb[UBUS_ATTR_OBJID]
		? avl_find_element(&ctx->objects, &req.object, obj, avl) : nullptr;
	int ret;

	if (!obj) {
		ret = UBUS_STATUS_NOT_FOUND;
	} else if (!tb[UBUS_ATTR_METHOD]) {
		ret = UBUS_STATUS_INVALID_ARGUMENT;
	} else {
		if (tb[UBUS_ATTR_USER] && tb[UBUS_ATTR_GROUP]) {
			req.acl.user = blob_get_string(tb[UBUS_ATTR_USER]);
			req.acl.group = blob_get_string(tb[UBUS_ATTR_GROUP]);
		}
		req.acl.object = obj->name;

		const char *method = blob_get_string(tb[UBUS_ATTR_METHOD]);
		const ubus_method *m = find_method(obj, method);
		if (!m)
			ret = UBUS_STATUS_METHOD_NOT_FOUND;
		else if (!tb[UBUS_ATTR_DATA])
			ret = UBUS_STATUS_INVALID_ARGUMENT;
		else if (!m->handler)
			ret = UBUS_STATUS_NOT_SUPPORTED;
		else
			ret = m->handler(ctx, obj, &req, method, tb[UBUS_ATTR_DATA]);
	}
	if (!no_reply)
		send_status(ctx, &req, ret);
}

void queue_invoke(ubus_context *ctx, const header &h, blob_attr *root)
{
	size_t len = blob_raw_len(root);
	pending_invoke *p = (pending_invoke *) malloc(sizeof(*p) + len);

	if (!p)
		return;	/* the caller times out, as with a lost message */
	p->hdr = h;
	memcpy(p->data, root, len);
	list_add_tail(&p->list, &ctx->pending);
}

void process_pending(ubus_context *ctx)
{
	while (!list_empty(&ctx->pending) && !ctx->stack_depth) {
		pending_invoke *p = list_first_entry(&ctx->pending, pending_invoke, list);
		list_del(&p->list);
		process_invoke(ctx, p->hdr, p->data);
		free(p);
	}
}

void pending_timer_cb(uloop_timeout *t)
{
	process_pending(container_of(t, ubus_context, pending_timer));
}

ubus_request *find_request(ubus_context *ctx, const header &h)
{
	ubus_request *req;

	list_for_each_entry(req, &ctx->requests, list)
		if (req->seq == h.seq && req->peer == h.peer)
			return req;
	return nullptr;
}

void complete_request(ubus_request *req, int status)
{
	list_del_init(&req->list);
	req->status_msg = true;
	req->status_code = status;
	if (req->complete_cb)
		req->complete_cb(req, status);
}

void process_reply(ubus_context *ctx, const header &h, blob_attr *root)
{
	ubus_request *req = find_request(ctx, h);
	if (!req)
		return;

	blob_attr *tb[UBUS_ATTR_MAX];
	parse(root, tb);

	if (h.type == UBUS_MSG_STATUS) {
		int status = tb[UBUS_ATTR_STATUS] ? (int) blob_get_u32(tb[UBUS_ATTR_STATUS])
						  : UBUS_STATUS_INVALID_ARGUMENT;
		complete_request(req, status);
		return;
	}
	if (req->raw_data_cb)
		req->raw_data_cb(req, h.type, root);
	else if (req->data_cb && tb[UBUS_ATTR_DATA])
		req->data_cb(req, h.type, tb[UBUS_ATTR_DATA]);
}

void process_msg(ubus_context *ctx)
{
	header h = current_header(ctx);
	blob_attr *root = ctx->msgbuf.data;

	switch (h.type) {
	case UBUS_MSG_STATUS:
	case UBUS_MSG_DATA:
		process_reply(ctx, h, root);
		break;
	case UBUS_MSG_INVOKE:
		if (ctx->stack_depth)
			queue_invoke(ctx, h, root);
		else
			process_invoke(ctx, h, root);
		break;
	default:
		break;
	}
}

void fail_outstanding(ubus_context *ctx)
{
	while (!list_empty(&ctx->requests))
		complete_request(list_first_entry(&ctx->requests, ubus_request, list),
				 UBUS_STATUS_TIMEOUT);
}

void handle_data(uloop_fd *u, unsigned int)
{
	ubus_context *ctx = container_of(u, ubus_context, sock);

	while (!u->eof && recv_msg(ctx) > 0) {
		process_msg(ctx);
		if (uloop_cancelling() || ctx->cancel_poll)
			break;
	}
	if (u->eof) {
		fail_outstanding(ctx);
		if (ctx->connection_lost)
			ctx->connection_lost(ctx);
	}
}

void default_connection_lost(ubus_context *ctx)
{
	if (ctx->sock.registered)
		uloop_end();
}

int start_request(ubus_context *ctx, ubus_request *req, blob_attr *msg, int type, uint32_t peer)
{
	memset(req, 0, sizeof(*req));
	INIT_LIST_HEAD(&req->list);
	INIT_LIST_HEAD(&req->pending);
	req->fd = -1;
	req->ctx = ctx;
	req->peer = peer;
	req->seq = ++ctx->request_seq;

	if (send_msg(ctx, req->seq, msg, type, peer) < 0)
		return UBUS_STATUS_CONNECTION_FAILED;
	list_add_tail(&req->list, &ctx->requests);
	return 0;
}

// Sends the message composed in `b` to the daemon itself and waits for its
// STATUS; each DATA reply on the way goes to `cb` with the whole message.
int daemon_request(ubus_context *ctx, int type, ubus_data_handler_t cb, void *priv)
{
	ubus_request req;

	int ret = start_request(ctx, &req, b.head, type, 0);
	if (ret)
		return ret;
	req.raw_data_cb = cb;
	req.priv = priv;
	return ubus_complete_request(ctx, &req, 0);
}

void put_signature(ubus_object_type *type)
{
	void *sig = blob_nest_start(&b, UBUS_ATTR_SIGNATURE);

	for (int i = 0; i < type->n_methods; i++) {
		const ubus_method *m = &type->methods[i];
		void *tbl = blobmsg_open_table(&b, m->name);
		for (int j = 0; j < m->n_policy; j++) {
			if (m->mask && !(m->mask & (1ul << j)))
				continue;
			if (m->policy[j].name)
				blobmsg_add_u32(&b, m->policy[j].name, m->policy[j].type);
		}
		blobmsg_close_table(&b, tbl);
	}
	blob_nest_end(&b, sig);
}

int cmp_id(const void *k1, const void *k2, void *)
{
	uint32_t a = *(const uint32_t *) k1, b2 = *(const uint32_t *) k2;
	return (a > b2) - (a < b2);
}

void add_object_cb(ubus_request *req, int, blob_attr *root)
{
	ubus_object *obj = (ubus_object *) req->priv;
	blob_attr *tb[UBUS_ATTR_MAX];

	parse(root, tb);
	if (!tb[UBUS_ATTR_OBJID])
		return;
	obj->id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	if (tb[UBUS_ATTR_OBJTYPE] && obj->type)
		obj->type->id = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
	obj->avl.key = &obj->id;
	avl_insert(&req->ctx->objects, &obj->avl);
}

struct lookup_ctx {
	ubus_lookup_handler_t cb;
	void *priv;
};

void lookup_cb(ubus_request *req, int, blob_attr *root)
{
	lookup_ctx *lc = (lookup_ctx *) req->priv;
	blob_attr *tb[UBUS_ATTR_MAX];

	parse(root, tb);
	if (!tb[UBUS_ATTR_OBJID] || !tb[UBUS_ATTR_OBJPATH])
		return;

	ubus_object_data data = {};
	data.id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	data.type_id = tb[UBUS_ATTR_OBJTYPE] ? blob_get_u32(tb[UBUS_ATTR_OBJTYPE]) : 0;
	data.path = blob_get_string(tb[UBUS_ATTR_OBJPATH]);
	data.signature = tb[UBUS_ATTR_SIGNATURE];
	lc->cb(req->ctx, &data, lc->priv);
}

void lookup_id_cb(ubus_request *req, int, blob_attr *root)
{
	blob_attr *tb[UBUS_ATTR_MAX];

	parse(root, tb);
	if (tb[UBUS_ATTR_OBJID])
		*(uint32_t *) req->priv = blob_get_u32(tb[UBUS_ATTR_OBJID]);
}

int connect_socket(const char *path)
{
	sockaddr_un sun = {};
	if (strlen(path) >= sizeof(sun.sun_path))
		return -1;
	sun.sun_family = AF_UNIX;
	strcpy(sun.sun_path, path);

	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return -1;
	int r;
	do {
		r = connect(fd, (sockaddr *) &sun, sizeof(sun));
	} while (r < 0 && errno == EINTR);
	if (r < 0) {
		close(fd);
		return -1;
	}
	return fd;
}

// The daemon speaks first: a HELLO whose peer field is our client id.
bool read_hello(ubus_context *ctx)
{
	uint8_t head[FRAME_HEAD_SIZE];

	if (read_exact(ctx, head, sizeof(head), false) <= 0)
		return false;
	size_t len = root_len(head);
	if (!len || head[1] != UBUS_MSG_HELLO || !reserve_msgbuf(ctx, len))
		return false;
	if (read_exact(ctx, ctx->msgbuf.data, len - sizeof(blob_attr), false) <= 0)
		return false;

	/* Kept exactly as received, without byte-order conversion, as the
	 * platform library does: it is only ever displayed. */
	memcpy(&ctx->local_id, head + 4, sizeof(ctx->local_id));
	return ctx->local_id > 1;
}

// Puts the objects back under their old ids (the next attempt clears their
// types' ids again before it registers them).
void restore_objects(ubus_context *ctx, ubus_object **objs, const uint32_t *ids, unsigned int n)
{
	avl_init(&ctx->objects, cmp_id, false, nullptr);
	for (unsigned int i = 0; i < n; i++) {
		objs[i]->id = ids[i];
		objs[i]->avl.key = &objs[i]->id;
		avl_insert(&ctx->objects, &objs[i]->avl);
	}
}

// Registers every object of the context again on the new connection (they
// get new ids). When one is refused, e.g. because another client took its
// name while the daemon was away, all of them are kept under their old ids
// and the status is returned, so that the next reconnection tries again.
int readd_objects(ubus_context *ctx)
{
	unsigned int n = ctx->objects.count;
	if (!n)
		return UBUS_STATUS_OK;

	ubus_object **objs = (ubus_object **) malloc(n * (sizeof(*objs) + sizeof(uint32_t)));
	if (!objs)
		return UBUS_STATUS_NO_MEMORY;
	uint32_t *old_ids = (uint32_t *) (objs + n);

	unsigned int i = 0;
	ubus_object *obj;
	avl_for_each_element(&ctx->objects, obj, avl) {
		old_ids[i] = obj->id;
		objs[i++] = obj;
	}
	for (i = 0; i < n; i++)
		if (objs[i]->type)
			objs[i]->type->id = 0;
	avl_init(&ctx->objects, cmp_id, false, nullptr);

	int ret = UBUS_STATUS_OK;
	for (i = 0; i < n && !ret; i++) {
		objs[i]->id = 0;
		ret = ubus_add_object(ctx, objs[i]);
	}
	if (ret)
		restore_objects(ctx, objs, old_ids, n);
	free(objs);
	return ret;
}

void init_context(ubus_context *ctx)
{
	memset(ctx, 0, sizeof(*ctx));
	INIT_LIST_HEAD(&ctx->requests);
	INIT_LIST_HEAD(&ctx->pending);
	avl_init(&ctx->objects, cmp_id, false, nullptr);
	ctx->sock.fd = -1;
	ctx->sock.cb = handle_data;
	ctx->pending_timer.cb = pending_timer_cb;
	ctx->connection_lost = default_connection_lost;
}

void release_context(ubus_context *ctx)
{
	if (ctx->sock.registered)
		uloop_fd_delete(&ctx->sock);
	if (ctx->sock.fd >= 0)
		close(ctx->sock.fd);
	ctx->sock.fd = -1;
	uloop_timeout_cancel(&ctx->pending_timer);
	while (!list_empty(&ctx->pending)) {
		pending_invoke *p = list_first_entry(&ctx->pending, pending_invoke, list);
		list_del(&p->list);
		free(p);
	}
	free(ctx->msgbuf.data);
	ctx->msgbuf.data = nullptr;
	ctx->msgbuf_data_len = 0;
}

} // namespace

extern "C" {

const char *ubus_strerror(int error)
{
	static const char *const texts[__UBUS_STATUS_LAST] = {
		[UBUS_STATUS_OK] = "Success",
		[UBUS_STATUS_INVALID_COMMAND] = "Invalid command",
		[UBUS_STATUS_INVALID_ARGUMENT] = "Invalid argument",
		[UBUS_STATUS_METHOD_NOT_FOUND] = "Method not found",
		[UBUS_STATUS_NOT_FOUND] = "Not found",
		[UBUS_STATUS_NO_DATA] = "No response",
		[UBUS_STATUS_PERMISSION_DENIED] = "Permission denied",
		[UBUS_STATUS_TIMEOUT] = "Request timed out",
		[UBUS_STATUS_NOT_SUPPORTED] = "Operation not supported",
		[UBUS_STATUS_UNKNOWN_ERROR] = "Unknown error",
		[UBUS_STATUS_CONNECTION_FAILED] = "Connection failed",
		[UBUS_STATUS_NO_MEMORY] = "Out of memory",
		[UBUS_STATUS_PARSE_ERROR] = "Parsing message data failed",
		[UBUS_STATUS_SYSTEM_ERROR] = "System error",
	};
	static char buf[32];

	if (error < 0 || error >= __UBUS_STATUS_LAST) {
		snprintf(buf, sizeof(buf), "Unknown error: %d", error);
		return buf;
	}
	return texts[error];
}

int ubus_reconnect(struct ubus_context *ctx, const char *path)
{
	if (ctx->sock.fd >= 0) {
		if (ctx->sock.registered)
			uloop_fd_delete(&ctx->sock);
		close(ctx->sock.fd);
	}
	ctx->sock.eof = false;
	ctx->sock.error = false;

	ctx->sock.fd = connect_socket(path ? path : UBUS_UNIX_SOCKET);
	if (ctx->sock.fd < 0)
		return UBUS_STATUS_CONNECTION_FAILED;

	/* Non-blocking before the HELLO: a daemon that accepts late or never
	 * costs a bounded wait, not a process stuck in read() for good. */
	int fl = fcntl(ctx->sock.fd, F_GETFL);
	fcntl(ctx->sock.fd, F_SETFL, fl | O_NONBLOCK);

	if (!read_hello(ctx)) {
		close(ctx->sock.fd);
		ctx->sock.fd = -1;
		return UBUS_STATUS_UNKNOWN_ERROR;
	}

	/* Unlike the platform library, a connection without all of our objects
	 * is not reported as a success: the caller's retry keeps trying. */
	int ret = readd_objects(ctx);
	if (ret) {
		close(ctx->sock.fd);
		ctx->sock.fd = -1;
	}
	return ret;
}

int ubus_connect_ctx(struct ubus_context *ctx, const char *path)
{
	init_context(ctx);
	uloop_init();
	if (ubus_reconnect(ctx, path)) {
		release_context(ctx);
		return -1;
	}
	return 0;
}

struct ubus_context *ubus_connect(const char *path)
{
	ubus_context *ctx = (ubus_context *) calloc(1, sizeof(*ctx));

	if (!ctx)
		return NULL;
	if (ubus_connect_ctx(ctx, path)) {
		free(ctx);
		return NULL;
	}
	return ctx;
}

void ubus_shutdown(struct ubus_context *ctx)
{
	if (ctx)
		release_context(ctx);
}

void ubus_free(struct ubus_context *ctx)
{
	if (!ctx)
		return;
	release_context(ctx);
	blob_buf_free(&b);
	free(ctx);
}

int ubus_complete_request(struct ubus_context *ctx, struct ubus_request *req, int timeout)
{
	int64_t deadline = timeout > 0 ? now_ms() + timeout : 0;
	int ret = UBUS_STATUS_TIMEOUT;

	ctx->stack_depth++;
	while (!req->status_msg) {
		if (ctx->sock.eof || ctx->sock.fd < 0) {
			ret = UBUS_STATUS_CONNECTION_FAILED;
			break;
		}
		int wait = -1;
		if (timeout > 0) {
			int64_t left = deadline - now_ms();
			if (left <= 0)
				break;
			wait = (int) left;
		}
		if (!wait_fd(ctx->sock.fd, POLLIN, wait))
			continue;
		while (!req->status_msg && recv_msg(ctx) > 0)
			process_msg(ctx);
	}
	ctx->stack_depth--;

	if (req->status_msg)
		ret = req->status_code;
	else
		ubus_abort_request(ctx, req);

	if (!ctx->stack_depth && !list_empty(&ctx->pending)) {
		if (ctx->sock.registered)
			uloop_timeout_set(&ctx->pending_timer, 1);
		else
			process_pending(ctx);
	}
	return ret;
}

void ubus_abort_request(struct ubus_context *, struct ubus_request *req)
{
	list_del_init(&req->list);
	req->cancelled = true;
}

int ubus_add_object(struct ubus_context *ctx, struct ubus_object *obj)
{
	blob_buf_init(&b, 0);
	if (obj->name && obj->type) {
		blob_put_string(&b, UBUS_ATTR_OBJPATH, obj->name);
		if (obj->type->id)
			blob_put_int32(&b, UBUS_ATTR_OBJTYPE, obj->type->id);
		else
			put_signature(obj->type);
	}

	int ret = daemon_request(ctx, UBUS_MSG_ADD_OBJECT, add_object_cb, obj);
	if (ret)
		return ret;
	return obj->id ? UBUS_STATUS_OK : UBUS_STATUS_NO_DATA;
}

int ubus_lookup(struct ubus_context *ctx, const char *path,
		ubus_lookup_handler_t cb, void *priv)
{
	lookup_ctx lc = { cb, priv };

	blob_buf_init(&b, 0);
	if (path)
		blob_put_string(&b, UBUS_ATTR_OBJPATH, path);
	return daemon_request(ctx, UBUS_MSG_LOOKUP, lookup_cb, &lc);
}

int ubus_lookup_id(struct ubus_context *ctx, const char *path, uint32_t *id)
{
	blob_buf_init(&b, 0);
	if (path)
		blob_put_string(&b, UBUS_ATTR_OBJPATH, path);
	return daemon_request(ctx, UBUS_MSG_LOOKUP, lookup_id_cb, id);
}

int ubus_invoke_fd(struct ubus_context *ctx, uint32_t obj, const char *method,
		   struct blob_attr *msg, ubus_data_handler_t cb, void *priv,
		   int timeout, int)
{
	ubus_request req;

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, obj);
	blob_put_string(&b, UBUS_ATTR_METHOD, method);
	if (!blob_put(&b, UBUS_ATTR_DATA, msg ? blob_data(msg) : NULL,
		      msg ? (unsigned int) blob_len(msg) : 0) ||
	    blob_raw_len(b.head) > UBUS_MAX_MSGLEN)
		return UBUS_STATUS_INVALID_ARGUMENT;

	int ret = start_request(ctx, &req, b.head, UBUS_MSG_INVOKE, obj);
	if (ret)
		return ret;
	req.data_cb = cb;
	req.priv = priv;
	return ubus_complete_request(ctx, &req, timeout);
}

int ubus_send_reply(struct ubus_context *ctx, struct ubus_request_data *req,
		    struct blob_attr *msg)
{
	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, req->object);
	if (!blob_put(&b, UBUS_ATTR_DATA, blob_data(msg), (unsigned int) blob_len(msg)))
		return UBUS_STATUS_NO_DATA;
	if (send_msg(ctx, req->seq, b.head, UBUS_MSG_DATA, req->peer) < 0)
		return UBUS_STATUS_NO_DATA;
	return UBUS_STATUS_OK;
}

} // extern "C"
