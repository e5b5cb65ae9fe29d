"""quilac's command line, detaching, logging and termination."""
import os
import signal
import subprocess

from harness import CLIENT_ID, QUILAC, Proc, SyslogSink, ubus, wait_for

USAGE = ("Usage: {0} [options]\nOptions:\n -d:\t\t\tDaemonize program\n"
         " -l <level>:\tLog output level (default: 3)\n"
         " -b <name>:\tmqtt  borker name (default: localhost)\n"
         "  \t\t\tname[:port], up to 8 times: the next after a lost session\n"
         " -p <port>:\tmqtt  borker port (default: 1883)\n"
         " -i <id>:\t\tmqtt  client id\n"
         " -S:\t\t\tUse stderr instead of syslog for log messages\n"
         " -v:\t\t\tDump version\n"
         " -w <count>:\tAPI workers at once (default: 8)\n"
         " -q <KiB>:\tQueue of reports waiting for a worker (default: 4096)\n"
         " -t <seconds>:\tTime limit of a worker, 0: none (default: 60)\n"
         " -u <name>:\tmqtt  user name (default: root)\n"
         " -P <file>:\tmqtt  password file (default: Base64 of the client id)\n"
         " -C <file>:\tCA file or directory: TLS to the broker\n"
         " -E <file>:\tTLS client certificate\n"
         " -K <file>:\tTLS client key\n"
         " -g <group>:\tShare reports and the client registry with a group of bridges\n"
         " -D <seconds>:\tTime a stop may take to finish its work (default: 20)\n\n")


def run(*args, timeout=10):
    return subprocess.run([str(QUILAC), *args], capture_output=True, text=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


def test_version_usage_and_rejected_options():
    r = run("-v")
    assert (r.returncode, r.stdout) == (0, f"{QUILAC} 1.0\n")
    usage = USAGE.format(QUILAC)

    r = run("-c")
    assert (r.returncode, r.stderr) == (1, usage)
    r = run("-S")                                   # no client id
    assert (r.returncode, r.stderr) == (1, usage)
    r = run("-b", "0", "-i", "x")
    assert (r.returncode, r.stderr) == (1, "Invalid mqtt borker name.\n" + usage)
    r = run("-x", "-v")                             # the unknown option ends it first
    assert r.returncode == 1 and r.stderr.endswith(usage) and "invalid option" in r.stderr
    r = run("-i")
    assert r.returncode == 1 and "requires an argument" in r.stderr
    r = run("stray", "-v")                          # parsing stops at the first non-option
    assert (r.returncode, r.stderr) == (1, usage)


# Our own numeric options take plain decimal numbers in their range, nothing else;
# group names and broker entries their own forms.
BAD_VALUES = [("-w", "0"), ("-w", "3x"), ("-w", "99999999999"), ("-w", "1025"), ("-w", " 3"),
               ("-q", "4M"), ("-q", "0"), ("-q", "2097153"), ("-q", "+4"),
               ("-t", "abc"), ("-t", ""), ("-t", "0x10"), ("-t", "2m"), ("-t", "-1"),
               ("-t", "2147484"), ("-p", "abc"), ("-p", "0"), ("-p", "-5"), ("-p", "65536"),
               ("-p", "1883x"), ("-D", "3601"), ("-D", "-1"), ("-l", "abc"), ("-l", "5"),
               ("-l", "-1"),
               # texts: group names are one safe topic level; brokers host[:port], 8 at most
               ("-g", ""), ("-g", "a/b"), ("-g", "+"), ("-g", "x" * 33), ("-g", "é"),
               ("-b", "h:0"), ("-b", "h:65536"), ("-b", "[::1"), ("-b", "[::1]x"),
               ("-b", "h" * 256), ("-b", ",".join(["h"] * 9))]


def test_options_refuse_values_out_of_their_range():
    usage = USAGE.format(QUILAC)
    for option, value in BAD_VALUES:
        words = ["-b", "h"] * 8 + ["-b", "h"] if "," in value else [option, value]
        r = run("-i", "x", *words, "-v")
        assert r.returncode == 1 and r.stdout == "", (option, value)
        first, rest = r.stderr.split("\n", 1)
        assert rest == usage
        if option == "-g":
            assert first.startswith(f"Invalid group '{value}': 1 to 32 of ")
        elif "," in value:
            assert first == "At most 8 mqtt brokers."
        elif option == "-b":
            assert first.startswith(f"Invalid mqtt broker '{value}': host[:port]")
        else:
            assert first.startswith(f"Invalid {option} value '{value}': a decimal number from ")


def secret_file(workdir, content, mode=0o600):
    path = workdir / f"secret{len(list(workdir.iterdir()))}"
    path.write_bytes(content)
    path.chmod(mode)
    return str(path)


def test_password_and_tls_files_refused_before_start(workdir):
    key = secret_file(workdir, b"k", 0o644)
    fifo = str(workdir / "fifo")
    os.mkfifo(fifo)
    cadir = workdir / "cadir"
    cadir.mkdir()
    os.mkfifo(cadir / "9d66eef0.0")   # a name OpenSSL opens there when it verifies
    cases = [  # arguments, the reason on standard error
        (["-P", secret_file(workdir, b"pw\n", 0o640)], "accessible to group or others"),
        (["-P", secret_file(workdir, b"\r\n")], "empty"),
        (["-P", secret_file(workdir, b"p" * 257)], "longer than 256 bytes"),
        (["-P", secret_file(workdir, b"p\0w")], "holds a NUL byte"),
        (["-P", str(workdir / "none")], "No such file or directory"),
        (["-P", str(workdir)], "not a regular file"),
        (["-C", str(workdir / "none")], "No such file or directory"),
        (["-C", fifo], "not a regular file"),      # the library's open would block
        (["-C", str(workdir), "-E", fifo, "-K", fifo], "not a regular file"),
        (["-C", str(cadir)], "9d66eef0.0: not a regular file"),
        (["-E", key], "-E and -K go together"),
        (["-u", "\udcff"], "user name: not valid UTF-8"),    # the byte 0xff
        (["-E", key, "-K", key], "-E and -K need -C"),
        (["-C", str(workdir), "-E", key, "-K", key], "accessible to group or others"),
    ]
    for args, why in cases:
        r = run("-S", "-i", "x", *args)
        assert r.returncode == 1 and why in r.stderr, (args, r.stderr)
        assert "\n" == r.stderr[-1] and r.stderr.startswith("quilac: ")


def test_detach_returns_at_once_and_detached_process_reports_usage(workdir):
    r = subprocess.run([str(QUILAC), "-d", "-S"], capture_output=True, text=True, timeout=10)
    assert r.returncode == 0
    # The detached grandchild writes the usage text to the inherited stderr.
    assert r.stderr.startswith("Usage:")


def test_sigterm_exits_zero_and_logs_signal(sandbox, quilac_factory):
    q = quilac_factory(1, extra=["-l", "2"])   # nothing listens on port 1
    q.wait_output("Failed to connect to ubus")     # the last step before the loop
    assert q.stop() == 0
    assert q.output().endswith("recv 15 signal\nstop quilac\n")


def test_log_threshold_and_whole_lines(sandbox, quilac_factory):
    q = quilac_factory(1, extra=["-l", "0"])     # only level-0 messages
    q.wait_output("Connection refused")     # logged after "info: use" would be
    q.stop()
    # level 2 (the start, the stop) is above the threshold; every message a line
    assert q.output() == ("Failed to connect to ubus\n"
                          "connect to mqtt server, 127.0.0.1:1: Connection refused\n")


def test_detached_daemon_runs_and_stops(sandbox, process_tag):
    sandbox.start_bus()
    with open(sandbox.root / "detached.log", "wb") as log:
        r = subprocess.run(sandbox.wrap([QUILAC, "-d", "-S", "-p", "1", "-i", CLIENT_ID]),
                           stdout=log, stderr=log, timeout=10)
    assert r.returncode == 0
    pid = wait_for(lambda: process_tag.detached("quilac"), what="detached quilac")[0]
    assert os.getsid(pid) == pid or os.getsid(pid) != os.getsid(0)
    os.kill(pid, signal.SIGTERM)
    wait_for(lambda: pid not in process_tag.pids("quilac"), what="detached quilac gone")


def test_syslog_identity_facility_and_priorities(sandbox, broker, workdir):
    sandbox.start_bus()
    sink = SyslogSink(workdir)
    argv = sink.wrap(sandbox, [QUILAC, "-l", "4", "-b", "127.0.0.1", "-p", broker.port,
                               "-i", CLIENT_ID])
    q = Proc(argv, workdir / "syslog-quilac.log")
    try:
        wait_for(lambda: any("subscribed (mid: 3)" in t for _, t in sink.records()),
                 what="session up")
        ubus(sandbox.socket, "call", "quilac", "pub", '{"id":"a","msg":"m"}')
        wait_for(lambda: any("rpc/a/m" in t for _, t in sink.records()), what="debug record")
        records = sink.records()
    finally:
        q.stop()
        sink.close()
    daemon = 3 << 3
    want = {f"connect to mqtt server, 127.0.0.1:{broker.port}": daemon + 5,  # 2: notice
            f"info: use {CLIENT_ID}/(default password) as client id": daemon + 5,
            "rpc/a/m": daemon + 7}                                          # 4: debug
    for text, priority in want.items():
        assert (priority, f"quilac-1.0: {text}") in records, records
    assert not [t for _, t in records if t.endswith("\n")], records     # no line ends
    assert q.output() == ""                        # nothing on standard error
