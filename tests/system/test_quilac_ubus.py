"""The bus object "quilac": every method with good and bad arguments, the
log threshold, pub's bound while the broker stalls, and the bus daemon
restarted under the running bridge."""
import json
import re
import signal
import time

from harness import CLIENT_ID, QUILAC, QUILAC_SIGNATURES, Proc, SyslogSink, rss_kib, wait_for


def test_signature_lists_each_methods_arguments(quilac):
    lines = quilac.ubus("-v", "list", "quilac").stdout.splitlines()
    assert lines[1:] == QUILAC_SIGNATURES


def test_pub_and_pub_group(quilac, broker, workdir):
    sub = broker.sub("#", workdir / "all.log")
    assert quilac.call("pub", '{"id":"AB12CD34EF56","msg":"hello"}').returncode == 0
    assert quilac.call("pub_group", '{"group":"lan","msg":"all"}').returncode == 0
    # Topics are at most 254 bytes: a longer one is refused, never cut.
    assert quilac.call("pub", json.dumps({"id": "x" * 250, "msg": "fits"})).returncode == 0
    want = ["rpc/AB12CD34EF56|hello", "broadcast/rpc/lan|all", "rpc/" + "x" * 250 + "|fits"]
    wait_for(lambda: broker.messages(workdir / "all.log") == want, what="publications",
             show=lambda: broker.messages(workdir / "all.log"))

    for method, args in (("pub", '{"id":"a"}'), ("pub", '{"id":5,"msg":"m"}'),
                         ("pub", '{"group":"g","msg":"m"}'), ("pub_group", '{"id":"a","msg":"m"}'),
                         ("pub", None), ("pub", json.dumps({"id": "x" * 251, "msg": "m"})),
                         ("pub", json.dumps({"id": "x" * 249 + "\u00e9", "msg": "m"})),
                         ("pub_group", json.dumps({"group": "g" * 241, "msg": "m"}))):
        r = quilac.call(method, args)
        assert (r.returncode, r.stderr) == (2, "Command failed: Invalid argument\n"), (method, args)
    sub.stop()
    assert broker.messages(workdir / "all.log") == want
    assert "rpc/AB12CD34EF56/hello" in quilac.output()     # level-4 publish message


def test_pub_without_broker_still_succeeds(sandbox, quilac_factory):
    sandbox.start_bus()
    q = quilac_factory(1)
    wait_for(lambda: q.call("info").returncode == 0, what="bus object")
    assert q.call("info").stdout == (
        '{"broker":"127.0.0.1","port":1,"status":"disconnected","version":"1.0","tls":false}\n')
    assert q.call("pub", '{"id":"a","msg":"m"}').returncode == 0


def test_client_registry_methods(quilac):
    assert quilac.call("get_client").stdout == '{"count":0}\n'
    assert quilac.call("update_client", '{"id":"AB12CD34EF56","info":"x"}').returncode == 0
    quilac.wait_output("client add AB12CD34EF56")
    first = json.loads(quilac.call("get_client").stdout)
    assert quilac.call("update_client", '{"id":"AB12CD34EF56","info":"y"}').returncode == 0
    quilac.wait_output("client update AB12CD34EF56")
    second = json.loads(quilac.call("get_client").stdout)
    assert second["count"] == 1
    assert second["client"][0] == dict(first["client"][0], info="y")

    for cid in ("b", "Zed", "0abc"):
        quilac.call("update_client", json.dumps({"id": cid, "info": cid}))
    listing = json.loads(quilac.call("get_client").stdout)
    assert [(c["index"], c["id"]) for c in listing["client"]] == \
        [(0, "0abc"), (1, "AB12CD34EF56"), (2, "Zed"), (3, "b")]

    assert quilac.call("update_client", '{"id":"a"}').returncode == 2
    assert quilac.call("del_client", '{"info":"x"}').returncode == 2
    assert quilac.call("del_client", '{"id":"nobody"}').returncode == 0
    # Longer than a key (12 bytes), an id would reach another's entry.
    for method in ("update_client", "del_client"):
        args = '{"id":"AB12CD34EF56-longer","info":"x"}'
        assert quilac.call(method, args).returncode == 2, method
    assert json.loads(quilac.call("get_client").stdout)["client"][1]["info"] == "y"


def test_client_list_too_large_for_the_bus_is_cut_and_paged(quilac):
    info = "i" * 100000                  # one argument of the ubus command each
    for n in range(40):
        assert quilac.call("update_client", json.dumps({"id": f"c{n:02}", "info": info})).returncode == 0
    before = rss_kib(quilac.proc.pid)
    # what one bus message carries (1 MiB), and the count of all
    for args, status, indexes in ((None, 0, range(0, 10)),
                                  ('{"limit":9}', 0, range(0, 9)),
                                  ('{"offset":36,"limit":9}', 0, range(36, 40)),
                                  ('{"offset":38}', 0, range(38, 40)),
                                  ('{"offset":40}', 0, range(0)),
                                  ('{"offset":0,"limit":0}', 0, range(0)),
                                  ('{"offset":5,"limit":11}', 0, range(5, 15)),
                                  ('{"offset":"1"}', 2, None), ('{"limit":-1}', 2, None),
                                  ('{"offset":-1}', 2, None), ('{"limit":true}', 2, None),
                                  ('{"offset":1.5}', 2, None)):
        r = quilac.call("get_client", args)
        assert r.returncode == status, args
        if indexes is not None:
            page = json.loads(r.stdout)
            assert page["count"] == 40 and len(page) == (2 if indexes else 1), args
            assert [(c["index"], c["id"]) for c in page.get("client", [])] == \
                [(i, f"c{i:02}") for i in indexes], args
    # never built whole (4 MB)
    assert rss_kib(quilac.proc.pid) - before < 2560

    assert quilac.call("del_client", '{"id":"c00"}').returncode == 0
    assert json.loads(quilac.call("get_client", '{"limit":0}').stdout) == {"count": 39}


def test_log_method_changes_threshold(sandbox, broker, quilac_factory):
    sandbox.start_bus()
    q = quilac_factory(broker.port, extra=["-l", "2"])
    q.wait_output("subscribed (mid: 3)")
    wait_for(lambda: q.call("info").returncode == 0, what="bus object")
    q.call("pub", '{"id":"a","msg":"one"}')
    assert q.call("log", '{"level":4}').returncode == 0
    q.call("pub", '{"id":"a","msg":"two"}')
    q.wait_output("rpc/a/two")
    assert "rpc/a/one" not in q.output()            # it would have come first
    assert q.call("log", '{"level":0}').returncode == 0
    q.call("pub", '{"id":"a","msg":"three"}')
    assert q.call("log", '{"level":-1}').returncode == 0     # anything outside 0..3 is 4
    q.call("pub", '{"id":"a","msg":"four"}')
    q.wait_output("rpc/a/four")
    assert "rpc/a/three" not in q.output()
    assert q.call("log", '{"level":"4"}').returncode == 2
    assert q.call("log").returncode == 2


def test_bus_restart_under_running_bridge(sandbox, broker, workdir):
    # The loss is critical once, with the socket and the reason; its repeats
    # are only counted, and summed up (warning) when the bus is back (notice).
    bus = sandbox.start_bus()
    sink = SyslogSink(workdir)
    q = Proc(sink.wrap(sandbox, [QUILAC, "-b", "127.0.0.1", "-p", broker.port, "-i", CLIENT_ID]),
             workdir / "syslog-quilac.log")
    daemon = 3 << 3

    def said():
        return [(p - daemon, t.removeprefix("quilac-1.0: ")) for p, t in sink.records()]
    try:
        wait_for(lambda: any("subscribed (mid: 3)" in t for _, t in said()), what="session")
        wait_for(lambda: bus.ubus("call", "quilac", "info").returncode == 0, what="object")
        before = len(said())
        bus.stop()
        wait_for(lambda: any("failed to reconnect" in t for _, t in said()), what="first failure")
        time.sleep(4.5)                                 # two more attempts at least
        bus.start()
        wait_for(lambda: any("reconnected" in t for _, t in said()), timeout=6, what="back",
                 show=sink.records)
        wait_for(lambda: bus.ubus("call", "quilac", "update_client",
                                  '{"id":"x","info":"y"}').returncode == 0, what="object back")
        lines = said()[before:]
    finally:
        q.stop()
        sink.close()
    failed = f"failed to reconnect, trying again in 2 seconds: {bus.path}: "
    assert [p for p, t in lines if t.startswith(failed)] == [2], lines      # critical, once
    summed = [(p, t) for p, t in lines if t.startswith("repeated ")]
    assert len(summed) == 1 and summed[0][0] == 4 and failed in summed[0][1], lines
    back = [t for p, t in lines if t.startswith("reconnected")]
    assert len(back) == 1 and re.fullmatch(r"reconnected to ubus, new id: [0-9a-f]{8}", back[0])
    assert (5, back[0]) in lines, lines
    assert not any(t.endswith("\n") for _, t in sink.records())


def test_pub_is_bounded_while_the_broker_stalls(quilac, broker, workdir):
    # 100 KiB each: ten fit in the 1 MiB backlog, the eleventh is refused
    # with a status; all ten arrive once the broker is back.
    log = workdir / "big.log"
    broker.sub("rpc/#", log)
    msg = json.dumps({"id": "x", "msg": "m" * 102400})
    broker.proc.p.send_signal(signal.SIGSTOP)
    try:
        codes = [quilac.call("pub", msg).returncode for _ in range(11)]
        assert codes == [0] * 10 + [11]
        st = quilac.stats()
        assert (st["backlog"], st["backlog_bytes"]) == (10, 10 * (102400 + len("rpc/x")))
        assert rss_kib(quilac.proc.pid) < 16 * 1024
    finally:
        broker.proc.p.send_signal(signal.SIGCONT)
    wait_for(lambda: len(broker.messages(log)) == 10, timeout=20, what="the ten")
    wait_for(lambda: quilac.stats()["backlog"] == 0, what="acked")
    assert quilac.call("pub", msg).returncode == 0
    # A topic no broker takes fails at once instead of waiting for ever.
    assert quilac.call("pub", '{"id":"a/#","msg":"m"}').returncode == 2
