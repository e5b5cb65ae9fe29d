"""The bridge's MQTT session against a real broker: credentials, subscriptions,
hotplug events, loss of the broker and reconnection, and the publish backlog
that outlives a session (broker restarted, acknowledgements swallowed)."""
import json
import os
import re
import signal
import socket
import subprocess
import threading
import time
from pathlib import Path

from harness import (CLIENT_ID, QUILAC, SLOWDOWN, BlackHole, Proc, Proxy, SyslogSink, alive,
                     free_port, wait_for)


def subscribe_lines(broker_log):
    return re.findall(r"Received SUBSCRIBE from " + CLIENT_ID + r"\n\t(\S+) \(QoS (\d)\)",
                      broker_log)


def test_session_credentials_subscriptions_and_online_event(quilac, broker, sandbox):
    log = broker.output()
    assert f"as {CLIENT_ID} (p5, c0, k30, u'root')" in log, log[:600]
    assert subscribe_lines(log) == [("offline/#", "1"), ("upload/#", "1"), ("rpc_rsp/#", "1")]
    out = quilac.output()
    assert f"info: use {CLIENT_ID}/(default password) as client id\n" in out
    assert "QUIxMkNEMzRFRjU2" not in out        # the password itself is never logged
    assert f"connect to mqtt server, 127.0.0.1:{broker.port}\n" in out
    assert f"connect to mqtt server ok, 127.0.0.1:{broker.port}\n" in out
    wait_for(lambda: sandbox.hotplug_events() == ["quilac ACTION=online MAC= IP= PORT= PROTO="],
             what="online event")
    assert quilac.call("info").stdout == (
        f'{{"broker":"127.0.0.1","port":{broker.port},"status":"connected","version":"1.0","tls":false}}\n')


def test_refused_session_retried_after_growing_waits_without_offline_event(broker_factory, sandbox,
                                                                          quilac_factory):
    broker = broker_factory(password_override="wrong").start()
    q = quilac_factory(broker.port)
    times = []
    while len(times) < 4:
        n = q.output().count(f"connect to mqtt server, 127.0.0.1:{broker.port}\n")   # each attempt
        if n > len(times):
            times.append(time.monotonic())
        assert not times or time.monotonic() - times[-1] < 10, q.output()
        time.sleep(0.02)
    # Each wait drawn from the upper half of a step that doubles from 1 s.
    gaps = [b - a for a, b in zip(times, times[1:])]
    assert 0.4 < gaps[0] < 1 + SLOWDOWN and 0.9 < gaps[1] < 2 + SLOWDOWN, gaps
    assert 1.9 < gaps[2] < 4 + SLOWDOWN, gaps
    assert sandbox.hotplug_events() == []


def test_failures_said_once_with_reason_and_broker_then_recovery(broker_factory, sandbox,
                                                                  workdir):
    # Down, then refusing the password, then right: each failure is critical
    # once, its repeats are only counted, and the way back is a notice.
    broker = broker_factory(password_override="wrong")
    sandbox.start_bus()
    sink = SyslogSink(workdir)
    q = Proc(sink.wrap(sandbox, [QUILAC, "-l", "4", "-b", "127.0.0.1", "-p", broker.port,
                                 "-i", CLIENT_ID]), workdir / "syslog-quilac.log")
    at = f"127.0.0.1:{broker.port}"
    daemon = 3 << 3

    def texts(priority):
        return [t.removeprefix("quilac-1.0: ") for p, t in sink.records() if p == daemon + priority]

    def retries():
        return texts(7).count(f"try reconnect to mqtt server, {at}")

    try:
        wait_for(lambda: retries() >= 2, timeout=12 * SLOWDOWN, what="a failure repeated",
                 show=sink.records)
        broker.start()
        wait_for(lambda: len(texts(2)) == 2, timeout=6 * SLOWDOWN, what="refusal",
                 show=sink.records)
        seen = retries()
        wait_for(lambda: retries() >= seen + 2, timeout=12 * SLOWDOWN, what="refusal repeated",
                 show=sink.records)
        broker.stop()
        broker.make_passwords([CLIENT_ID], None)
        broker.start()
        wait_for(lambda: any(t.startswith("connect to mqtt server ok") for t in texts(5)),
                 timeout=6 * SLOWDOWN, what="back", show=sink.records)
        records = sink.records()
    finally:
        q.stop()
        sink.records()
        sink.close()
    # a broker killed in the middle of an attempt is a failure of its own
    crit = texts(2)
    down, refused = crit[:2]
    assert down == f"connect to mqtt server, {at}: Connection refused", records
    assert refused == f"connect to mqtt server error ({at}: Not authorized)"
    assert all(a != b for a, b in zip(crit, crit[1:])), records
    assert not [r for r in records if r[0] == daemon + 2 and r[1].split(": ", 1)[1] not in crit]
    # the repeats of each, summed up when the next failure or the success came
    sums = [re.fullmatch(r"repeated (\d+) more time\(s\), (\d+) in all: (.*)", t)
            for t in texts(4)]
    assert all(m and int(m[1]) + 1 == int(m[2]) and m[3] in crit for m in sums), records
    assert {m[3] for m in sums} >= {down, refused}
    attempts = len(crit) + sum(int(m[1]) for m in sums)
    assert texts(5).count(f"connect to mqtt server ok, {at}, after {attempts} failed attempt(s)") == 1


def test_sessions_taken_over_are_said_once_then_the_way_back(broker, sandbox, workdir):
    # Another bridge with our client id takes each session over: its end is
    # one warning, the cycles after it are only counted (nothing else at
    # notice), and the session that lasts again sums them up. The stop is
    # "stop quilac" alone, with one "offline" event.
    from harness import Sandbox
    sandbox.start_bus()
    sink = SyslogSink(workdir)
    q = Proc(sink.wrap(sandbox, [QUILAC, "-b", "127.0.0.1", "-p", broker.port, "-i", CLIENT_ID]),
             workdir / "syslog-quilac.log")
    other = Sandbox(workdir / "other")
    other.start_bus()
    twin = Proc(other.wrap([QUILAC, "-S", "-b", "127.0.0.1", "-p", broker.port, "-i", CLIENT_ID]),
                workdir / "twin.log")
    at = f"127.0.0.1:{broker.port}"
    daemon = 3 << 3

    def said():
        return [(p - daemon, t.removeprefix("quilac-1.0: ")) for p, t in sink.records()]
    try:
        wait_for(lambda: any(t.startswith("disconnect") for _, t in said()), what="taken over")
        time.sleep(8)
        cycles = said()
        twin.stop()
        wait_for(lambda: any("after" in t for _, t in said()), timeout=30 * SLOWDOWN,
                 what="the way back", show=sink.records)
        q.stop()
        wait_for(lambda: said()[-1][1] == "stop quilac", what="stop")
        wait_for(lambda: sandbox.hotplug_events()[-1].startswith("quilac ACTION=offline"),
                 what="offline")
        records = said()
    finally:
        q.stop()
        twin.stop()
        other.bus.stop()
        sink.close()
    ended = [(p, t) for p, t in cycles if t.startswith("disconnect")]
    assert ended == [(4, f"disconnect from mqtt server, {at}: The connection was lost.")], cycles
    assert [t for p, t in cycles if p <= 5 and "ok" in t] == [f"connect to mqtt server ok, {at}"]
    assert not [t for p, t in records if "loop_read" in t and p < 7], records
    summed = [m for p, t in records if p == 4
              for m in [re.fullmatch(r"repeated (\d+) more time\(s\), (\d+) in all: disconnect.*", t)] if m]
    assert len(summed) == 1, records
    back = f"connect to mqtt server ok, {at}, after {summed[0][2]} failed attempt(s)"
    assert (5, back) in records, records
    assert records[-1] == (5, "stop quilac") and "No error" not in str(records), records
    time.sleep(0.5)
    events = sandbox.hotplug_events()
    assert events.count(events[-1]) == len(events) // 2, events     # one offline per online


def test_brokers_tried_in_turn_are_each_said_once(sandbox, workdir):
    ports = free_port(), free_port()
    sandbox.start_bus()
    sink = SyslogSink(workdir)
    q = Proc(sink.wrap(sandbox, [QUILAC, "-l", "4", "-i", CLIENT_ID,
                                 *[w for p in ports for w in ("-b", f"127.0.0.1:{p}")]]),
             workdir / "syslog-quilac.log")
    try:
        wait_for(lambda: sum("try reconnect" in t for _, t in sink.records()) >= 5, timeout=30,
                 what="attempts on both", show=sink.records)
        records = sink.records()
    finally:
        q.stop()
        sink.close()
    said = [(p - (3 << 3), t.removeprefix("quilac-1.0: ")) for p, t in records if p < (3 << 3) + 7]
    assert sorted(t for p, t in said if p == 2) == [
        f"connect to mqtt server, 127.0.0.1:{p}: Connection refused" for p in sorted(ports)], said
    # after the first attempt, turning to the next broker and trying again is debug
    assert [t for p, t in said if p > 2][1:] == [f"connect to mqtt server, 127.0.0.1:{ports[0]}"]


def test_broker_down_at_start_then_up(broker_factory, sandbox, quilac_factory):
    broker = broker_factory()
    sandbox.start_bus()
    q = quilac_factory(broker.port)
    q.wait_output("connect to mqtt server, ")
    wait_for(lambda: q.call("info").returncode == 0, what="bus object")
    assert '"status":"disconnected"' in q.call("info").stdout
    broker.start()
    q.wait_output(f"try reconnect to mqtt server, 127.0.0.1:{broker.port}\n", timeout=8)
    q.wait_output("subscribed (mid: 3)")
    assert '"status":"connected"' in q.call("info").stdout
    wait_for(lambda: sandbox.hotplug_events() == ["quilac ACTION=online MAC= IP= PORT= PROTO="],
             what="online event", show=sandbox.hotplug_events)


def test_broker_lost_and_back(quilac, broker, sandbox, workdir):
    wait_for(lambda: len(sandbox.hotplug_events()) == 1, what="online")
    broker.stop()
    quilac.wait_output(f"disconnect from mqtt server, 127.0.0.1:{broker.port}: ")
    wait_for(lambda: len(sandbox.hotplug_events()) == 2, what="offline")
    quilac.wait_output("try reconnect to mqtt server, ", timeout=8)
    assert '"status":"disconnected"' in quilac.call("info").stdout

    broker.start()
    # The event is written by a hotplug child of its own: wait for it, not
    # for the daemon's log.
    wait_for(lambda: [e.split()[1] for e in sandbox.hotplug_events()] ==
             ["ACTION=online", "ACTION=offline", "ACTION=online"], timeout=12,
             what="online again", show=sandbox.hotplug_events)
    wait_for(lambda: quilac.output().count("subscribed (mid: 3)") == 2, what="resubscribed")

    sub = broker.sub("reply/#", workdir / "sub.log")
    sandbox.set_quilapi('echo "reply/back"; echo again\n')
    broker.pub("upload/x", "hello")
    wait_for(lambda: broker.messages(workdir / "sub.log") == ["reply/back|again"],
             what="report bridged after reconnection")
    sub.stop()


def test_connecting_while_connack_outstanding_until_the_keep_alive(sandbox, quilac_factory):
    # A "broker" that accepts the TCP connection and never answers.
    srv = socket.socket()
    srv.bind(("127.0.0.1", 0))
    srv.listen(4)
    conns = []
    t = threading.Thread(target=lambda: conns.append(srv.accept()), daemon=True)
    t.start()
    sandbox.start_bus()
    q = quilac_factory(srv.getsockname()[1])
    wait_for(lambda: q.call("info").returncode == 0, what="bus object")
    assert '"status":"connecting"' in q.call("info").stdout
    q.wait_output(f"no answer from the mqtt server 127.0.0.1:{srv.getsockname()[1]} within 30 s",
                  timeout=45)
    q.stop()
    srv.close()


def test_black_holed_broker_never_stops_the_loop(sandbox, quilac_factory, broker_factory):
    hole = BlackHole()
    sandbox.start_bus()
    q = quilac_factory(hole.port)
    try:
        wait_for(lambda: q.call("info").returncode == 0, what="bus object while connecting")
        assert '"status":"connecting"' in q.call("info").stdout
    finally:
        hole.close()
    # The broker appears at that address: the pending connection goes on.
    broker_factory(port=hole.port).start()
    q.wait_output("subscribed (mid: 3)", timeout=20)
    assert q.output().count("connect to mqtt server, ") == 1
    assert '"status":"connected"' in q.call("info").stdout


def test_idle_session_pings_within_the_keep_alive(quilac, broker):
    # 30 s are fixed: this test waits for them once.
    start = time.monotonic()
    wait_for(lambda: f"Received PINGREQ from {CLIENT_ID}" in broker.output(), timeout=32,
             step=0.2, what="keep-alive ping")
    assert 25 < time.monotonic() - start < 30 + 2 * SLOWDOWN
    assert f"Sending PINGRESP to {CLIENT_ID}" in broker.output()
    assert quilac.output().count("connect to mqtt server ok") == 1


def numbered_worker(sandbox, lines):
    # Prints the topic, then "<payload> <n>" for n = 1..lines.
    sandbox.set_quilapi("id=$(echo \"$2\" | sed 's/.*\"payload\": \"\\([^\"]*\\)\".*/\\1/')\n"
                        f'echo t/num; seq -f "$id %g" {lines}\n')


def first_seen(lines):
    seen, out = set(), []
    for m in lines:
        if m not in seen:
            seen.add(m)
            out.append(m)
    return out


def check_all_in_order(got, workers, lines):
    # At-least-once: duplicates after a lost session, but no hole, and each
    # worker's lines first seen in order.
    for w in workers:
        mine = [m for m in first_seen(got) if m.startswith(f"t/num|{w} ")]
        assert mine == [f"t/num|{w} {n}" for n in range(1, lines + 1)], w


def test_output_outlives_a_broker_restart(quilac, broker, sandbox, workdir, process_tag):
    lines, workers = 3000, ("w1", "w2", "w3")
    numbered_worker(sandbox, lines)
    log, rpc = workdir / "num.log", workdir / "rpc.log"
    broker.sub("t/num", log)          # reconnects by itself, long before quilac
    broker.sub("rpc/#", rpc)
    broker.pub_lines("upload/num", workers)
    wait_for(lambda: len(broker.messages(log)) > 1000, timeout=20, what="output under way")
    # Stalled, then killed: what it had not acknowledged is published again.
    broker.proc.p.send_signal(signal.SIGSTOP)
    time.sleep(0.5)
    broker.stop()
    quilac.wait_output("disconnect from mqtt server, ")
    # A command while there is no session waits for the next one.
    assert quilac.call("pub", '{"id":"AP1","msg":"later"}').returncode == 0
    # quilac is back within a second: the subscribers must be back first.
    (pid,) = process_tag.pids("quilac")
    os.kill(pid, signal.SIGSTOP)
    try:
        subs = broker.output().count("(QoS 1)\n")
        broker.start()
        wait_for(lambda: broker.output().count("(QoS 1)\n") >= subs + 2, timeout=10,
                 what="subscribers back")
    finally:
        os.kill(pid, signal.SIGCONT)
    wait_for(lambda: len(set(broker.messages(log))) == 3 * lines, timeout=60,
             what="every line", show=lambda: len(set(broker.messages(log))))
    check_all_in_order(broker.messages(log), workers, lines)
    wait_for(lambda: "rpc/AP1|later" in broker.messages(rpc), what="the command")
    wait_for(lambda: quilac.stats()["backlog"] == 0, what="all acked")
    st = quilac.stats()
    assert st["dropped"] == st["refused"] == 0


def test_output_unacknowledged_by_the_broker_is_published_again(broker, sandbox, quilac_factory,
                                                              workdir):
    proxy = Proxy(broker.port, swallow_acks=True)
    try:
        sandbox.start_bus()
        q = quilac_factory(proxy.port)
        q.wait_output("subscribed (mid: 3)")
        lines = 1600
        numbered_worker(sandbox, lines)
        log = workdir / "num.log"
        broker.sub("t/num", log)
        start = time.monotonic()
        broker.pub("upload/num", "w1")
        wait_for(lambda: broker.messages(log), what="the first line")
        first_seen = time.monotonic()
        # Nothing is acknowledged: the backlog fills to its bound and the
        # worker waits on its pipe. The session is taken for broken 60 s
        # after the first line went out.
        wait_for(lambda: q.stats()["backlog"] == 1000, timeout=20,
                 what="backlog full")
        assert len(broker.messages(log)) < 1000
        wait_for(lambda: "quilac ACTION=offline MAC= IP= PORT= PROTO=" in sandbox.hotplug_events(),
                 timeout=65, step=0.1, what="session started anew")
        now = time.monotonic()
        assert now - start >= 60 and now - first_seen < 61 + 2 * SLOWDOWN
        wait_for(lambda: len(set(broker.messages(log))) == lines, timeout=30, what="every line",
                 show=lambda: len(set(broker.messages(log))))
        check_all_in_order(broker.messages(log), ("w1",), lines)
        wait_for(lambda: q.stats()["backlog"] == 0, what="all acked")
    finally:
        proxy.close()


def test_output_written_into_a_dead_connection_keeps_its_place(broker, sandbox, quilac_factory,
                                                              workdir, process_tag):
    # The first lines are sent but never acknowledged. Those the loop takes
    # before it has noticed the end of the connection meet a failed write
    # (EPIPE): they are not refused for good, and go out on the next session
    # after the unacknowledged ones, in the order they were written.
    proxy = Proxy(broker.port, swallow_acks=True)
    try:
        sandbox.start_bus()
        q = quilac_factory(proxy.port)
        q.wait_output("subscribed (mid: 3)")
        log, gate, written = workdir / "num.log", workdir / "gate", workdir / "written"
        sandbox.set_quilapi(f'echo t/num; seq -f "w1 %g" 3\n'
                            f'while [ ! -e {gate} ]; do sleep 0.05; done\n'
                            f'seq -f "w1 %g" 4 23; : > {written}\n')
        broker.sub("t/num", log)
        broker.pub("upload/num", "w1")
        wait_for(lambda: len(broker.messages(log)) == 3, what="sent, not acknowledged")
        (pid,) = process_tag.pids("quilac")
        os.kill(pid, signal.SIGSTOP)
        try:
            gate.touch()
            wait_for(written.exists, timeout=10, what="the rest in the worker's pipe")
            proxy.cut()
        finally:
            os.kill(pid, signal.SIGCONT)
        want = [f"t/num|w1 {n}" for n in range(1, 24)]
        wait_for(lambda: len(broker.messages(log)) >= 3 + 23, timeout=30, what="every line",
                 show=lambda: (broker.messages(log), q.call("stats").stdout))
        wait_for(lambda: q.stats()["backlog"] == 0, what="all acked")
        assert broker.messages(log) == want[:3] + want
        assert q.stats()["refused"] == 0
    finally:
        proxy.close()


def test_hotplug_scripts_run_one_at_a_time_in_order_with_a_time_limit(broker_factory, sandbox,
                                                                      quilac_factory, workdir):
    """Session flaps while the scripts hang: never two at once, each killed at
    the time limit, "offline" then "online" in order, and the last to run tells
    the state."""
    from harness import write_script
    log, lock = sandbox.hotplug_log, workdir / "hotplug.lock"
    write_script(sandbox.upper / "hotplug-call",
                 f'exec 9>{lock}; flock -n 9 || echo overlap >> {log}\n'
                 f'echo "start $ACTION" >> {log}; sleep 30; echo "end $ACTION" >> {log}\n')
    broker = broker_factory().start()
    sandbox.start_bus()
    q = quilac_factory(broker.port, extra=("-t", "2"))
    wait_for(lambda: sandbox.hotplug_events() == ["start online"], what="online")
    broker.stop()
    q.wait_output("disconnect from mqtt server, ")
    broker.start()
    q.wait_output("reconnect to mqtt server ok", timeout=15)

    def all_ended():
        events = sandbox.hotplug_events()
        killed = q.output().count("still running after 2 seconds, killed")
        return events if killed == len(events) and events[-1] == "start online" else None
    events = wait_for(all_ended, timeout=30, what="every script killed", show=sandbox.hotplug_events)
    time.sleep(1.5)     # nothing more after the hold-down
    assert sandbox.hotplug_events() == events
    assert events[0] == events[-1] == "start online"
    assert all(a != b for a, b in zip(events, events[1:])), events
    assert '"status":"connected"' in q.call("info").stdout
    assert "/sbin/hotplug-call quilac (" in q.output()


def test_a_stop_kills_a_running_hotplug_script(broker, sandbox, quilac_factory):
    """Its time limit ends with quilac: the script goes with it, children too."""
    from harness import write_script
    write_script(sandbox.upper / "hotplug-call",
                 f'sleep 600 & echo "$$ $!" >> {sandbox.hotplug_log}; wait\n')
    sandbox.start_bus()
    q = quilac_factory(broker.port, extra=("-t", "60"))
    pids = wait_for(sandbox.hotplug_events, what="the online script")[0].split()
    q.stop()
    for pid in pids:
        wait_for(lambda: not alive(pid), timeout=3, what=f"process {pid} killed at the stop")


def test_reports_sent_while_the_session_is_cut_are_all_run(broker, sandbox, quilac_factory,
                                                          workdir):
    # The broker keeps the session's QoS 1 reports while quilac is away.
    proxy = Proxy(broker.port)
    try:
        sandbox.start_bus()
        runs = workdir / "runs"
        sandbox.set_quilapi(f'echo "$2" >> {runs}\n')
        q = quilac_factory(proxy.port)
        q.wait_output("subscribed (mid: 3)")
        device = subprocess.Popen(["mosquitto_pub", "-p", str(broker.port), "-u", "test", "-P",
                                   "test", "-q", "1", "-t", "upload/AP1", "-l"],
                                  stdin=subprocess.PIPE, text=True)
        reports, cuts = 240, 0
        for i in range(reports):
            device.stdin.write(f"r{i}\n")
            device.stdin.flush()
            time.sleep(0.025)
            if i % 40 == 20 and len(proxy.conns) > cuts:   # quilac is back
                proxy.cut()
                cuts += 1
        device.stdin.close()
        assert device.wait(timeout=30) == 0
        ran = lambda: {json.loads(line)["payload"] for line in runs.read_text().splitlines()}
        wait_for(lambda: runs.exists() and len(ran()) == reports, timeout=30,
                 what="every report run", show=lambda: (reports - len(ran()), q.output()[-400:]))
        # sessions cut in a row are short ones: the first end said, the rest counted
        assert cuts >= 3 and "disconnect from mqtt server" in q.output()
        assert q.stats()["dropped"] == 0
    finally:
        proxy.close()


def test_a_resolver_that_never_answers_holds_no_call(sandbox, quilac_factory, workdir):
    # A name server that takes the queries and never answers.
    silent = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    address = f"127.53.{os.getpid() % 250 + 1}.{time.time_ns() % 250 + 1}"
    silent.bind((address, 53))
    conf = workdir / "resolv.conf"
    conf.write_text(f"nameserver {address}\noptions timeout:30 attempts:5\n")
    sandbox.binds.append((conf, "/etc/resolv.conf"))
    sandbox.start_bus()
    try:
        # Second in the list, after the harness's 127.0.0.1, where nothing listens.
        q = quilac_factory(1883, extra=["-b", "mqtt.quil-test.example"])
        q.wait_output("mqtt server, mqtt.quil-test.example:1883", timeout=15)
        slowest = 0
        for _ in range(20):
            start = time.monotonic()
            r = q.call("info")
            slowest = max(slowest, time.monotonic() - start)
            assert '"status":"connecting"' in r.stdout
            time.sleep(0.1)
        assert slowest < 0.5 * SLOWDOWN
        q.wait_output("cannot resolve the mqtt server name, mqtt.quil-test.example:1883: "
                      "no answer within 10 seconds", timeout=15)
    finally:
        silent.close()
