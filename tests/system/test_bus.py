"""Our bus daemon, client library and ubus command together: a test program
registers the object "test" and the command drives it."""
import json
import os
import socket
import struct
import subprocess
import time

from harness import (SLOWDOWN, UBUS, UBUS_TEST_OBJECT, UBUSD, Proc, cpu_seconds, open_fds, rss_kib,
                     ubus, wait_for)

NOBODY = 65534
AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def test_empty_bus_lists_nothing_and_unknown_paths_are_not_found(bus):
    r = bus.ubus("list")
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    r = bus.ubus("list", "nothing")
    assert (r.returncode, r.stderr) == (4, "Command failed: Not found\n")
    r = bus.ubus("call", "nothing", "m")
    assert (r.returncode, r.stderr) == (4, "Command failed: Not found\n")


def test_connection_failure(workdir):
    r = subprocess.run([str(UBUS), "-s", str(workdir / "none.sock"), "list"],
                       capture_output=True, text=True)
    assert (r.returncode, r.stderr) == (255, "Failed to connect to ubus\n")


def test_verbose_list_shows_signature(bus, test_object):
    r = bus.ubus("-v", "list")
    lines = r.stdout.splitlines()
    assert lines[0].startswith("'test' @") and len(lines[0]) == len("'test' @") + 8
    assert lines[1:] == ['\t"echo":{"id":"String","n":"Integer"}', '\t"nested":{}',
                         '\t"twice":{}', '\t"die":{}']
    assert bus.ubus("list", "te*").stdout == "test\n"
    assert bus.ubus("list", "tes").returncode == 4           # a prefix is no name
    assert bus.ubus("list", "-v", "test").stdout.splitlines()[1:] == lines[1:]


def test_call_with_good_and_bad_arguments(bus, test_object):
    r = bus.ubus("call", "test", "echo", '{"id":"x","n":7}')
    assert (r.returncode, r.stdout) == (0, '{\n\t"id": "x",\n\t"n": 7\n}\n')
    r = bus.ubus("-S", "call", "test", "echo", '{"n":"7","id":"y"}')
    assert (r.returncode, r.stdout) == (0, '{"id":"y"}\n')   # wrong type: slot empty

    for args in ('{"n":7}', '{"id":5}'):
        r = bus.ubus("call", "test", "echo", args)
        assert r.returncode == 254
        assert r.stderr.startswith(f"Command failed: ubus call test echo {args} (Invalid argument)\n")
    r = bus.ubus("call", "test", "echo")
    assert r.returncode == 254 and "(Invalid argument)" in r.stderr

    r = bus.ubus("call", "test", "nope")
    assert (r.returncode, r.stderr) == (253, "Command failed: ubus call test nope (Method not found)\n")
    r = bus.ubus("call", "test", "echo", "[1]")
    assert r.returncode == 244 and "(Parsing message data failed)" in r.stderr


def test_nested_and_multiple_replies(bus, test_object):
    r = bus.ubus("-S", "call", "test", "nested")
    assert json.loads(r.stdout) == {"rows": [[0, "a"], [1, "b"]], "meta": {"ok": True}}
    r = bus.ubus("call", "test", "nested")
    assert r.stdout.startswith('{\n\t"rows": [\n\t\t[\n\t\t\t0,\n\t\t\t"a"\n\t\t],')
    r = bus.ubus("-S", "call", "test", "twice")
    assert r.stdout == '{"part":1}\n{"part":2}\n'


def test_owner_dying_mid_call_times_out_and_its_object_goes(bus, test_object):
    start = time.monotonic()
    r = bus.ubus("-t", "1", "call", "test", "die")
    assert r.returncode == 249 and "(Request timed out)" in r.stderr
    assert time.monotonic() - start < 5
    assert test_object.p.wait(5) == 3
    wait_for(lambda: bus.ubus("list").stdout == "", what="object removed")


def test_bus_restart_restores_object_without_reregistration(bus, test_object):
    bus.restart(pause=2.5)
    test_object.wait_output("failed to reconnect, trying again in 2 seconds")
    test_object.wait_output("reconnected to ubus, new id:", timeout=5)
    assert test_object.output().count("add_object:") == 1
    r = wait_for(lambda: bus.ubus("call", "test", "echo", '{"id":"again"}').stdout, what="object back")
    assert json.loads(r) == {"id": "again"}


def raw_client(path, uid=0):
    """A bare connection, made as user `uid` (the daemon reads the peer's
    credentials at connect time)."""
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    os.seteuid(uid)
    try:
        s.connect(path)
    finally:
        os.seteuid(0)
    s.settimeout(2)
    hello = s.recv(12)
    assert hello[:4] == b"\0\0\0\0" and hello[8:] == b"\0\0\0\4"
    return s


def test_daemon_survives_garbage_and_vanishing_clients(bus, test_object):
    # A frame with a bad version or longer than 1 MiB is cut off at once; one
    # cut short just waits for the rest.
    for frame, cut_off in ((b"\x01\x04\x00\x01\0\0\0\0\0\0\0\4", True),
                           (b"\x00\x04\x00\x01\0\0\0\0\x00\xff\xff\xff", True),
                           (b"\x00\x05\x00\x01\0\0\0\0\0\0\0\x40\x03\x00", False)):
        s = raw_client(bus.path)
        s.sendall(frame)
        if cut_off:
            assert s.recv(16) == b""
        s.close()

    # Attributes that lie about their lengths, and an unknown message type.
    s = raw_client(bus.path)
    body = struct.pack(">I", 0x03000005) + b"\x01\x00\x00\x00"
    s.sendall(struct.pack(">BBHII", 0, 5, 7, 0, 4 + len(body)) + body)
    reply = s.recv(64)
    assert reply[:4] == b"\x00\x01\x00\x07" and reply[-4:] == struct.pack(">I", 2)
    s.sendall(struct.pack(">BBHII", 0, 99, 8, 0, 4))
    reply = s.recv(64)
    assert reply[-4:] == struct.pack(">I", 1)
    # A call whose arguments claim fewer bytes than their own header: they
    # count as absent, and the object's owner answers "invalid argument".
    obj = object_id(bus, "test")
    body = struct.pack(">IIIIII", 0x03000008, obj, 0x04000009, 0x6e657374, 0x65640000,
                       0x07000001)
    s.sendall(struct.pack(">BBHII", 0, 5, 9, obj, 4 + len(body)) + body)
    status = s.recv(64)
    assert status[1] == 1 and status[16:20] == struct.pack(">I", 2)
    # An object without a type (neither signature nor type id) is left out of
    # lookups, listed or named.
    assert request(s, ADD_OBJECT, 10, 0, (OBJPATH, b"typeless\0")) == 0
    assert request(s, LOOKUP, 11, 0) == 0
    assert request(s, LOOKUP, 12, 0, (OBJPATH, b"typeless\0")) == 4
    assert bus.ubus("list").stdout == "test\n"
    s.close()

    r = bus.ubus("-S", "call", "test", "echo", '{"id":"still"}')
    assert r.stdout == '{"id":"still"}\n'


def test_ping_echoes_payload_every_time(bus):
    s = raw_client(bus.path)
    body = struct.pack(">II", 0x0c000005, 0x61000000)              # one byte
    ping = struct.pack(">BBHII", 0, 3, 9, 0, 4 + len(body)) + body
    answer = struct.pack(">BBHII", 0, 2, 9, 0, 12) + body + \
        struct.pack(">BBHIIII", 0, 1, 9, 0, 12, 0x01000008, 0)
    s.sendall(ping)
    assert recv_exact(s, len(answer)) == answer
    # Every message passes through the client's queue: 40,000 of them,
    # answered and read, leave it empty, not looking full.
    for _ in range(80):
        s.sendall(ping * 500)
        assert recv_exact(s, len(answer) * 500) == answer * 500
    s.close()


def request(s, mtype, seq, peer, *attrs):
    """Sends one message of plain bus attributes (id, payload bytes) and
    returns the STATUS code of the reply, skipping DATA messages."""
    body = b"".join(struct.pack(">I", (aid << 24) | (4 + len(v))) + v.ljust((len(v) + 3) & ~3, b"\0")
                    for aid, v in attrs)
    s.sendall(struct.pack(">BBHII", 0, mtype, seq, peer, 4 + len(body)) + body)
    while True:
        head = recv_exact(s, 12)
        rest = recv_exact(s, (struct.unpack(">I", head[8:])[0] & 0xffffff) - 4)
        if head[1] == 1:
            return struct.unpack(">I", rest[4:8])[0]


def recv_exact(s, n):
    data = b""
    while len(data) < n:
        chunk = s.recv(n - len(data))
        assert chunk, "connection closed"
        data += chunk
    return data


def object_id(bus, path):
    return int(bus.ubus("-v", "list", path).stdout.split("@")[1][:8], 16)


OBJPATH, OBJID, METHOD, DATA = 2, 3, 4, 7
LOOKUP, INVOKE, ADD_OBJECT, REMOVE_OBJECT = 4, 5, 6, 7


def test_only_root_may_call_or_add_and_others_see_no_methods(bus, test_object, workdir):
    os.chmod(workdir, 0o755)      # so that nobody can reach the bus socket inside
    obj = struct.pack(">I", object_id(bus, "test"))
    call = [(OBJID, obj), (METHOD, b"echo\0"), (DATA, b"")]

    nobody = raw_client(bus.path, NOBODY)
    # Denied alike for an object that exists and one that does not: the
    # answer must not tell which ids are taken.
    for target in (obj, struct.pack(">I", 5)):
        assert request(nobody, INVOKE, 1, 0, (OBJID, target), (METHOD, b"echo\0"), (DATA, b"")) == 6
        assert request(nobody, REMOVE_OBJECT, 2, 0, (OBJID, target)) == 6
    nobody.close()
    r = subprocess.run([*AS_NOBODY, UBUS, "-s", bus.path, "list"], capture_output=True, text=True)
    assert (r.returncode, r.stdout) == (0, "")
    r = subprocess.run([*AS_NOBODY, UBUS, "-s", bus.path, "list", "test"],
                       capture_output=True, text=True)
    assert (r.returncode, r.stderr) == (4, "Command failed: Not found\n")
    other = Proc([*AS_NOBODY, UBUS_TEST_OBJECT, bus.path, "other"], workdir / "nobody.log")
    other.wait_output("add_object: 2")
    other.stop()

    # Root calls, and may not remove another client's object either.
    root = raw_client(bus.path)
    assert request(root, INVOKE, 1, 0, *call) == 2                # the owner's answer: no "id"
    assert request(root, REMOVE_OBJECT, 2, 0, (OBJID, obj)) == 6
    root.close()
    assert bus.ubus("-S", "call", "test", "echo", '{"id":"root"}').stdout == '{"id":"root"}\n'


def test_squatted_name_is_registered_once_free(bus, test_object, workdir):
    bus.stop()
    test_object.wait_output("failed to reconnect")
    bus.start()
    squatter = Proc([UBUS_TEST_OBJECT, bus.path], workdir / "squatter.log")
    try:
        squatter.wait_output("add_object: 0")
        # The retry finds the name taken: a failure, tried again later.
        wait_for(lambda: test_object.output().count("failed to reconnect") >= 2, what="refused retry")
        assert "reconnected" not in test_object.output()
    finally:
        squatter.stop()
    test_object.wait_output("reconnected to ubus, new id:", timeout=5)
    r = wait_for(lambda: bus.ubus("-S", "call", "test", "echo", '{"id":"back"}').stdout,
                 what="object back")
    assert r == '{"id":"back"}\n'


def test_client_that_stops_reading_is_capped_and_others_are_served(bus, test_object):
    stalled = raw_client(bus.path)
    payload = struct.pack(">I", 0x10000) + bytes(0x10000 - 4)    # one 64 KiB attribute
    ping = struct.pack(">BBHII", 0, 3, 1, 0, 4 + len(payload)) + payload
    stalled.sendall(ping * 64)                                    # 4 MiB of echoes owed

    r = bus.ubus("-t", "2", "-S", "call", "test", "echo", '{"id":"served"}')
    assert r.stdout == '{"id":"served"}\n'

    received = b""
    stalled.settimeout(0.5 * SLOWDOWN)              # the daemon has nothing more to send
    try:
        while chunk := stalled.recv(1 << 16):
            received += chunk
    except socket.timeout:
        pass
    stalled.close()
    # Whole messages only: what did not fit in the queue was dropped.
    pos = 0
    while pos < len(received):
        assert received[pos] == 0 and received[pos + 1] in (1, 2)
        pos += 8 + (struct.unpack(">I", received[pos + 8:pos + 12])[0] & 0xffffff)
    assert pos == len(received)
    assert 1 << 20 <= len(received) < 3 << 19, len(received)     # the 1 MiB queue + socket buffer


def connect_many(path, n, uid):
    """n connections made as `uid`."""
    socks = []
    os.seteuid(uid)
    try:
        for _ in range(n):
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            socks.append(s)
            s.connect(path)
    finally:
        os.seteuid(0)
    return socks


def admitted(socks):
    """How many of these connections the daemon let in (greeted, not closed);
    closes them all."""
    n = 0
    for s in socks:
        s.settimeout(10)
        try:
            n += len(s.recv(12)) == 12
        except ConnectionResetError:
            pass
        s.close()
    return n


def test_other_users_cannot_use_up_the_daemons_descriptors(workdir):
    os.chmod(workdir, 0o755)
    path = str(workdir / "small.sock")
    daemon = Proc(["prlimit", "--nofile=64", UBUSD, "-s", path], workdir / "small.log")
    hoard = []
    try:
        wait_for(lambda: os.path.exists(path), what="bus socket")
        hoard = connect_many(path, 80, NOBODY)         # more than the daemon may open
        r = ubus(path, "list", timeout=5)
        assert (r.returncode, r.stderr) == (0, "")
        assert admitted(hoard) == 32
        # Guests that leave give their places back.
        wait_for(lambda: admitted(connect_many(path, 33, NOBODY)) == 32, what="32 guests again")

        # Root may take every descriptor; the daemon then waits for one to
        # come free instead of spinning on the connections it cannot accept.
        hoard = connect_many(path, 70, 0)
        wait_for(lambda: len(open_fds(daemon.pid)) == 64, what="descriptors used up")
        cpu, start = cpu_seconds(daemon.pid), time.monotonic()
        time.sleep(2)
        assert cpu_seconds(daemon.pid) - cpu < 0.1 * (time.monotonic() - start)
        for s in hoard:
            s.close()
        r = ubus(path, "list", timeout=5)
        assert (r.returncode, r.stderr) == (0, "")
    finally:
        for s in hoard:
            s.close()
        daemon.stop()


def test_queue_of_small_messages_stays_near_its_cap(bus):
    stalled = raw_client(bus.path)
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    before = rss_kib(bus.proc.pid)
    ping = struct.pack(">BBHII", 0, 3, 1, 0, 4)                 # answered by 32 bytes
    stalled.sendall(ping * 200000)     # the queue is full long before this returns
    # 1 MiB of queue, counted with what each queued message costs.
    assert rss_kib(bus.proc.pid) - before < 3 << 10
    stalled.close()
