"""Load and faults, bounded in count and time: a burst of reports, workers
that hang, crash or never end a line, the bounded queue and its drops,
reports too large for one argument, the time limit over a worker's whole
group, and worker output held while the publish backlog is full."""
import os
import re
import signal
import subprocess
import time

from harness import alive, children_of, open_fds, rss_kib, stalled_wchar, wait_for, zombies_of

REPORTS = 2000


def test_burst_of_reports_all_bridged_without_leaks(quilac, broker, sandbox, workdir):
    pid = quilac.proc.pid
    time.sleep(0.3)
    fds_before = open_fds(pid)
    sandbox.set_quilapi('echo t/load; echo "A $2"; echo "B $2"\n')
    log = workdir / "load.log"
    sub = broker.sub("t/load", log, count=2 * REPORTS, timeout=180)

    broker.pub_lines("upload/load", [f"m{i}" for i in range(REPORTS)])
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
        '*leave*) echo t/left; yes & sleep 0.3;;\n'      # exits, its writer stays
        '*chatty*) echo t/chat; exec yes;;\n'             # never ends, never stops
        '*) echo t/ok; echo "1 $2"; echo "2 $2";;\n'
        'esac\n')
    broker.pub_lines("upload/bad", ["hang", "crash", "flood", "leave", "chatty"])
    broker.pub_lines("upload/good", [f"g{i}" for i in range(19)])
    sub.p.wait(60)
    got = broker.messages(log)
    assert "t/ok|tail" in got                     # the line after the flood survives
    assert sum(m.startswith("t/ok|1 ") for m in got) == 19
    assert sum(m.startswith("t/ok|2 ") for m in got) == 19
    assert not any(len(m) > 8200 for m in got)
    quilac.wait_output("exit with signal 11")

    # Only the hanging and the chatty worker are left; ending them releases
    # their pipes as well.
    running = children_of(pid)
    assert len(running) == 2
    for p in running:
        os.kill(p, signal.SIGTERM)
    wait_for(lambda: len(re.findall(r"^quilapi \(\d+\): exit with", quilac.output(), re.M)) == 24,
             what="all 24 workers ended")
    wait_for(lambda: not zombies_of(pid), what="no zombies")
    # Two workers' pipes (the writer left behind, the chatty one) are
    # published to their end first, at QoS 1.
    wait_for(lambda: open_fds(pid) == fds_before, timeout=30, what="descriptors back to start",
             show=lambda: (fds_before, open_fds(pid)))


def test_bounded_workers_fifo_queue_and_drops(sandbox, broker, quilac_factory, workdir):
    sandbox.start_bus()
    q = quilac_factory(broker.port, extra=["-w", "2", "-q", "1"])     # a queue of 1 KiB
    q.wait_output("subscribed (mid: 3)")
    started, release = workdir / "started.log", workdir / "release"
    sandbox.set_quilapi(f'echo "$$ $2" >> {started}\n'
                        f'i=0; while [ ! -e {release} ] && [ $i -lt 400 ]; do '
                        'sleep 0.05; i=$((i+1)); done\n'
                        'echo t/q; echo "$2"\n')
    log = workdir / "q.log"
    sub = broker.sub("t/q", log)
    broker.pub_lines("upload/q", [f"m{i}" for i in range(30)])

    # The queue holds what fits; the rest is dropped at once, counted, and
    # logged in one line a second at most.
    wait_for(lambda: sum(q.stats()[k] for k in ("workers", "queued", "dropped")) == 30,
             timeout=10, what="every report placed")
    st = q.stats()
    assert st["workers"] == 2 and st["queued"] > 0 and st["queued_bytes"] <= 1024
    assert st["dropped"] > 1
    quilac_total = f"the last on upload/q ({st['dropped']} dropped in all)\n"
    q.wait_output(quilac_total, timeout=5)
    counts = [int(n) for n in re.findall(r"worker queue full: (\d+) message\(s\) dropped",
                                         q.output())]
    assert counts[0] == 1 and sum(counts) == st["dropped"] and len(counts) <= 3

    release.touch()
    answered = 30 - st["dropped"]
    wait_for(lambda: len(broker.messages(log)) == answered, timeout=20, what="answers")
    sub.stop()
    # Started first come, first served (in pid order); the newest were dropped.
    starts = sorted((int(line.split()[0]), int(line.split('"m')[1].split('"')[0]))
                    for line in started.read_text().splitlines())
    assert [m for _, m in starts] == list(range(answered))
    wait_for(lambda: q.stats()["workers"] == 0, what="all workers ended")
    assert q.stats()["queued"] == q.stats()["queued_bytes"] == 0


def test_reports_wait_while_no_worker_can_start(quilac, broker, sandbox, workdir):
    # Descriptors for one pipe at a time: the other reports must wait their
    # turn, not be lost.
    pid = quilac.proc.pid
    n = len(open_fds(pid))
    subprocess.run(["prlimit", "--pid", str(pid), f"--nofile={n + 2}:{n + 2}"], check=True)
    sandbox.set_quilapi('echo t/fd; echo "$2"\n')
    log = workdir / "fd.log"
    sub = broker.sub("t/fd", log)
    broker.pub_lines("upload/fd", [f"m{i}" for i in range(20)])
    want = [f't/fd|{{ "topic": "upload\\/fd", "payload": "m{i}" }}' for i in range(20)]
    wait_for(lambda: broker.messages(log) == want, timeout=30, what="every report, in order",
             show=lambda: broker.messages(log))
    sub.stop()
    assert quilac.stats()["dropped"] == 0


def test_worker_over_time_limit_is_killed_with_its_children(sandbox, broker, quilac_factory,
                                                           workdir):
    sandbox.start_bus()
    q = quilac_factory(broker.port, extra=["-t", "6"])
    q.wait_output("subscribed (mid: 3)")
    bg, left, kept = workdir / "bg.pid", workdir / "left.pid", workdir / "kept.pid"
    exited = workdir / "exited"
    sandbox.set_quilapi('case "$2" in\n'
                        f'*hang*) echo t/k; sleep 600 & echo $! > {bg}; exec sleep 600;;\n'
                        # exits late in its limit, leaving a job in its group and one outside
                        f'*) sleep 600 & echo $! > {left}; setsid sleep 600 & echo $! > {kept}; '
                        f'sleep 3; date +%s.%N > {exited};;\n'
                        'esac\n')
    broker.pub_lines("upload/k", ["hang", "leave"])
    wait_for(lambda: exited.exists() and exited.read_text(), timeout=10, what="the worker's exit")
    pid = int(left.read_text())
    wait_for(lambda: not alive(pid), timeout=10, what="its job killed")
    # at the limit counted from the worker's start (3 s after its exit), not from its exit
    assert time.time() - float(exited.read_text()) < 5
    q.wait_output("): exit with signal 9\n", timeout=10)
    pid = int(q.output().split("): still running after 6 seconds, killed\n")[0].split("(")[-1])
    assert f"quilapi ({pid}): exit with signal 9\n" in q.output()
    assert "exit with 0" in q.output()
    wait_for(lambda: not alive(bg.read_text().strip()), what="bg killed")
    wait_for(lambda: q.stats()["workers"] == 0, what="slot free")
    st = q.stats()
    assert (st["killed"], st["killed_background"]) == (1, 2)
    # said like an abnormal exit (a warning, at most a line a second), with the report
    q.wait_output("abnormal exit(s), the last on upload/k: (")
    assert ") 1 process(es) left in its group after 6 seconds, killed (" in q.output()
    assert os.path.exists(f"/proc/{kept.read_text().strip()}")   # setsid: not ours to kill


def test_acknowledgements_flow_under_overload(sandbox, broker, quilac_factory, workdir):
    # Two slots, a small queue, chatty reports: the workers must keep
    # working, and every report is answered whole or counted as dropped.
    sandbox.start_bus()
    q = quilac_factory(broker.port, extra=["-w", "2", "-q", "2"])
    q.wait_output("subscribed (mid: 3)")
    sandbox.set_quilapi("id=$(echo \"$2\" | sed 's/.*\"payload\": \"\\([^\"]*\\)\".*/\\1/')\n"
                        'echo t/o; seq -f "$id %g" 600\n')
    log = workdir / "o.log"
    broker.sub("t/o", log)
    reports = 60
    broker.pub_lines("upload/o", [f"r{i}" for i in range(reports)])

    def whole():
        got = broker.messages(log)
        return sum(got.count(f"t/o|r{i} 600") for i in range(reports))
    wait_for(lambda: whole() + q.stats()["dropped"] == reports and q.stats()["workers"] == 0,
             timeout=90, what="every report answered or dropped",
             show=lambda: (whole(), q.stats()))
    got = broker.messages(log)
    for i in range(reports):
        mine = [m for m in got if m.startswith(f"t/o|r{i} ")]
        assert mine in ([], [f"t/o|r{i} {n}" for n in range(1, 601)])


def test_output_waits_while_the_broker_lags_and_nothing_is_lost(quilac, broker, sandbox,
                                                                 workdir):
    # Lines of 4 KiB: the backlog bound is met after a few hundred.
    sandbox.set_quilapi("echo t/flood; exec awk 'BEGIN { x = sprintf(\"%4000s\", \"\"); "
                        "for (i = 1; ; i++) printf \"%d%s\\n\", i, x }'\n")
    log = workdir / "flood.log"
    sub = broker.sub("t/flood", log)
    try:
        check_flood(quilac, broker, log)
    finally:
        sub.stop()


def check_flood(quilac, broker, log):
    broker.pub("upload/flood", "go")
    worker = wait_for(lambda: children_of(quilac.proc.pid), what="worker")[0]
    broker.proc.p.send_signal(signal.SIGSTOP)
    try:
        # The worker ends up blocked on its pipe; the daemon stays small.
        written = wait_for(lambda: stalled_wchar(worker), what="worker blocked")
        st = quilac.stats()
        assert 0 < st["backlog_bytes"] < (1 << 20) + 8192
        assert rss_kib(quilac.proc.pid) < 16 * 1024
        os.kill(worker, signal.SIGKILL)
    finally:
        broker.proc.p.send_signal(signal.SIGCONT)

    # Every complete line that reached the pipe is published, in order.
    lines, length, i = [], len("t/flood\n"), 1
    while length + len(f"{i}") + 4001 <= written:
        length += len(f"{i}") + 4001
        lines.append(f"t/flood|{i}{' ' * 4000}")
        i += 1
    wait_for(lambda: len(broker.messages(log)) >= len(lines), timeout=20, what="all lines",
             show=lambda: (len(broker.messages(log)), len(lines)))
    quilac.wait_output("exit with signal 9")
    wait_for(lambda: quilac.stats()["workers"] == 0, what="record released")
    assert broker.messages(log) == lines


def test_report_too_large_for_one_argument_is_logged_and_dropped(quilac, broker, sandbox):
    sandbox.set_quilapi("exit 0\n")
    overhead = len('{ "topic": "upload\\/big", "payload": "" }')
    fits = 131071 - overhead                          # the argument's NUL makes 128 KiB
    # Control bytes grow sixfold in JSON: measured before anything is built.
    for payload, runs in (("x" * fits, True), ("x" * (fits + 1), False),
                          ("\x01" * (fits // 6), True), ("\x01" * (fits // 6 + 1), False),
                          ("\x01" * (16 << 20), None), ("x", True)):
        ended = quilac.output().count("exit with 0")
        dropped = quilac.stats()["dropped"]
        subprocess.run(["mosquitto_pub", "-p", str(broker.port), "-u", "test", "-P", "test",
                        "-q", "1", "-t", "upload/big", "-s"], input=payload.encode(),
                       check=True, timeout=30)
        if runs:
            wait_for(lambda: quilac.output().count("exit with 0") > ended, what="worker ran")
        elif runs is False:
            wait_for(lambda: quilac.stats()["dropped"] == dropped + 1, what="dropped")
    # Larger than the packet size quilac announces, the broker drops it:
    # the library never reads it.
    assert quilac.stats()["dropped"] == 2
    assert rss_kib(quilac.proc.pid, "VmHWM") < 16 * 1024
    assert "exit with 127" not in quilac.output()
    quilac.wait_output("message too large for the API program: 1 message(s) dropped, "
                       "the last on upload/big (1 dropped in all)\n")
    quilac.wait_output(" dropped, the last on upload/big (2 dropped in all)\n", timeout=5)


def test_silent_burst_is_read_to_the_end(quilac, broker, sandbox):
    # Workers that publish nothing bring no acknowledgements, so no new data
    # wakes the socket: what is left after a bounded read turn must be
    # fetched by the loop on its own.
    sandbox.set_quilapi("exit 0\n")
    broker.pub_lines("upload/quiet", [f"q{i}" for i in range(300)])
    wait_for(lambda: quilac.output().count("exit with 0") == 300, timeout=15,
             what="every report run", show=lambda: quilac.output().count("exit with 0"))
