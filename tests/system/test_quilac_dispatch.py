"""Reports handed to the API program and its output published: the line
protocol, its limits, exit reports and the "offline/" shortcut."""
import re
import time

from harness import BUILD, CLIENT_ID, QUILAC, UBUS, Proc, SyslogSink, wait_for

DAEMON = 3 << 3


def bridged(broker, quilac, sandbox, workdir, script, payload="p", topic="upload/x",
            sub_topic="t/#"):
    """Runs one report through `script`; returns the messages seen on sub_topic."""
    log = workdir / f"sub-{abs(hash(script))}.log"
    sub = broker.sub(sub_topic, log)
    ended = quilac.output().count("exit with")
    sandbox.set_quilapi(script)
    broker.pub(topic, payload)
    wait_for(lambda: quilac.output().count("exit with") > ended, what="worker ended")
    # A sentinel report after the one under test marks the end of its output.
    sentinel_topic = sub_topic.removesuffix("/#") + ("/end" if sub_topic.endswith("/#") else "")
    sandbox.set_quilapi(f"echo {sentinel_topic}; echo __end__\n")
    broker.pub("upload/sentinel", "s")
    wait_for(lambda: f"{sentinel_topic}|__end__" in broker.messages(log), what="sentinel")
    sub.stop()
    return [m for m in broker.messages(log) if not m.endswith("|__end__")]


def test_worker_gets_quilapi_mqtt_and_exact_json(sandbox, broker, quilac_factory, workdir):
    args_log = workdir / "args.log"
    sandbox.install_quilapi_binary(BUILD / "tests/system/record_args")
    sandbox.start_bus()
    sub = broker.sub("reply/#", workdir / "sub.log")
    q = quilac_factory(broker.port, env_extra={"QUIL_ARGS_LOG": str(args_log)})
    q.wait_output("subscribed (mid: 3)")
    broker.pub("upload/dev/1", '{"a":"b/c"}')
    wait_for(lambda: broker.messages(workdir / "sub.log") == ["reply/args|recorded"],
             what="reply")
    assert args_log.read_text() == (
        'quilapi\nmqtt\n{ "topic": "upload\\/dev\\/1", "payload": "{\\"a\\":\\"b\\/c\\"}" }\n\n')
    sub.stop()


def test_lines_after_the_first_are_published_in_order(quilac, broker, sandbox, workdir):
    script = "printf 't\\nA\\n'; printf 'E\\n' >&2; printf '\\nB\\r\\nC'\n"
    got = bridged(broker, quilac, sandbox, workdir, script, sub_topic="t")
    assert got == ["t|A", "t|E", "t|", "t|B\r"]   # stderr shares the pipe; C has no line end
    # QoS 1, not retained, as the broker received them.
    sent = re.findall(rf"Received PUBLISH from {CLIENT_ID} \((d\d, q\d, r\d), m\d+, 't'",
                      broker.output())
    assert set(sent) == {"d0, q1, r0"} and len(sent) == 5       # and the sentinel


def test_only_a_topic_nothing_or_an_invalid_topic_publishes_nothing(quilac, broker, sandbox,
                                                                   workdir):
    assert bridged(broker, quilac, sandbox, workdir, "echo t/x\n") == []
    assert bridged(broker, quilac, sandbox, workdir, "exit 0\n") == []
    # A topic the MQTT library refuses: each line counted and logged, not lost unseen.
    assert bridged(broker, quilac, sandbox, workdir, "echo 't/+'; echo a; echo b\n") == []
    assert quilac.stats()["refused"] == 2
    assert "publication refused by the MQTT library" in quilac.output()


def test_line_length_limit_and_nul(quilac, broker, sandbox, workdir):
    script = ("head -c 8191 /dev/zero | tr '\\0' a > $$.l; "
              "printf 't/x\\n'; cat $$.l; printf '\\n'; "                 # 8191 + LF: kept
              "cat $$.l; printf 'b\\n'; "                                 # 8192 + LF: dropped
              "printf 'after\\n'; "
              "printf 'x\\000y\\nz\\n'; "                                 # NUL hides the LF...
              "head -c 9000 /dev/zero | tr '\\0' c; printf '\\nlast\\n'; rm $$.l\n")
    got = bridged(broker, quilac, sandbox, workdir, script)
    assert got[0] == "t/x|" + "a" * 8191
    assert got[1] == "t/x|after"
    # ...so everything up to the 8192-byte mark is one over-long line.
    assert got[2:] == ["t/x|last"]


def test_exit_reports(quilac, broker, sandbox, workdir):
    sandbox.set_quilapi("exit 3\n")
    broker.pub("upload/a", "x")
    quilac.wait_output("): exit with 3\n")
    sandbox.set_quilapi("kill -9 $$\n")
    broker.pub("rpc_rsp/a", "x")
    quilac.wait_output("): exit with signal 9\n")
    assert "quilapi (" in quilac.output()


def test_missing_api_program_exits_127_and_publishes_nothing(sandbox, broker, quilac_factory,
                                                              workdir):
    sandbox.remove_quilapi()
    sandbox.start_bus()
    q = quilac_factory(broker.port)
    q.wait_output("subscribed (mid: 3)")
    sub = broker.sub("#", workdir / "all.log")
    broker.pub("upload/x", "x")
    q.wait_output("): exit with 127\n")
    broker.pub("upload/sentinel", "s")
    wait_for(lambda: "upload/sentinel|s" in broker.messages(workdir / "all.log"), what="sentinel")
    assert [m for m in broker.messages(workdir / "all.log") if not m.startswith("upload/")] == []
    sub.stop()


def logged_quilac(sandbox, broker, workdir, *extra):
    """quilac with its system log in a sink of the test's own."""
    sandbox.start_bus()
    sink = SyslogSink(workdir)
    q = Proc(sink.wrap(sandbox, [QUILAC, "-b", "127.0.0.1", "-p", broker.port, "-i", CLIENT_ID,
                                 *extra]), workdir / "syslog-quilac.log")
    wait_for(lambda: any("subscribed (mid: 3)" in t for _, t in sink.records()), what="session")
    return q, sink


def test_exits_said_only_when_abnormal_and_then_at_most_a_line_a_second(sandbox, broker,
                                                                           workdir):
    q, sink = logged_quilac(sandbox, broker, workdir)
    ran = workdir / "ran"
    try:
        sandbox.set_quilapi(f"echo >> {ran}; exit 0\n")
        broker.pub_lines("upload/ok", [f"m{i}" for i in range(5)])
        wait_for(lambda: ran.exists() and len(ran.read_text()) == 5, what="5 normal exits")
        sandbox.set_quilapi(f"echo >> {ran}; exit 3\n")
        start = time.monotonic()
        broker.pub_lines("upload/bad", [f"m{i}" for i in range(20)])
        wait_for(lambda: any("(20 in all)" in t for _, t in sink.records()), timeout=20,
                 what="all 20 abnormal exits said", show=sink.records)
        elapsed = time.monotonic() - start
        records = sink.records()
    finally:
        q.stop()
        sink.close()
    assert not [t for _, t in records if "exit with 0" in t]
    said = [re.fullmatch(r"quilac-1\.0: quilapi: (\d+) abnormal exit\(s\), the last on "
                         r"upload/bad: \(\d+\) exit with 3 \((\d+) in all\)", t)
            for p, t in records if p == DAEMON + 4]
    assert all(said) and sum(int(m[1]) for m in said) == 20, records
    assert said[0][1] == "1" and len(said) <= 2 + elapsed


def test_a_program_that_cannot_run_is_said_once(sandbox, broker, workdir):
    sandbox.remove_quilapi()
    q, sink = logged_quilac(sandbox, broker, workdir, "-l", "4")
    try:
        broker.pub_lines("upload/x", ["a", "b", "c"])
        wait_for(lambda: sum("exit with 127" in t for _, t in sink.records()) == 3,
                 what="3 workers", show=sink.records)
        records = sink.records()
    finally:
        q.stop()
        sink.close()
    said = [(p, t) for p, t in records if p < DAEMON + 7 and "quilapi" in t]
    assert said == [(DAEMON + 2, "quilac-1.0: quilapi: cannot start a worker: /usr/sbin/quilapi: "
                                 "No such file or directory")], records


def test_lines_written_just_before_exit_are_all_published(quilac, broker, sandbox, workdir):
    script = "echo t/d; i=0; while [ $i -lt 300 ]; do echo line$i; i=$((i+1)); done\n"
    got = bridged(broker, quilac, sandbox, workdir, script)
    assert got == [f"t/d|line{i}" for i in range(300)]


def test_offline_message_removes_registry_entry(quilac, broker, sandbox):
    assert quilac.call("update_client", '{"id":"dev1","info":"x"}').returncode == 0
    assert quilac.call("update_client", '{"id":"","info":"empty"}').returncode == 0
    broker.pub("offline/dev1", None)           # no payload: only logged
    quilac.wait_output("message: offline/dev1 (null)")
    assert '"count":2' in quilac.call("get_client").stdout

    broker.pub("offline/dev1", "bye")
    wait_for(lambda: '"count":1' in quilac.call("get_client").stdout, what="entry removed")
    broker.pub("offline/", "bye")                  # the empty id
    wait_for(lambda: quilac.call("get_client").stdout == '{"count":0}\n', what="empty id removed")
    assert "exit with" not in quilac.output()      # no worker was started


def test_worker_cannot_bring_back_a_client_removed_after_its_report(quilac, broker, sandbox,
                                                                    workdir):
    """The API program registers the device of each report with the number
    the bridge gives it; an "offline/" message that came after that report
    wins, however late the worker calls."""
    go = workdir / "go"
    sandbox.set_quilapi(f"""while [ ! -e {go} ]; do sleep 0.05; done
{UBUS} -s {sandbox.socket} call quilac update_client "{{\\"id\\":\\"dev2\\",\\"info\\":\\"r$QUILAC_REPORT\\",\\"report\\":$QUILAC_REPORT}}"
""")
    assert quilac.call("update_client", '{"id":"dev2","info":"known"}').returncode == 0
    broker.pub("upload/dev2", "report")
    broker.pub("offline/dev2", "bye")
    wait_for(lambda: quilac.call("get_client").stdout == '{"count":0}\n', what="entry removed")
    go.touch()
    quilac.wait_output("exit with 0")
    assert quilac.call("get_client").stdout == '{"count":0}\n'
    assert "client dev2 removed after its report 1, not updated" in quilac.output()

    broker.pub("upload/dev2", "back")              # a report after the removal registers
    wait_for(lambda: '"info":"r3"' in quilac.call("get_client").stdout, what="entry back")
