"""Reports handed to the API program and its output published: the line
protocol, its limits, exit reports and the "offline/" shortcut."""
import re

from harness import BUILD, CLIENT_ID, wait_for


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
