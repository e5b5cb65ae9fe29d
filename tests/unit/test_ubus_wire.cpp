// Bytes our bus client sends and accepts, against recorded traces of the
// platform's daemon. A fake daemon on a real socket plays the other side.
extern "C" {
#include <libubus.h>
#include <libubox/blobmsg_json.h>
}
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<uint8_t>;

bytes words(std::initializer_list<uint32_t> w)
{
	bytes out;
	for (uint32_t v : w)
		for (int shift = 24; shift >= 0; shift -= 8)
			out.push_back((uint8_t) (v >> shift));
	return out;
}

bool read_all(int fd, uint8_t *buf, size_t len)
{
	while (len) {
		ssize_t n = read(fd, buf, len);
		if (n <= 0)
			return false;
		buf += n;
		len -= (size_t) n;
	}
	return true;
}

struct fake_bus {
	std::string path;
	int listen_fd = -1, conn = -1;

	fake_bus()
	{
		char tmpl[] = "/tmp/fakebus.XXXXXX";
		path = std::string(mkdtemp(tmpl)) + "/sock";
		listen_fd = socket(AF_UNIX, SOCK_STREAM, 0);
		sockaddr_un sun = {};
		sun.sun_family = AF_UNIX;
		strcpy(sun.sun_path, path.c_str());
		EXPECT_EQ(bind(listen_fd, (sockaddr *) &sun, sizeof(sun)), 0);
		EXPECT_EQ(listen(listen_fd, 4), 0);
	}
	~fake_bus()
	{
		close(conn);
		close(listen_fd);
		unlink(path.c_str());
		rmdir(path.substr(0, path.rfind('/')).c_str());
	}

	void accept_with_hello(const bytes &hello)
	{
		conn = accept(listen_fd, nullptr, nullptr);
		send(hello);
	}
	void send(const bytes &b) { ASSERT_EQ(write(conn, b.data(), b.size()), (ssize_t) b.size()); }

	bytes read_msg()
	{
		bytes m(12);
		if (!read_all(conn, m.data(), 12))
			return {};
		size_t len = ((size_t) m[9] << 16) | ((size_t) m[10] << 8) | m[11];
		m.resize(8 + len);
		if (!read_all(conn, m.data() + 12, len - 4))
			return {};
		return m;
	}
};

const bytes hello = words({ 0x00000000, 0x69622fb2, 0x00000004 });

enum { SET_ID, SET_N, __SET_MAX };
const blobmsg_policy set_policy[__SET_MAX] = {
	[SET_ID] = { "id", BLOBMSG_TYPE_STRING },
	[SET_N] = { "n", BLOBMSG_TYPE_INT32 },
};

blob_buf reply_buf;

int set_handler(ubus_context *ctx, ubus_object *, ubus_request_data *req, const char *,
		blob_attr *msg)
{
	blob_attr *tb[__SET_MAX];
	blobmsg_parse(set_policy, __SET_MAX, tb, blob_data(msg), blob_len(msg));
	EXPECT_STREQ(blobmsg_get_string(tb[SET_ID]), "x");
	EXPECT_EQ(blobmsg_get_u32(tb[SET_N]), 7u);
	EXPECT_STREQ(req->acl.user, "root");
	blob_buf_init(&reply_buf, 0);
	blobmsg_add_string(&reply_buf, "ok", "yes");
	ubus_send_reply(ctx, req, reply_buf.head);
	return 0;
}

int get_handler(ubus_context *, ubus_object *, ubus_request_data *, const char *, blob_attr *)
{
	return UBUS_STATUS_INVALID_ARGUMENT;
}

const ubus_method demo_methods[] = {
	UBUS_METHOD("set", set_handler, set_policy),
	UBUS_METHOD_NOARG("get", get_handler),
};

TEST(UbusWire, HelloAddObjectAndServedCallMatchTraces)
{
	fake_bus bus;
	ubus_object_type type = UBUS_OBJECT_TYPE("demo", demo_methods);
	ubus_object obj = {};
	obj.name = "demo";
	obj.type = &type;
	obj.methods = demo_methods;
	obj.n_methods = ARRAY_SIZE(demo_methods);

	bytes add_msg;
	volatile bool done = false;
	bytes served[4];
	std::thread daemon([&] {
		bus.accept_with_hello(hello);
		add_msg = bus.read_msg();
		bus.send(words({ 0x00020001, 0x00000000, 0x00000014, 0x03000008, 0xd344ac4e,
				 0x05000008, 0x2f360406 }));
		bus.send(words({ 0x00010001, 0x00000000, 0x0000000c, 0x01000008, 0x00000000 }));

		/* A call of "set" forwarded by the daemon, then one of "get". */
		bus.send(words({ 0x00050002, 0x7296119f, 0x0000004c, 0x03000008, 0xd344ac4e,
				 0x04000008, 0x73657400, 0x0c000009, 0x726f6f74, 0x00000000,
				 0x0d000009, 0x726f6f74, 0x00000000, 0x07000020, 0x8300000e,
				 0x00026964, 0x00000000, 0x78000000, 0x8500000c, 0x00016e00,
				 0x00000007 }));
		served[0] = bus.read_msg();
		served[1] = bus.read_msg();
		bus.send(words({ 0x00050003, 0x7296119f, 0x00000018, 0x03000008, 0xd344ac4e,
				 0x04000008, 0x67657400, 0x07000004 }));
		served[2] = bus.read_msg();
		/* An unknown method. */
		bus.send(words({ 0x00050004, 0x7296119f, 0x00000018, 0x03000008, 0xd344ac4e,
				 0x04000008, 0x78797a00, 0x07000004 }));
		served[3] = bus.read_msg();
		done = true;
	});

	ubus_context *ctx = ubus_connect(bus.path.c_str());
	ASSERT_NE(ctx, nullptr);
	EXPECT_EQ(ctx->local_id, le32toh(0x69622fb2) == 0x69622fb2 ? be32toh(0x69622fb2) : 0x69622fb2)
		<< "the id is kept in wire byte order";
	EXPECT_EQ(ubus_add_object(ctx, &obj), 0);
	EXPECT_EQ(obj.id, 0xd344ac4eu);
	EXPECT_EQ(type.id, 0x2f360406u);

	/* Serve until the fake daemon has all its answers (or gives up). */
	for (int i = 0; i < 100 && !done; i++) {
		pollfd p = { ctx->sock.fd, POLLIN, 0 };
		if (poll(&p, 1, 20) == 1)
			ubus_handle_event(ctx);
	}
	daemon.join();

	EXPECT_EQ(add_msg, words({ 0x00060001, 0x00000000, 0x00000048, 0x02000009, 0x64656d6f,
				   0x00000000, 0x06000038, 0x82000028, 0x00037365, 0x74000000,
				   0x85000010, 0x00026964, 0x00000000, 0x00000003, 0x8500000c,
				   0x00016e00, 0x00000005, 0x8200000c, 0x00036765, 0x74000000 }));
	EXPECT_EQ(served[0], words({ 0x00020002, 0x7296119f, 0x00000020, 0x03000008, 0xd344ac4e,
				     0x07000014, 0x83000010, 0x00026f6b, 0x00000000, 0x79657300 }));
	EXPECT_EQ(served[1], words({ 0x00010002, 0x7296119f, 0x00000014, 0x01000008, 0x00000000,
				     0x03000008, 0xd344ac4e }));
	EXPECT_EQ(served[2], words({ 0x00010003, 0x7296119f, 0x00000014, 0x01000008, 0x00000002,
				     0x03000008, 0xd344ac4e }));
	EXPECT_EQ(served[3], words({ 0x00010004, 0x7296119f, 0x00000014, 0x01000008, 0x00000003,
				     0x03000008, 0xd344ac4e }));
	ubus_free(ctx);
	blob_buf_free(&reply_buf);
}

TEST(UbusWire, LookupAndInvokeRequestsMatchTraces)
{
	fake_bus bus;
	bytes lookup_msg, invoke_msg;
	std::thread daemon([&] {
		bus.accept_with_hello(hello);
		lookup_msg = bus.read_msg();
		bus.send(words({ 0x00020001, 0x00000000, 0x00000058, 0x02000009, 0x64656d6f,
				 0x00000000, 0x03000008, 0xd344ac4e, 0x05000008, 0x2f360406,
				 0x06000038, 0x82000028, 0x00037365, 0x74000000, 0x85000010,
				 0x00026964, 0x00000000, 0x00000003, 0x8500000c, 0x00016e00,
				 0x00000005, 0x8200000c, 0x00036765, 0x74000000 }));
		bus.send(words({ 0x00010001, 0x00000000, 0x0000000c, 0x01000008, 0x00000000 }));
		invoke_msg = bus.read_msg();
		bus.send(words({ 0x00020002, 0xd344ac4e, 0x00000020, 0x03000008, 0xd344ac4e,
				 0x07000014, 0x83000010, 0x00026f6b, 0x00000000, 0x79657300 }));
		bus.send(words({ 0x00010002, 0xd344ac4e, 0x00000014, 0x01000008, 0x00000000,
				 0x03000008, 0xd344ac4e }));
	});

	ubus_context *ctx = ubus_connect(bus.path.c_str());
	ASSERT_NE(ctx, nullptr);
	uint32_t id = 0;
	EXPECT_EQ(ubus_lookup_id(ctx, "demo", &id), 0);
	EXPECT_EQ(id, 0xd344ac4eu);

	blob_buf args = {};
	blob_buf_init(&args, 0);
	ASSERT_TRUE(blobmsg_add_json_from_string(&args, "{\"id\":\"x\",\"n\":7}"));
	static std::string got;
	got.clear();
	int ret = ubus_invoke(ctx, id, "set", args.head,
			      [](ubus_request *, int, blob_attr *msg) {
				      char *s = blobmsg_format_json(msg, true);
				      got = s;
				      free(s);
			      }, nullptr, 2000);
	daemon.join();
	EXPECT_EQ(ret, 0);
	EXPECT_EQ(got, "{\"ok\":\"yes\"}");

	EXPECT_EQ(lookup_msg, words({ 0x00040001, 0x00000000, 0x00000010, 0x02000009, 0x64656d6f,
				      0x00000000 }));
	EXPECT_EQ(invoke_msg, words({ 0x00050002, 0xd344ac4e, 0x00000034, 0x03000008, 0xd344ac4e,
				      0x04000008, 0x73657400, 0x07000020, 0x8300000e, 0x00026964,
				      0x00000000, 0x78000000, 0x8500000c, 0x00016e00,
				      0x00000007 }));
	blob_buf_free(&args);
	ubus_free(ctx);
}

TEST(UbusWire, StrerrorTextsAndUnknownCodes)
{
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_OK), "Success");
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_PARSE_ERROR), "Parsing message data failed");
	EXPECT_STREQ(ubus_strerror(UBUS_STATUS_SYSTEM_ERROR), "System error");
	EXPECT_STREQ(ubus_strerror(14), "Unknown error: 14");
	EXPECT_STREQ(ubus_strerror(-3), "Unknown error: -3");
}

TEST(UbusWire, CallerOwnedContextHidesItsSocketFromChildrenAndClosesIt)
{
	fake_bus bus;
	std::thread daemon([&] { bus.accept_with_hello(hello); });
	ubus_context ctx;
	ASSERT_EQ(ubus_connect_ctx(&ctx, bus.path.c_str()), 0);
	daemon.join();
	EXPECT_TRUE(fcntl(ctx.sock.fd, F_GETFD) & FD_CLOEXEC);
	ubus_shutdown(&ctx);
	EXPECT_EQ(ctx.sock.fd, -1);
	pollfd p = { bus.conn, POLLIN, 0 };
	ASSERT_EQ(poll(&p, 1, 2000), 1) << "the daemon sees the connection end";
	char c;
	EXPECT_EQ(read(bus.conn, &c, 1), 0);
}

TEST(UbusWire, ConnectFailsWithoutDaemonAndOnBadHello)
{
	EXPECT_EQ(ubus_connect("/nonexistent/dir/sock"), nullptr);
	ubus_context ctx;
	EXPECT_EQ(ubus_connect_ctx(&ctx, "/nonexistent/dir/sock"), -1);

	fake_bus bus;
	std::thread daemon([&] { bus.accept_with_hello(words({ 0x00020000, 0x69622fb2, 0x00000004 })); });
	EXPECT_EQ(ubus_connect(bus.path.c_str()), nullptr);
	daemon.join();

	// A daemon that never accepts (out of descriptors, stopped) is given up on.
	fake_bus mute;
	EXPECT_EQ(ubus_connect(mute.path.c_str()), nullptr);
}

} // namespace
