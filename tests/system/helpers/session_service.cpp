// Test and demo stand-in for the platform's session service: the bus object
// "session" with login, access and destroy. Sessions live in memory; one
// user; the rights come from one ACL file (groups of "read"/"write" grants,
// a scope's objects as an array, or as a table of objects to functions). The
// user has every group, the anonymous all-zero session only the group
// "unauthenticated". Never shipped.
//
//   session_service -s SOCKET -u USER -p PASSWORD -a ACL_FILE [-t SECONDS] [-S ID]
//
// -t is the default session timeout (300 s); -S makes a session with that id
// at start, as if USER had just logged in (tests that are not about logging
// in use it).
extern "C" {
#include <libubox/blobmsg_json.h>
#include <libubus.h>
}
#include <fnmatch.h>
#include <json-c/json.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const std::string ANONYMOUS = "00000000000000000000000000000000";

struct grant {
	std::string group, scope, object, function;
};

struct session {
	std::string id;
	bool anonymous;
	int timeout;		/* seconds; a use restarts it */
	double expires;		/* monotonic seconds */
};

std::vector<grant> grants;
std::vector<session> sessions;
std::string user, password;
int default_timeout = 300;
ubus_context *ctx;
blob_buf reply;

double now()
{
	timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

void add_grants(const char *group, const char *function, json_object *scopes)
{
	json_object_object_foreach(scopes, scope, objects) {
		if (json_object_is_type(objects, json_type_array)) {
			for (size_t i = 0; i < json_object_array_length(objects); i++)
				grants.push_back({ group, scope,
						   json_object_get_string(json_object_array_get_idx(objects, i)),
						   function });
			continue;
		}
		json_object_object_foreach(objects, object, functions)
			for (size_t i = 0; i < json_object_array_length(functions); i++)
				grants.push_back({ group, scope, object,
						   json_object_get_string(json_object_array_get_idx(functions, i)) });
	}
}

bool load_acl(const char *path)
{
	json_object *root = json_object_from_file(path);
	if (!root || !json_object_is_type(root, json_type_object))
		return false;
	json_object_object_foreach(root, group, def) {
		for (const char *perm : { "read", "write" }) {
			json_object *scopes;
			if (json_object_object_get_ex(def, perm, &scopes)
			    && json_object_is_type(scopes, json_type_object))
				add_grants(group, perm, scopes);
		}
	}
	json_object_put(root);
	return true;
}

bool holds(const session &s, const grant &g)
{
	return !s.anonymous || g.group == "unauthenticated";
}

session *find_session(const char *id)
{
	double t = now();
	for (size_t i = 0; i < sessions.size(); i++) {
		session &s = sessions[i];
		if (!s.anonymous && s.expires <= t) {
			sessions.erase(sessions.begin() + (long) i--);
			continue;
		}
		if (s.id == id) {
			s.expires = t + s.timeout;
			return &s;
		}
	}
	return nullptr;
}

std::string new_session_id()
{
	unsigned char raw[16];
	FILE *f = fopen("/dev/urandom", "rb");
	if (!f || fread(raw, 1, sizeof(raw), f) != sizeof(raw))
		abort();
	fclose(f);
	char hex[33];
	for (int i = 0; i < 16; i++)
		snprintf(hex + 2 * i, 3, "%02x", raw[i]);
	return hex;
}

session &open_session(const std::string &id, int timeout)
{
	sessions.push_back({ id, false, timeout, now() + timeout });
	return sessions.back();
}

// {"<scope>": {"<object>": ["<function>", ...]}} of what the session holds.
void add_acl_table(const session &s, const char *name)
{
	json_object *table = json_object_new_object();
	for (const grant &g : grants) {
		if (!holds(s, g))
			continue;
		json_object *scope, *functions;
		if (!json_object_object_get_ex(table, g.scope.c_str(), &scope)) {
			scope = json_object_new_object();
			json_object_object_add(table, g.scope.c_str(), scope);
		}
		if (!json_object_object_get_ex(scope, g.object.c_str(), &functions)) {
			functions = json_object_new_array();
			json_object_object_add(scope, g.object.c_str(), functions);
		}
		json_object_array_add(functions, json_object_new_string(g.function.c_str()));
	}
	blobmsg_add_json_element(&reply, name, table);
	json_object_put(table);
}

enum { L_USER, L_PASSWORD, L_TIMEOUT, __L_MAX };
const blobmsg_policy login_policy[__L_MAX] = {
	[L_USER] = { "username", BLOBMSG_TYPE_STRING },
	[L_PASSWORD] = { "password", BLOBMSG_TYPE_STRING },
	[L_TIMEOUT] = { "timeout", BLOBMSG_TYPE_INT32 },
};

int session_login(ubus_context *c, ubus_object *, ubus_request_data *req, const char *,
		  blob_attr *msg)
{
	blob_attr *tb[__L_MAX];
	blobmsg_parse(login_policy, __L_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[L_USER] || !tb[L_PASSWORD])
		return UBUS_STATUS_INVALID_ARGUMENT;
	if (user != blobmsg_get_string(tb[L_USER]) || password != blobmsg_get_string(tb[L_PASSWORD]))
		return UBUS_STATUS_PERMISSION_DENIED;
	int timeout = tb[L_TIMEOUT] ? (int) blobmsg_get_u32(tb[L_TIMEOUT]) : default_timeout;
	session &s = open_session(new_session_id(), timeout);

	blob_buf_init(&reply, 0);
	blobmsg_add_string(&reply, "ubus_rpc_session", s.id.c_str());
	blobmsg_add_u32(&reply, "timeout", (uint32_t) timeout);
	blobmsg_add_u32(&reply, "expires", (uint32_t) timeout);
	add_acl_table(s, "acls");
	void *data = blobmsg_open_table(&reply, "data");
	blobmsg_add_string(&reply, "username", user.c_str());
	blobmsg_close_table(&reply, data);
	ubus_send_reply(c, req, reply.head);
	return 0;
}

enum { A_SID, A_SCOPE, A_OBJECT, A_FUNCTION, __A_MAX };
const blobmsg_policy access_policy[__A_MAX] = {
	[A_SID] = { "ubus_rpc_session", BLOBMSG_TYPE_STRING },
	[A_SCOPE] = { "scope", BLOBMSG_TYPE_STRING },
	[A_OBJECT] = { "object", BLOBMSG_TYPE_STRING },
	[A_FUNCTION] = { "function", BLOBMSG_TYPE_STRING },
};

// Parses the arguments of a call that names a session and finds it: status 2
// without "ubus_rpc_session", 4 when no such session is alive.
int find_named_session(blob_attr *msg, blob_attr *(&tb)[__A_MAX], session *&s)
{
	blobmsg_parse(access_policy, __A_MAX, tb, blob_data(msg), blob_len(msg));
	if (!tb[A_SID])
		return UBUS_STATUS_INVALID_ARGUMENT;
	s = find_session(blobmsg_get_string(tb[A_SID]));
	return s ? UBUS_STATUS_OK : UBUS_STATUS_NOT_FOUND;
}

int session_access(ubus_context *c, ubus_object *, ubus_request_data *req, const char *,
		   blob_attr *msg)
{
	blob_attr *tb[__A_MAX];
	session *s;
	if (int status = find_named_session(msg, tb, s))
		return status;

	blob_buf_init(&reply, 0);
	if (!tb[A_OBJECT] || !tb[A_FUNCTION]) {
		add_acl_table(*s, "acls");
	} else {
		const char *scope = tb[A_SCOPE] ? blobmsg_get_string(tb[A_SCOPE]) : "ubus";
		bool allowed = false;
		for (const grant &g : grants)
			allowed = allowed || (holds(*s, g) && g.scope == scope
				  && !fnmatch(g.object.c_str(), blobmsg_get_string(tb[A_OBJECT]), 0)
				  && !fnmatch(g.function.c_str(), blobmsg_get_string(tb[A_FUNCTION]), 0));
		blobmsg_add_u8(&reply, "access", allowed);
	}
	ubus_send_reply(c, req, reply.head);
	return 0;
}

int session_destroy(ubus_context *, ubus_object *, ubus_request_data *, const char *,
		    blob_attr *msg)
{
	blob_attr *tb[__A_MAX];
	session *s;
	if (int status = find_named_session(msg, tb, s))
		return status;
	if (s->anonymous)
		return UBUS_STATUS_PERMISSION_DENIED;
	sessions.erase(sessions.begin() + (s - sessions.data()));
	return 0;
}

const ubus_method methods[] = {
	UBUS_METHOD("login", session_login, login_policy),
	UBUS_METHOD("access", session_access, access_policy),
	UBUS_METHOD("destroy", session_destroy, access_policy),
};
ubus_object_type type = UBUS_OBJECT_TYPE("session", methods);
ubus_object object = {
	.name = "session",
	.type = &type,
	.methods = methods,
	.n_methods = ARRAY_SIZE(methods),
};

} // namespace

int main(int argc, char **argv)
{
	const char *socket_path = nullptr, *acl = nullptr, *preset = nullptr;
	for (int opt; (opt = getopt(argc, argv, "s:u:p:a:t:S:")) != -1;) {
		switch (opt) {
		case 's': socket_path = optarg; break;
		case 'u': user = optarg; break;
		case 'p': password = optarg; break;
		case 'a': acl = optarg; break;
		case 't': default_timeout = atoi(optarg); break;
		case 'S': preset = optarg; break;
		default: return 2;
		}
	}
	if (user.empty() || !acl || !load_acl(acl)) {
		fprintf(stderr, "usage: %s -s socket -u user -p password -a acl_file [-t s] [-S id]\n",
			argv[0]);
		return 2;
	}
	sessions.push_back({ ANONYMOUS, true, 0, 0 });
	if (preset)
		open_session(preset, default_timeout);

	uloop_init();
	ctx = ubus_connect(socket_path);
	if (!ctx) {
		fprintf(stderr, "Failed to connect to ubus\n");
		return 1;
	}
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
