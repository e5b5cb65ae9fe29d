"""Load and faults, bounded in count and time: a burst of reports, and
workers that hang, crash or never end a line."""
import os
import signal
import subprocess
import time

from harness import children_of, open_fds, wait_for, zombies_of

REPORTS = 2000


def publish_burst(broker, topic, payloads):
    subprocess.run(["mosquitto_pub", "-p", str(broker.port), "-u", "test", "-P", "test",
                    "-q", "1", "-t", topic, "-l"], input="\n".join(payloads) + "\n",
                   text=True, check=True, timeout=60)


def test_burst_of_reports_all_bridged_without_leaks(quilac, broker, sandbox, workdir):
    pid = quilac.proc.pid
    time.sleep(0.3)
    fds_before = open_fds(pid)
    sandbox.set_quilapi('echo t/load; echo "A $2"; echo "B $2"\n')
    log = workdir / "load.log"
    sub = broker.sub("t/load", log, count=2 * REPORTS, timeout=180)

    publish_burst(broker, "upload/load", [f"m{i}" for i in range(REPORTS)])
    sub.p.wait(180)
    got = broker.messages(log)
    assert len(got) == 2 * REPORTS
    for i in (0, 1, REPORTS // 2, REPORTS - 1):
        json_text = f'{{ "topic": "upload\\/load", "payload": "m{i}" }}'
        assert f"t/load|A {json_text}" in got and f"t/load|B {json_text}" in got

    wait_for(lambda: quilac.output().count("exit with 0") == REPORTS, timeout=60,
             what="every worker reaped")
    wait_for(lambda: not zombies_of(pid), what="no zombies")
    wait_for(lambda: open_fds(pid) == fds_before, what="descriptors back to start",
             show=lambda: (fds_before, open_fds(pid)))


def test_misbehaving_workers_do_not_disturb_others(quilac, broker, sandbox, workdir):
    pid = quilac.proc.pid
    time.sleep(0.3)
    fds_before = open_fds(pid)
    log = workdir / "ok.log"
    sub = broker.sub("t/ok", log, count=39, timeout=60)   # 19 x 2 + "tail"

    sandbox.set_quilapi(
        'case "$2" in\n'
        '*hang*) echo t/ok; exec sleep 600;;\n'
        '*crash*) echo t/ok; kill -SEGV $$;;\n'
        "*flood*) echo t/ok; head -c 1048576 /dev/zero | tr '\\0' x; echo; echo tail;;\n"
        '*) echo t/ok; echo "1 $2"; echo "2 $2";;\n'
        'esac\n')
    publish_burst(broker, "upload/bad", ["hang", "crash", "flood"])
    publish_burst(broker, "upload/good", [f"g{i}" for i in range(19)])
    sub.p.wait(60)
    got = broker.messages(log)
    assert "t/ok|tail" in got                     # the line after the flood survives
    assert sum(m.startswith("t/ok|1 ") for m in got) == 19
    assert sum(m.startswith("t/ok|2 ") for m in got) == 19
    assert not any(len(m) > 8200 for m in got)
    quilac.wait_output("exit with signal 11")

    # Only the hanging worker is left; ending it releases its pipe as well.
    hung = children_of(pid)
    assert len(hung) == 1
    os.kill(hung[0], signal.SIGTERM)
    wait_for(lambda: quilac.output().count("exit with") == 22, what="all 22 workers ended")
    wait_for(lambda: not zombies_of(pid), what="no zombies")
    wait_for(lambda: open_fds(pid) == fds_before, what="descriptors back to start",
             show=lambda: (fds_before, open_fds(pid)))
