"""Several bridges as one group on one broker: reports shared out exactly
once, one client registry, a stop that loses nothing, a killed member whose
share the others take, and a list of brokers."""
import json
import re
import signal
import time
from collections import Counter

import pytest

from harness import Quilac, Sandbox, alive, children_of, wait_for
from test_quilac_session import Proxy

PASSWORD = "fleet secret"
GROUP = "site1"
# README's ACL for the group; the bridges answer on t/fleet, the tests' own
# client (user test) stands in for the devices and watches everything.
ACL = """user root
topic readwrite quilac/site1/#
topic read upload/#
topic read rpc_rsp/#
topic read offline/#
topic write rpc/#
topic write broadcast/rpc/#
topic write t/fleet
user test
topic readwrite #
"""


@pytest.fixture
def fleet(broker_factory, workdir):
    """start(name, ...) runs a bridge called `name` with a bus and an API
    program of its own that answers on t/fleet with its name and the report."""
    broker = broker_factory(password_override=PASSWORD)
    (workdir / "acl").write_text(ACL)
    broker.conf.write_text(broker.conf.read_text() + f"acl_file {workdir / 'acl'}\n")
    broker.start()
    secret = workdir / "password"
    secret.write_text(PASSWORD + "\n")
    secret.chmod(0o600)
    started = []

    def start(name, group=GROUP, extra=(), port=None, ready=True):
        sb = Sandbox(workdir / name)
        sb.start_bus()
        sb.set_quilapi(f'echo t/fleet; echo "{name} $2"\n')
        args = ["-P", secret, *(["-g", group] if group else []), *extra]
        q = Quilac(sb, port or broker.port, client_id=name, extra=args, log=f"{name}.log")
        started.append(q)
        if ready:
            q.wait_output(f"subscribed (mid: {6 if group else 3})", timeout=20)
            wait_for(lambda: q.call("info").returncode == 0, what=f"{name} on the bus")
        return q

    start.broker = broker
    yield start
    for q in started:
        q.stop()
        q.sandbox.bus.stop()
        print(f"--- {q.proc.log} ---\n{q.output()[-3000:]}")


def answers(broker, log):
    """(bridge, payload) of each answer seen on t/fleet."""
    out = []
    for line in broker.messages(log):
        name, text = line.split("|", 1)[1].split(" ", 1)
        out.append((name, json.loads(text)["payload"]))
    return out


def burst(broker, workdir, n, prefix="m", topic="upload/dev1"):
    log = workdir / f"answers-{prefix}.log"
    sub = broker.sub("t/fleet", log, count=n, timeout=240)
    broker.pub_lines(topic, [f"{prefix}{i}" for i in range(n)])
    return sub, log


def test_reports_shared_once_each_with_the_real_topic(fleet, workdir):
    for n in ("ac1", "ac2", "ac3"):
        fleet(n)
    broker = fleet.broker
    sub, log = burst(broker, workdir, 300)
    sub.p.wait(240)
    got = answers(broker, log)
    assert Counter(p for _, p in got) == Counter(f"m{i}" for i in range(300))
    shares = Counter(name for name, _ in got)
    assert set(shares) == {"ac1", "ac2", "ac3"}
    assert all(60 <= c <= 140 for c in shares.values()), shares
    text = broker.messages(log)[0].split(" ", 1)[1]
    assert json.loads(text)["topic"] == "upload/dev1"           # not the shared filter


def listing(q):
    r = q.call("get_client")
    assert r.returncode == 0, r.stderr
    return {c["id"]: (c["online"], c.get("info")) for c in json.loads(r.stdout).get("client", [])}


def test_one_registry_for_the_group_and_a_late_joiner(fleet):
    a, b = fleet("ac1"), fleet("ac2")
    assert a.call("update_client", '{"id": "AP01", "info": "first"}').returncode == 0
    assert b.call("update_client", '{"id": "AP02", "info": "x"}').returncode == 0
    wait_for(lambda: len(listing(a)) == len(listing(b)) == 2, what="both registries")
    assert listing(a) == listing(b)
    time.sleep(1.1)                     # a later update keeps the first online time
    assert b.call("update_client", '{"id": "AP01", "info": "second"}').returncode == 0
    wait_for(lambda: listing(a)["AP01"][1] == "second", what="update seen")
    assert listing(a) == listing(b)

    assert a.call("update_client", json.dumps({"id": "AP02", "info": "i" * 20000})).returncode \
        == 2                                # more than a registry message of the group takes
    assert a.call("del_client", '{"id": "AP02"}').returncode == 0
    fleet.broker.pub("offline/AP03", "gone")                    # not registered: harmless
    fleet.broker.pub("offline/AP01EVIL", "x")                   # another id, never cut to AP01
    wait_for(lambda: set(listing(b)) == {"AP01"}, what="removal seen")

    late = fleet("ac3")
    wait_for(lambda: listing(late) == listing(a), what="the late joiner's registry",
             show=lambda: (listing(late), listing(a)))
    fleet.broker.pub("offline/AP01", "gone")                    # every bridge sees it
    wait_for(lambda: not (listing(a) or listing(b) or listing(late)), what="offline seen")
    again = fleet("ac4")
    time.sleep(0.5)
    assert listing(again) == {}                                 # the removal is kept too


def test_member_back_from_a_cut_drops_what_was_removed_meanwhile(fleet):
    a = fleet("ac1")
    proxy = Proxy(fleet.broker.port)
    b = fleet("ac2", port=proxy.port)
    for i in ("AP05", "AP06", "AP07"):
        assert a.call("update_client", json.dumps({"id": i, "info": "x"})).returncode == 0
    wait_for(lambda: len(listing(b)) == 3, what="ac2's registry")
    proxy.cut()                         # ac2 is back 0.5-1 s later
    assert a.call("del_client", '{"id": "AP05"}').returncode == 0
    fleet.broker.pub("offline/AP06", "gone")
    b.wait_output("removed while this bridge was away", timeout=20)
    assert listing(b) == listing(a) and set(listing(a)) == {"AP07"}
    proxy.close()


@pytest.mark.parametrize("grouped", [True, False])
def test_planned_stop_mid_burst_loses_nothing(fleet, workdir, grouped):
    group = GROUP if grouped else None
    names = ("ac1", "ac2") if grouped else ("ac1",)
    bridges = [fleet(n, group=group, extra=["-w", "2"]) for n in names]
    for q in bridges:
        q.sandbox.set_quilapi(f'sleep 0.05; echo t/fleet; echo "{q.proc.log.stem} $2"\n')
    broker = fleet.broker
    sub, log = burst(broker, workdir, 120)
    first = bridges[0]
    wait_for(lambda: first.output().count("exit with 0") >= 10, timeout=60, what="mid-burst")
    assert first.stop() == 0
    assert "stopped after" in first.output() and "work left" not in first.output()
    sub.p.wait(240)
    assert Counter(p for _, p in answers(broker, log)) == Counter(f"m{i}" for i in range(120))


@pytest.mark.parametrize("alone", [False, True])
def test_queue_handed_back_only_to_a_member_there_to_take_it(fleet, workdir, alone):
    slow = fleet("ac1", extra=["-w", "1", "-D", "4"])
    slow.sandbox.set_quilapi('sleep 0.5; echo t/fleet; echo "ac1 $2"\n')
    if not alone:
        fleet("ac2")
    sub, log = burst(fleet.broker, workdir, 30)
    wait_for(lambda: "exit with 0" in slow.output(), what="ac1 busy")
    start = time.monotonic()
    assert slow.proc.stop(timeout=20) == 0
    assert time.monotonic() - start < 4 + 2                      # before its limit
    if alone:                           # run here; what is left is counted, not lost silently
        assert "no other member of the group" in slow.output()
        left = re.search(r"work left: (\d+) report\(s\) queued, (\d+) worker", slow.output())
        wait_for(lambda: len(answers(fleet.broker, log)) + int(left[1]) + int(left[2]) == 30,
                 what="every report answered or counted")
        return
    assert "queued report(s) handed back to the group" in slow.output()
    assert "work left" not in slow.output()
    sub.p.wait(240)
    assert Counter(p for _, p in answers(fleet.broker, log)) == Counter(f"m{i}" for i in range(30))


def test_second_signal_or_the_limit_ends_the_stop_and_kills_workers(fleet):
    for limit, second in ((30, signal.SIGINT), (1, None)):
        q = fleet("ac1", extra=["-D", str(limit)])
        q.sandbox.set_quilapi("echo t/fleet; exec sleep 600\n")
        fleet.broker.pub_lines("upload/dev1", ["a", "b"])
        wait_for(lambda: len(children_of(q.proc.pid)) == 2, what="two workers running")
        workers = children_of(q.proc.pid)
        start = time.monotonic()
        q.proc.p.send_signal(signal.SIGTERM)
        q.wait_output("finishing the reports taken")
        if second:
            q.proc.p.send_signal(second)
        assert q.proc.p.wait(20) == 0
        assert time.monotonic() - start < (5 if second else limit + 5)
        assert "0 report(s) queued, 2 worker(s) killed" in q.output()
        wait_for(lambda: not any(children_of(w) or alive(w) for w in workers),
                 what="workers gone")
        q.sandbox.bus.stop()




def test_killed_member_share_taken_by_the_group_then_rejoins(fleet, workdir):
    a, b = fleet("ac1"), fleet("ac2")
    broker = fleet.broker
    a.proc.stop(signal.SIGKILL)
    sub, log = burst(broker, workdir, 60, prefix="k")
    sub.p.wait(240)
    got = answers(broker, log)
    assert sorted(p for _, p in got) == sorted(f"k{i}" for i in range(60))
    assert {n for n, _ in got} == {"ac2"}

    again = fleet("ac1", extra=[])
    sub, log = burst(broker, workdir, 60, prefix="r")
    sub.p.wait(240)
    got = answers(broker, log)
    assert sorted(p for _, p in got) == sorted(f"r{i}" for i in range(60))
    assert Counter(n for n, _ in got)["ac1"] >= 15                 # back to its share


def test_second_broker_takes_over_when_the_first_dies(fleet, broker_factory, workdir):
    second = broker_factory(password_override=PASSWORD).start()
    q = fleet("ac1", group=None, extra=["-b", f"127.0.0.1:{second.port}"])
    info = json.loads(q.call("info").stdout)
    assert (info["broker"], info["port"]) == ("127.0.0.1", fleet.broker.port)
    fleet.broker.stop()
    wait_for(lambda: json.loads(q.call("info").stdout)["port"] == second.port
             and json.loads(q.call("info").stdout)["status"] == "connected", timeout=30,
             what="the second broker in use")
    q.wait_output("subscribed (mid: 3)")
    log = workdir / "second.log"
    sub = second.sub("t/fleet", log, count=1, timeout=60)
    wait_for(lambda: q.output().count("subscribed (mid: 3)") >= 2, what="resubscribed")
    second.pub("upload/dev1", "via second")
    sub.p.wait(60)
    assert answers(second, log) == [("ac1", "via second")]
