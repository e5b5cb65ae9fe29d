// Bus daemon for hosts: hello, object registration, lookup, and method calls
// forwarded between clients. Every message is framed and bounded before it is
// buffered; a client that breaks the framing is disconnected, one that stops
// reading has its queue capped, and nothing a client sends can stop the daemon.
//
// Only root owns the bus. The socket is open to every local user, so a peer
// whose user id is not 0 may ping and list objects without methods, and
// nothing else: its calls are answered "permission denied", its objects are
// refused, and a lookup hides every object that has methods. No access-list
// files are read. Such peers share a small number of connections, so they
// cannot use up the daemon's descriptors or memory and lock root out.
#include "wire.h"
extern "C" {
#include <libubox/avl.h>
#include <libubox/avl-cmp.h>
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
}

#include <errno.h>
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#ifndef UBUS_UNIX_SOCKET
#define UBUS_UNIX_SOCKET "/var/run/ubus/ubus.sock"
#endif

using namespace ubus_wire;

namespace {

// Output owed to one client; beyond it, new messages to that client are dropped
// so that a client which stops reading cannot make the daemon grow.
constexpr size_t MAX_QUEUE_BYTES = 1 << 20;
// Messages handled per readiness of one client before the loop serves others;
// the watch is level-triggered, so the rest are read on the next round.
constexpr int MAX_MSGS_PER_WAKEUP = 16;
// Connections of all non-root peers together, so that they cannot use up the
// daemon's descriptors and lock root out.
constexpr int MAX_GUESTS = 32;
// Accepting pauses this long after running out of descriptors (no busy loop).
constexpr int ACCEPT_PAUSE_MS = 100;

struct out_msg {
	list_head list;
	size_t len, sent;
	uint8_t data[];
};

struct client {
	uloop_fd fd;
	avl_node avl;
	uint32_t id;
	bool privileged;	/* user id 0 */
	char user[32], group[32];

	uint8_t head[FRAME_HEAD_SIZE];
	size_t head_got;
	blob_attr *body;
	size_t body_len, body_got;

	list_head out;
	size_t out_bytes;
	bool dead;
	list_head dead_list;
};

struct obj_type {
	avl_node avl;
	uint32_t id;
	int refs;
	blob_attr *signature;
};

struct object {
	avl_node by_id;
	avl_node by_path;
	uint32_t id;
	char *path;
	obj_type *type;
	client *owner;
};

avl_tree clients, objects, paths, types;
LIST_HEAD(dead_clients);
uloop_timeout reaper, accept_resume;
uloop_fd server;
int guests, guest_limit;
blob_buf b;

int cmp_u32(const void *k1, const void *k2, void *)
{
	uint32_t a = *(const uint32_t *) k1, c = *(const uint32_t *) k2;
	return (a > c) - (a < c);
}

// A random id of at least 1024 not yet used in `tree` (ids below are reserved).
uint32_t new_id(avl_tree *tree)
{
	for (;;) {
		uint32_t id;
		if (getrandom(&id, sizeof(id), 0) != sizeof(id))
			id = (uint32_t) random() ^ ((uint32_t) random() << 16);
		if (id >= 1024 && !avl_find(tree, &id))
			return id;
	}
}

/* ---- output ---- */

void update_watch(client *c)
{
	if (c->dead)
		return;
	uloop_fd_add(&c->fd, ULOOP_READ | ULOOP_ERROR_CB | (c->out_bytes ? ULOOP_WRITE : 0));
}

// A client is freed later, from the reaper timeout, never on the spot: the
// failing send may come from inside another client's handler (a forwarded
// call or reply), or from this client's own read loop, and both still hold it.
void mark_dead(client *c)
{
	if (c->dead)
		return;
	c->dead = true;
	uloop_fd_delete(&c->fd);
	list_add_tail(&c->dead_list, &dead_clients);
	uloop_timeout_set(&reaper, 0);
}

void flush(client *c)
{
	while (!list_empty(&c->out) && !c->dead) {
		out_msg *m = list_first_entry(&c->out, out_msg, list);
		ssize_t w = send(c->fd.fd, m->data + m->sent, m->len - m->sent, MSG_NOSIGNAL);
		if (w < 0 && errno == EINTR)
			continue;
		if (w < 0 && errno == EAGAIN)
			break;
		if (w <= 0) {
			mark_dead(c);
			return;
		}
		m->sent += (size_t) w;
		if (m->sent < m->len)
			break;
		c->out_bytes -= sizeof(*m) + m->len;
		list_del(&m->list);
		free(m);
	}
	update_watch(c);
}

void send_to(client *c, int type, uint16_t seq, uint32_t peer, const blob_attr *root)
{
	size_t len = HEADER_SIZE + blob_raw_len(root);
	size_t cost = sizeof(out_msg) + len;	/* small messages must not outgrow the cap */

	if (c->dead || c->out_bytes + cost > MAX_QUEUE_BYTES)
		return;	/* a client that does not read loses messages, not the daemon */

	out_msg *m = (out_msg *) malloc(sizeof(*m) + len);
	if (!m)
		return;
	m->len = len;
	m->sent = 0;
	put_header(m->data, (uint8_t) type, seq, peer);
	memcpy(m->data + HEADER_SIZE, root, blob_raw_len(root));
	list_add_tail(&m->list, &c->out);
	c->out_bytes += cost;
	flush(c);
}

void send_status(client *c, const header &h, int status)
{
	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_STATUS, (uint32_t) status);
	send_to(c, UBUS_MSG_STATUS, h.seq, h.peer, b.head);
}

/* ---- objects ---- */

void release_type(obj_type *t)
{
	avl_delete(&types, &t->avl);
	free(t->signature);
	free(t);
}

// Returns the id of the object's type when this was its last object, else 0.
uint32_t remove_object(object *o)
{
	uint32_t gone = 0;

	avl_delete(&objects, &o->by_id);
	if (o->path)
		avl_delete(&paths, &o->by_path);
	if (o->type && --o->type->refs == 0) {
		gone = o->type->id;
		release_type(o->type);
	}
	free(o->path);
	free(o);
	return gone;
}

bool valid_signature(blob_attr *sig)
{
	blob_attr *m;
	size_t rem;

	blob_for_each_attr(m, sig, rem) {
		if (!blob_is_extended(m) || blobmsg_type(m) != BLOBMSG_TYPE_TABLE ||
		    !blobmsg_check_attr(m, true) || blobmsg_check_array(m, BLOBMSG_TYPE_UNSPEC) < 0)
			return false;
	}
	return rem == 0;
}

bool has_methods(const object *o)
{
	return blob_len(o->type->signature) > 0;
}

void put_object(const object *o)
{
	blob_buf_init(&b, 0);
	blob_put_string(&b, UBUS_ATTR_OBJPATH, o->path);
	blob_put_int32(&b, UBUS_ATTR_OBJID, o->id);
	blob_put_int32(&b, UBUS_ATTR_OBJTYPE, o->type->id);
	blob_put(&b, UBUS_ATTR_SIGNATURE, blob_data(o->type->signature),
		 (unsigned int) blob_len(o->type->signature));
}

// Paths are kept in order, so an exact name or a prefix is one range of the
// tree: the walk starts at its first path and stops past its last.
void handle_lookup(client *c, const header &h, blob_attr **tb)
{
	const char *path = tb[UBUS_ATTR_OBJPATH] ? blob_get_string(tb[UBUS_ATTR_OBJPATH]) : nullptr;
	size_t prefix = path ? strlen(path) : 0;
	bool wildcard = prefix && path[prefix - 1] == '*';
	int found = 0;

	if (path && !*path) {
		send_status(c, h, UBUS_STATUS_INVALID_ARGUMENT);
		return;
	}
	if (wildcard)
		prefix--;

	char *start = path ? strndup(path, prefix) : nullptr;
	if (path && !start) {
		send_status(c, h, UBUS_STATUS_NO_MEMORY);
		return;
	}

	object *o = start ? avl_find_ge_element(&paths, start, o, by_path)
			  : avl_first_element(&paths, o, by_path);
	for (; o && &o->by_path.list != &paths.list_head; o = avl_next_element(o, by_path)) {
		if (path && (strncmp(o->path, path, prefix) || (!wildcard && o->path[prefix])))
			break;
		if (!o->type || (!c->privileged && has_methods(o)))
			continue;
		put_object(o);
		send_to(c, UBUS_MSG_DATA, h.seq, h.peer, b.head);
		found++;
	}
	free(start);
	send_status(c, h, (path && !found) ? UBUS_STATUS_NOT_FOUND : UBUS_STATUS_OK);
}

// A new type holding a copy of `signature`; nullptr when memory runs out.
obj_type *new_type(blob_attr *signature)
{
	obj_type *type = (obj_type *) calloc(1, sizeof(*type));
	if (type)
		type->signature = blob_memdup(signature);
	if (!type || !type->signature) {
		free(type);
		return nullptr;
	}
	type->id = new_id(&types);
	type->avl.key = &type->id;
	avl_insert(&types, &type->avl);
	return type;
}

// A new object of `c` called `path` (nullptr: anonymous) with `type` (may be
// nullptr); nullptr when memory runs out.
object *new_object(client *c, const char *path, obj_type *type)
{
	object *o = (object *) calloc(1, sizeof(*o));
	if (!o)
		return nullptr;
	if (path && !(o->path = strdup(path))) {
		free(o);
		return nullptr;
	}
	o->id = new_id(&objects);
	o->owner = c;
	o->type = type;
	if (type)
		type->refs++;
	o->by_id.key = &o->id;
	avl_insert(&objects, &o->by_id);
	if (o->path) {
		o->by_path.key = o->path;
		avl_insert(&paths, &o->by_path);
	}
	return o;
}

// Only root adds objects, so no one else can take a daemon's name while it
// reconnects; a name must be free and a signature well-formed.
bool may_add(const client *c, const char *path, blob_attr *signature)
{
	if (!c->privileged)
		return false;
	if (path && (!*path || avl_find(&paths, path)))
		return false;
	return !signature || valid_signature(signature);
}

void handle_add_object(client *c, const header &h, blob_attr **tb)
{
	const char *path = tb[UBUS_ATTR_OBJPATH] ? blob_get_string(tb[UBUS_ATTR_OBJPATH]) : nullptr;
	blob_attr *signature = tb[UBUS_ATTR_SIGNATURE];
	obj_type *type = nullptr;

	if (!may_add(c, path, signature)) {
		send_status(c, h, UBUS_STATUS_INVALID_ARGUMENT);
		return;
	}

	if (signature) {
		type = new_type(signature);
		if (!type) {
			send_status(c, h, UBUS_STATUS_NO_MEMORY);
			return;
		}
	} else if (tb[UBUS_ATTR_OBJTYPE]) {
		uint32_t tid = blob_get_u32(tb[UBUS_ATTR_OBJTYPE]);
		type = avl_find_element(&types, &tid, type, avl);
		if (!type) {
			send_status(c, h, UBUS_STATUS_NOT_FOUND);
			return;
		}
	}

	object *o = new_object(c, path, type);
	if (!o) {
		if (signature)
			release_type(type);
		send_status(c, h, UBUS_STATUS_NO_MEMORY);
		return;
	}

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, o->id);
	if (signature)	/* the type is new: its id goes back with the object's */
		blob_put_int32(&b, UBUS_ATTR_OBJTYPE, type->id);
	send_to(c, UBUS_MSG_DATA, h.seq, h.peer, b.head);
	send_status(c, h, UBUS_STATUS_OK);
}

// The object named by OBJID; answers the status itself when there is none.
object *requested_object(client *c, const header &h, blob_attr **tb, bool need_method)
{
	if (!tb[UBUS_ATTR_OBJID] || (need_method && !tb[UBUS_ATTR_METHOD])) {
		send_status(c, h, UBUS_STATUS_INVALID_ARGUMENT);
		return nullptr;
	}
	uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	object *o = avl_find_element(&objects, &id, o, by_id);
	if (!o)
		send_status(c, h, UBUS_STATUS_NOT_FOUND);
	return o;
}

void handle_remove_object(client *c, const header &h, blob_attr **tb)
{
	if (!c->privileged) {	/* owns nothing; and must not learn which ids exist */
		send_status(c, h, UBUS_STATUS_PERMISSION_DENIED);
		return;
	}
	object *o = requested_object(c, h, tb, false);
	if (!o)
		return;
	uint32_t id = o->id;
	if (o->owner != c) {
		send_status(c, h, UBUS_STATUS_PERMISSION_DENIED);
		return;
	}

	uint32_t gone_type = remove_object(o);
	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, id);
	if (gone_type)
		blob_put_int32(&b, UBUS_ATTR_OBJTYPE, gone_type);
	send_to(c, UBUS_MSG_DATA, h.seq, h.peer, b.head);
	send_status(c, h, UBUS_STATUS_OK);
}

void handle_invoke(client *c, const header &h, blob_attr **tb)
{
	if (!c->privileged) {	/* before the lookup: hidden ids stay hidden */
		send_status(c, h, UBUS_STATUS_PERMISSION_DENIED);
		return;
	}
	object *o = requested_object(c, h, tb, true);
	if (!o)
		return;

	blob_buf_init(&b, 0);
	blob_put_int32(&b, UBUS_ATTR_OBJID, o->id);
	blob_put_string(&b, UBUS_ATTR_METHOD, blob_get_string(tb[UBUS_ATTR_METHOD]));
	blob_put_string(&b, UBUS_ATTR_USER, c->user);
	blob_put_string(&b, UBUS_ATTR_GROUP, c->group);
	if (tb[UBUS_ATTR_DATA])
		blob_put(&b, UBUS_ATTR_DATA, blob_data(tb[UBUS_ATTR_DATA]),
			 (unsigned int) blob_len(tb[UBUS_ATTR_DATA]));
	if (tb[UBUS_ATTR_NO_REPLY])
		blob_put_int8(&b, UBUS_ATTR_NO_REPLY, blob_get_u8(tb[UBUS_ATTR_NO_REPLY]));
	send_to(o->owner, UBUS_MSG_INVOKE, h.seq, c->id, b.head);
}

// DATA or STATUS from an object's owner, addressed to the caller in `peer`.
void handle_reply(client *c, const header &h, blob_attr *root, blob_attr **tb)
{
	if (!tb[UBUS_ATTR_OBJID])
		return;
	uint32_t id = blob_get_u32(tb[UBUS_ATTR_OBJID]);
	object *o = avl_find_element(&objects, &id, o, by_id);
	if (!o || o->owner != c)
		return;
	client *to = avl_find_element(&clients, &h.peer, to, avl);
	if (to)
		send_to(to, h.type, h.seq, id, root);
}

void handle_msg(client *c, const header &h, blob_attr *root)
{
	blob_attr *tb[UBUS_ATTR_MAX];
	parse(root, tb);

	switch (h.type) {
	case UBUS_MSG_PING:
		send_to(c, UBUS_MSG_DATA, h.seq, h.peer, root);
		send_status(c, h, UBUS_STATUS_OK);
		break;
	case UBUS_MSG_LOOKUP:
		handle_lookup(c, h, tb);
		break;
	case UBUS_MSG_ADD_OBJECT:
		handle_add_object(c, h, tb);
		break;
	case UBUS_MSG_REMOVE_OBJECT:
		handle_remove_object(c, h, tb);
		break;
	case UBUS_MSG_INVOKE:
		handle_invoke(c, h, tb);
		break;
	case UBUS_MSG_DATA:
	case UBUS_MSG_STATUS:
		handle_reply(c, h, root, tb);
		break;
	case UBUS_MSG_SUBSCRIBE:
	case UBUS_MSG_UNSUBSCRIBE:
	case UBUS_MSG_NOTIFY:
		send_status(c, h, UBUS_STATUS_NOT_SUPPORTED);
		break;
	default:
		send_status(c, h, UBUS_STATUS_INVALID_COMMAND);
		break;
	}
}

/* ---- clients ---- */

void free_client(client *c)
{
	object *o, *tmp;
	avl_for_each_element_safe(&objects, o, by_id, tmp)
		if (o->owner == c)
			remove_object(o);

	while (!list_empty(&c->out)) {
		out_msg *m = list_first_entry(&c->out, out_msg, list);
		list_del(&m->list);
		free(m);
	}
	uloop_fd_delete(&c->fd);
	close(c->fd.fd);
	if (!c->privileged)
		guests--;
	avl_delete(&clients, &c->avl);
	free(c->body);
	free(c);
}

void reap_dead(uloop_timeout *)
{
	while (!list_empty(&dead_clients)) {
		client *c = list_first_entry(&dead_clients, client, dead_list);
		list_del(&c->dead_list);
		free_client(c);
	}
}

// Reads what is there; returns false when the client must go.
bool read_some(client *c, void *buf, size_t len, size_t *got)
{
	ssize_t n = read(c->fd.fd, (char *) buf + *got, len - *got);
	if (n > 0) {
		*got += (size_t) n;
		return true;
	}
	return n < 0 && (errno == EAGAIN || errno == EINTR);
}

// Advances the client's current message: 1 when it is complete, 0 when more
// bytes are needed, -1 when the client must go.
int read_message(client *c)
{
	if (c->head_got < sizeof(c->head)) {
		if (!read_some(c, c->head, sizeof(c->head), &c->head_got))
			return -1;
		if (c->head_got < sizeof(c->head))
			return 0;
		c->body_len = root_len(c->head);
		if (!c->body_len || !(c->body = (blob_attr *) malloc(c->body_len)))
			return -1;
		memcpy(c->body, c->head + HEADER_SIZE, sizeof(blob_attr));
		c->body_got = sizeof(blob_attr);
	}
	if (c->body_got < c->body_len && !read_some(c, c->body, c->body_len, &c->body_got))
		return -1;
	return c->body_got == c->body_len;
}

void client_cb(uloop_fd *u, unsigned int events)
{
	client *c = container_of(u, client, fd);

	if (events & ULOOP_WRITE)
		flush(c);

	for (int n = 0; n < MAX_MSGS_PER_WAKEUP && !c->dead; n++) {
		int r = read_message(c);
		if (r < 0)
			mark_dead(c);
		if (r <= 0)
			return;

		header h = get_header(c->head);
		blob_attr *body = c->body;
		c->body = nullptr;
		c->head_got = 0;
		handle_msg(c, h, body);
		free(body);
	}
}

// Returns false for a non-root peer when all guest connections are taken.
bool credentials(client *c)
{
	ucred cred;
	socklen_t len = sizeof(cred);
	char buf[1024];

	snprintf(c->user, sizeof(c->user), "?");
	snprintf(c->group, sizeof(c->group), "?");
	bool known = getsockopt(c->fd.fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0;
	c->privileged = known && cred.uid == 0;	/* unknown peers stay unprivileged */
	if (!c->privileged && guests >= guest_limit)
		return false;
	if (!c->privileged)
		guests++;
	if (!known)
		return true;

	passwd pw, *pwp = nullptr;
	group gr, *grp = nullptr;
	if (!getpwuid_r(cred.uid, &pw, buf, sizeof(buf), &pwp) && pwp)
		snprintf(c->user, sizeof(c->user), "%s", pw.pw_name);
	else
		snprintf(c->user, sizeof(c->user), "%u", cred.uid);
	if (!getgrgid_r(cred.gid, &gr, buf, sizeof(buf), &grp) && grp)
		snprintf(c->group, sizeof(c->group), "%s", gr.gr_name);
	else
		snprintf(c->group, sizeof(c->group), "%u", cred.gid);
	return true;
}

// Out of descriptors, the pending connection stays readable: rather than
// spin on it, the daemon stops accepting for a moment.
void resume_accept(uloop_timeout *)
{
	uloop_fd_add(&server, ULOOP_READ);
}

void accept_cb(uloop_fd *u, unsigned int)
{
	for (;;) {
		int fd = accept4(u->fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
		if (fd < 0) {
			if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
				uloop_fd_delete(&server);
				uloop_timeout_set(&accept_resume, ACCEPT_PAUSE_MS);
			}
			return;
		}

		client *c = (client *) calloc(1, sizeof(*c));
		if (!c) {
			close(fd);
			continue;
		}
		INIT_LIST_HEAD(&c->out);
		c->fd.fd = fd;
		if (!credentials(c)) {
			close(fd);
			free(c);
			continue;
		}
		c->fd.cb = client_cb;
		c->id = new_id(&clients);
		c->avl.key = &c->id;
		avl_insert(&clients, &c->avl);
		update_watch(c);

		blob_buf_init(&b, 0);
		send_to(c, UBUS_MSG_HELLO, 0, c->id, b.head);
	}
}

int mkdir_parents(const char *path)
{
	char dir[sizeof(sockaddr_un::sun_path)];
	snprintf(dir, sizeof(dir), "%s", path);

	for (char *p = dir + 1; *p; p++) {
		if (*p != '/')
			continue;
		*p = 0;
		if (mkdir(dir, 0755) < 0 && errno != EEXIST)
			return -1;
		*p = '/';
	}
	return 0;
}

int listen_on(const char *path)
{
	sockaddr_un sun = {};
	if (strlen(path) >= sizeof(sun.sun_path)) {
		fprintf(stderr, "socket path too long: %s\n", path);
		return -1;
	}
	sun.sun_family = AF_UNIX;
	strcpy(sun.sun_path, path);

	mkdir_parents(path);
	unlink(path);
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	if (fd < 0)
		return -1;

	mode_t old = umask(0111);
	int r = bind(fd, (sockaddr *) &sun, sizeof(sun));
	umask(old);
	if (r < 0 || listen(fd, 64) < 0) {
		perror("bind/listen");
		close(fd);
		return -1;
	}
	return fd;
}

// Non-root peers may hold at most half of the descriptors, so root always
// finds some left.
int guest_limit_for_fds()
{
	rlimit rl;
	if (getrlimit(RLIMIT_NOFILE, &rl) < 0 || rl.rlim_cur == RLIM_INFINITY)
		return MAX_GUESTS;
	return rl.rlim_cur / 2 < (rlim_t) MAX_GUESTS ? (int) (rl.rlim_cur / 2) : MAX_GUESTS;
}

void usage(const char *prog)
{
	fprintf(stderr, "Usage: %s [-s <socket>]\n", prog);
}

} // namespace

int main(int argc, char **argv)
{
	const char *path = UBUS_UNIX_SOCKET;
	int ch;

	while ((ch = getopt(argc, argv, "s:")) != -1) {
		switch (ch) {
		case 's':
			path = optarg;
			break;
		default:
			usage(argv[0]);
			return 1;
		}
	}

	avl_init(&clients, cmp_u32, false, nullptr);
	avl_init(&objects, cmp_u32, false, nullptr);
	avl_init(&types, cmp_u32, false, nullptr);
	avl_init(&paths, avl_strcmp, false, nullptr);
	reaper.cb = reap_dead;
	accept_resume.cb = resume_accept;
	guest_limit = guest_limit_for_fds();

	uloop_init();
	server.fd = listen_on(path);
	if (server.fd < 0)
		return 1;
	server.cb = accept_cb;
	uloop_fd_add(&server, ULOOP_READ);

	uloop_run();

	uloop_fd_delete(&server);
	close(server.fd);
	unlink(path);
	reap_dead(nullptr);
	client *c, *tmp;
	avl_for_each_element_safe(&clients, c, avl, tmp)
		free_client(c);
	blob_buf_free(&b);
	uloop_done();
	return 0;
}
