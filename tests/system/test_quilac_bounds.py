"""No broker can make quilac grow or stall it: one that speaks only 3.1.1,
one that sends QoS 2 and never releases it, one that sends and never reads."""
import socket
import threading
import time

import pytest

from harness import TcpServer, rss_kib, wait_for

RSS_LIMIT_KIB = 16 * 1024


def read_exact(conn, n):
    data = b""
    while len(data) < n:
        chunk = conn.recv(n - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def read_packet(conn):
    """(type, body) of the next MQTT packet."""
    head = read_exact(conn, 1)[0]
    size, shift = 0, 0
    while True:
        b = read_exact(conn, 1)[0]
        size |= (b & 0x7f) << shift
        shift += 7
        if not b & 0x80:
            break
    return head >> 4, read_exact(conn, size)


def packet(head, body):
    size, out = len(body), b""
    while True:
        b, size = size & 0x7f, size >> 7
        out += bytes([b | (0x80 if size else 0)])
        if not size:
            return bytes([head]) + out + body


def publish(topic, payload, qos, pid, v5=True):
    body = len(topic).to_bytes(2, "big") + topic.encode() + pid.to_bytes(2, "big")
    return packet(0x30 | qos << 1, body + (b"\0" if v5 else b"") + payload)


class FakeBroker(TcpServer):
    """Accepts connections and hands each, with the protocol level of its
    CONNECT, to `serve(broker, conn, level)` in a thread of its own."""

    def __init__(self, serve, rcvbuf=None):
        super().__init__()
        self.serve = serve
        if rcvbuf:
            self.srv.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.levels = []
        self.start()

    def connected(self, conn):
        self.conns.append(conn)
        threading.Thread(target=self.session, args=(conn,), daemon=True).start()

    def session(self, conn):
        try:
            kind, body = read_packet(conn)
            assert kind == 1
            self.levels.append(body[6])
            self.serve(self, conn, body[6])
        except (OSError, EOFError):
            pass
        conn.close()

    @staticmethod
    def accept_session(conn, level):
        """CONNACK, then SUBACKs for the three subscriptions."""
        v5 = level == 5
        conn.sendall(packet(0x20, b"\0\0\0" if v5 else b"\0\0"))
        for _ in range(3):
            kind, body = read_packet(conn)
            assert kind == 8
            conn.sendall(packet(0x90, body[:2] + (b"\0" if v5 else b"") + b"\x01"))

    @staticmethod
    def answer_pings(conn):
        while True:
            kind, _ = read_packet(conn)
            if kind == 12:
                conn.sendall(packet(0xd0, b""))

    def close(self):
        self.srv.close()
        for c in self.conns:
            c.close()


def test_a_broker_that_refuses_mqtt5_is_spoken_to_in_311(sandbox, quilac_factory):
    def serve(fb, conn, level):
        if level == 5:
            conn.sendall(packet(0x20, b"\0\x01"))   # a 3.1.1 broker: unacceptable version
            return
        fb.accept_session(conn, level)
        fb.answer_pings(conn)

    fb = FakeBroker(serve)
    try:
        sandbox.start_bus()
        q = quilac_factory(fb.port)
        q.wait_output("subscribed (mid: 3)")
        assert fb.levels == [5, 4]
        assert f"mqtt server 127.0.0.1:{fb.port} refuses MQTT 5, using 3.1.1" in q.output()
        assert sandbox.hotplug_events() == ["quilac ACTION=online MAC= IP= PORT= PROTO="]
    finally:
        fb.close()


def test_the_brokers_disconnect_reason_is_said_once(sandbox, quilac_factory):
    # A broker that hands the session over says why; sessions that end at
    # once are one line, then only counted.
    def serve(fb, conn, level):
        fb.accept_session(conn, level)
        conn.sendall(packet(0xe0, b"\x8e\0"))      # DISCONNECT: session taken over

    fb = FakeBroker(serve)
    try:
        sandbox.start_bus()
        q = quilac_factory(fb.port)
        wait_for(lambda: len(fb.levels) >= 3, timeout=20, what="three sessions")
        line = f"disconnect from mqtt server, 127.0.0.1:{fb.port}: Session taken over\n"
        assert q.output().count(line) == 1, q.output()
    finally:
        fb.close()


def test_a_refusal_of_mqtt5_holds_for_that_broker_only(sandbox, quilac_factory):
    def refuse(fb, conn, level):
        if level == 5:
            conn.sendall(packet(0x20, b"\0\x01"))
        # a 3.1.1 session is cut at once: the next broker of the list is tried

    def serve(fb, conn, level):
        fb.accept_session(conn, level)
        fb.answer_pings(conn)

    old, new = FakeBroker(refuse), FakeBroker(serve)
    try:
        sandbox.start_bus()
        q = quilac_factory(old.port, extra=["-b", f"127.0.0.1:{new.port}"])
        q.wait_output(f"connect to mqtt server ok, 127.0.0.1:{new.port}", timeout=20)
        assert old.levels[:2] == [5, 4] and new.levels == [5]
    finally:
        old.close()
        new.close()


def test_a_second_connack_ends_the_session(sandbox, quilac_factory):
    def serve(fb, conn, level):
        fb.accept_session(conn, level)
        conn.sendall(packet(0x20, b"\0\0\0") * 20000)
        fb.answer_pings(conn)

    fb = FakeBroker(serve)
    try:
        sandbox.start_bus()
        q = quilac_factory(fb.port)
        q.wait_output("broke the protocol (a second CONNACK)", timeout=20)
        time.sleep(1)
        assert q.output().count("connect to mqtt server ok") <= q.stats()["protocol_errors"] + 1
        assert q.output().count("subscribed (mid: 1)") <= q.stats()["protocol_errors"] + 1
    finally:
        fb.close()


def test_qos2_messages_never_released_end_the_session(sandbox, quilac_factory):
    ended = []

    def serve(fb, conn, level):
        fb.accept_session(conn, level)
        try:
            for pid in range(1, 20001):
                conn.sendall(publish("upload/x", b"y" * 4096, 2, pid))
        except OSError:
            ended.append(pid)

    fb = FakeBroker(serve)
    try:
        sandbox.start_bus()
        q = quilac_factory(fb.port)
        wait_for(lambda: len(ended) >= 2, timeout=20, what="two sessions ended",
                 show=lambda: q.output()[-500:])
        assert ended[0] < 5000   # what the socket buffers held
        assert "broke the protocol (a QoS 2 message on a QoS 1 subscription)" in q.output()
        assert q.stats()["protocol_errors"] >= 2
        assert rss_kib(q.proc.pid, "VmHWM") < RSS_LIMIT_KIB
    finally:
        fb.close()


def test_a_broker_that_never_reads_costs_no_memory_and_is_given_up(sandbox, quilac_factory):
    # Every message it sends queues an acknowledgement it never takes.
    def serve(fb, conn, level):
        fb.accept_session(conn, level)
        while True:
            conn.sendall(b"".join(publish("offline/AP", b"", 1, pid) for pid in range(1, 10001)))

    fb = FakeBroker(serve, rcvbuf=4096)
    try:
        sandbox.start_bus()
        q = quilac_factory(fb.port)
        q.wait_output("socket to the mqtt server full: 1 time(s)", timeout=20)
        start = time.monotonic()
        q.wait_output("has read nothing for 30 seconds, reconnecting", timeout=45)
        seconds = time.monotonic() - start
        assert rss_kib(q.proc.pid, "VmHWM") < RSS_LIMIT_KIB
        assert q.output().count("socket to the mqtt server full") <= seconds + 2
    finally:
        fb.close()



def oversized_header(size):
    """The start of a PUBLISH of `size` bytes: its fixed header only."""
    return packet(0x32, b"\0" * size)[:-size]


@pytest.mark.parametrize("sends", [
    [oversized_header(100 << 20)],
    [oversized_header(100 << 20)[:2], oversized_header(100 << 20)[2:]],   # header split
    [publish("upload/x", b"y", 1, 1) + oversized_header(100 << 20)],     # behind a packet
], ids=["whole", "split", "behind"])
def test_a_packet_over_our_maximum_ends_the_session_before_it_is_read(sends, sandbox,
                                                                       quilac_factory):
    sent = []

    def serve(fb, conn, level):
        fb.accept_session(conn, level)
        if fb.levels.count(5) > 1:
            fb.answer_pings(conn)
        for part in sends:
            conn.sendall(part)
            time.sleep(0.2)
        for _ in range(100):
            conn.sendall(b"z" * (1 << 20))
            sent.append(1)

    fb = FakeBroker(serve)
    try:
        sandbox.start_bus()
        q = quilac_factory(fb.port)
        q.wait_output("broke the protocol (a packet larger than our maximum packet size)",
                      timeout=20)
        wait_for(lambda: fb.levels.count(5) > 1, timeout=20, what="a new session")
        assert len(sent) < 20   # MiB the socket buffers held
        assert q.stats()["protocol_errors"] == 1
        assert rss_kib(q.proc.pid, "VmHWM") < RSS_LIMIT_KIB
    finally:
        fb.close()
