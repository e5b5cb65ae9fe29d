// Command-line client: `ubus [options] list [-v] [path]` and
// `ubus [options] call <path> <method> [<json>]`.
extern "C" {
#include <libubus.h>
#include <libubox/blobmsg_json.h>
}
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

bool simple_output;
bool verbose;
int timeout_s = 30;

void usage(const char *prog)
{
	fprintf(stderr,
		"Usage: %s [<options>] <command> [arguments...]\n"
		"Options:\n"
		" -s <socket>:\t\tSet the unix domain socket to connect to\n"
		" -t <timeout>:\t\tSet the timeout (in seconds) for a command to complete\n"
		" -S:\t\t\tUse simplified output (for scripts)\n"
		" -v:\t\t\tMore verbose output\n"
		"\n"
		"Commands:\n"
		" - list [<path>]\t\t\tList objects\n"
		" - call <path> <method> [<message>]\tCall an object method\n"
		"\n", prog);
}

const char *type_name(void *, blob_attr *attr)
{
	static const char *const names[] = {
		[BLOBMSG_TYPE_UNSPEC] = nullptr,
		[BLOBMSG_TYPE_ARRAY] = "\"Array\"",
		[BLOBMSG_TYPE_TABLE] = "\"Table\"",
		[BLOBMSG_TYPE_STRING] = "\"String\"",
		[BLOBMSG_TYPE_INT64] = nullptr,
		[BLOBMSG_TYPE_INT32] = "\"Integer\"",
		[BLOBMSG_TYPE_INT16] = nullptr,
		[BLOBMSG_TYPE_INT8] = "\"Boolean\"",
	};

	if (blobmsg_type(attr) != BLOBMSG_TYPE_INT32 || blobmsg_data_len(attr) != 4)
		return nullptr;
	uint32_t t = blobmsg_get_u32(attr);
	if (t < sizeof(names) / sizeof(names[0]) && names[t])
		return names[t];
	return "\"(unknown)\"";
}

void print_object(ubus_context *, ubus_object_data *obj, void *)
{
	if (!verbose || simple_output) {
		printf("%s\n", obj->path);
		return;
	}

	printf("'%s' @%08x\n", obj->path, obj->id);
	blob_attr *m;
	size_t rem;
	blob_for_each_attr(m, obj->signature, rem) {
		char *s = blobmsg_format_json_with_cb(m, false, type_name, nullptr, -1);
		if (s)
			printf("\t%s\n", s);
		free(s);
	}
}

void print_reply(ubus_request *, int, blob_attr *msg)
{
	char *s = blobmsg_format_json_indent(msg, true, simple_output ? -1 : 0);
	if (s)
		printf("%s\n", s);
	free(s);
}

int cmd_list(ubus_context *ctx, int argc, char **argv)
{
	if (argc > 1)
		return -UBUS_STATUS_INVALID_ARGUMENT;
	int ret = ubus_lookup(ctx, argc ? argv[0] : nullptr, print_object, nullptr);
	return -ret;	/* lookup failures are reported plainly */
}

int cmd_call(ubus_context *ctx, int argc, char **argv)
{
	static blob_buf b;
	uint32_t id;

	if (argc < 2 || argc > 3)
		return -UBUS_STATUS_INVALID_ARGUMENT;

	blob_buf_init(&b, 0);
	if (argc == 3 && !blobmsg_add_json_from_string(&b, argv[2]))
		return UBUS_STATUS_PARSE_ERROR;

	int ret = ubus_lookup_id(ctx, argv[0], &id);
	if (ret)
		return -ret;	/* negative: reported plainly, as a lookup failure */
	ret = ubus_invoke(ctx, id, argv[1], b.head, print_reply, nullptr, timeout_s * 1000);
	blob_buf_free(&b);
	return ret;
}

// Reports a failed command the way scripts expect and gives the exit status.
// A negative `ret` failed before any call (bad usage, unknown path): a plain
// message and the code as exit status. A positive one is the call's status:
// the same on a terminal or with -S; otherwise (a script reading standard
// error) the whole command line with the reason, and exit status 256 - code.
int report(int ret, const char *prog, int argc, char **argv)
{
	if (ret < 0) {
		ret = -ret;
		if (ret == UBUS_STATUS_INVALID_ARGUMENT) {
			usage(prog);
			return ret;
		}
		fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
		return ret;
	}

	if (simple_output || isatty(STDERR_FILENO)) {
		fprintf(stderr, "Command failed: %s\n", ubus_strerror(ret));
		return ret;
	}

	fprintf(stderr, "Command failed: ubus");
	for (int i = 0; i < argc; i++)
		fprintf(stderr, " %s", argv[i]);
	fprintf(stderr, " (%s)\n", ubus_strerror(ret));
	if (ret == UBUS_STATUS_INVALID_ARGUMENT)
		usage(prog);
	return 256 - ret;
}

} // namespace

int main(int argc, char **argv)
{
	const char *prog = argv[0];
	const char *socket = nullptr;
	int ch;

	while ((ch = getopt(argc, argv, "+s:t:Sv")) != -1) {
		switch (ch) {
		case 's':
			socket = optarg;
			break;
		case 't':
			timeout_s = atoi(optarg);
			break;
		case 'S':
			simple_output = true;
			break;
		case 'v':
			verbose = true;
			break;
		default:
			usage(prog);
			return 1;
		}
	}
	argc -= optind;
	argv += optind;
	if (argc < 1) {
		usage(prog);
		return 1;
	}

	const char *cmd = argv[0];
	int (*run)(ubus_context *, int, char **) = nullptr;
	if (!strcmp(cmd, "list"))
		run = cmd_list;
	else if (!strcmp(cmd, "call"))
		run = cmd_call;
	if (!run) {
		usage(prog);
		return 1;
	}

	/* Options may also follow the command: `ubus list -v`. */
	int cargc = 0;
	char **cargv = argv + 1;
	for (int i = 1; i < argc; i++) {
		if (!strcmp(argv[i], "-v") && run == cmd_list)
			verbose = true;
		else
			cargv[cargc++] = argv[i];
	}

	ubus_context *ctx = ubus_connect(socket);
	if (!ctx) {
		fprintf(stderr, "Failed to connect to ubus\n");
		return 255;
	}

	int ret = run(ctx, cargc, cargv);
	ubus_free(ctx);
	if (ret == 0)
		return 0;
	return report(ret, prog, argc, argv);
}
