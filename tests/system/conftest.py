"""Shared fixtures for the system tests: paths of the built programs, process
handling with bounded waits, and our bus daemon on a private socket."""
import os
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QUIL_BUILD_DIR", ROOT / "build"))
UBUSD = BUILD / "hostlib/libubus/ubusd"
UBUS = BUILD / "hostlib/libubus/ubus"


def wait_for(cond, timeout=5.0, step=0.02, what="condition", show=None):
    """Polls cond() until it is truthy; fails the test after `timeout` s,
    saying what it waited for and, with `show`, what there was instead."""
    end = time.monotonic() + timeout
    while True:
        value = cond()
        if value:
            return value
        if time.monotonic() > end:
            seen = f": {show()!r}" if show else ""
            pytest.fail(f"timed out waiting for {what}{seen}")
        time.sleep(step)


class Proc:
    """A child process whose output goes to a file the test can read."""

    def __init__(self, argv, log, env=None, **kw):
        self.log = Path(log)
        self.argv = [str(a) for a in argv]
        self._out = open(self.log, "ab")
        self.p = subprocess.Popen(self.argv, stdout=self._out, stderr=subprocess.STDOUT,
                                  stdin=subprocess.DEVNULL, env=env, **kw)

    @property
    def pid(self):
        return self.p.pid

    def output(self):
        return self.log.read_text(errors="replace")

    def wait_output(self, text, timeout=5.0):
        return wait_for(lambda: text in self.output(), timeout, what=f"{text!r} in {self.log}")

    def stop(self, sig=signal.SIGTERM, timeout=5.0):
        if self.p.poll() is None:
            self.p.send_signal(sig)
            try:
                self.p.wait(timeout)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()
        self._out.close()
        return self.p.returncode


def ubus(socket, *args, timeout=30):
    """Runs our ubus command against the bus daemon at `socket`."""
    return subprocess.run([str(UBUS), "-s", str(socket), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)


class Bus:
    """Our bus daemon on a socket of its own."""

    def __init__(self, path, logdir):
        self.path = str(path)
        self.logdir = Path(logdir)
        self.proc = None
        self.start()

    def start(self):
        self.proc = Proc([UBUSD, "-s", self.path], self.logdir / "ubusd.log")
        wait_for(lambda: os.path.exists(self.path), what="bus socket")

    def stop(self):
        code = self.proc.stop()
        return code

    def restart(self, pause=0.0):
        self.stop()
        time.sleep(pause)
        self.start()

    def ubus(self, *args, timeout=30):
        return ubus(self.path, *args, timeout=timeout)


@pytest.fixture
def workdir():
    d = Path(tempfile.mkdtemp(prefix="quiltest."))
    yield d
    # Children the daemons never wait for (hotplug scripts, workers) may still
    # be writing into it for a moment.
    for _ in range(50):
        shutil.rmtree(d, ignore_errors=True)
        if not d.exists():
            break
        time.sleep(0.1)


@pytest.fixture
def bus(workdir):
    b = Bus(workdir / "ubus.sock", workdir)
    yield b
    b.stop()


def pytest_sessionstart(session):
    if os.geteuid() != 0:
        pytest.exit("the system tests run as root (private mount and network namespaces)", 2)


QUILAC = BUILD / "bridge/quilac"
QUILDIS = BUILD / "discovery/quildis"
CLIENT_ID = "AB12CD34EF56"


@pytest.fixture
def sandbox(workdir):
    from harness import Sandbox
    sb = Sandbox(workdir)
    yield sb
    if getattr(sb, "bus", None):
        sb.bus.stop()


@pytest.fixture
def broker(workdir):
    from harness import Broker
    b = Broker(workdir, [CLIENT_ID]).start()
    yield b
    b.stop()


class Quilac:
    """quilac in the sandbox, logging everything (-S -l 4) to a file."""

    def __init__(self, sandbox, port, client_id=CLIENT_ID, extra=(), log="quilac.log",
                 env_extra=None):
        self.sandbox = sandbox
        argv = [QUILAC, "-S", "-l", "4", "-b", "127.0.0.1", "-p", port, "-i", client_id, *extra]
        env = dict(os.environ, **(env_extra or {}))
        self.proc = Proc(sandbox.wrap(argv), sandbox.root / log, env=env)

    def output(self):
        return self.proc.output()

    def wait_output(self, text, timeout=5.0):
        return self.proc.wait_output(text, timeout)

    def ubus(self, *args, timeout=30):
        return ubus(self.sandbox.socket, *args, timeout=timeout)

    def call(self, method, args=None):
        argv = ["-S", "call", "quilac", method] + ([args] if args is not None else [])
        return self.ubus(*argv)

    def stop(self):
        return self.proc.stop()


@pytest.fixture
def quilac_factory(sandbox):
    started = []

    def start(port, **kw):
        q = Quilac(sandbox, port, **kw)
        started.append(q)
        return q

    yield start
    for q in started:
        q.stop()
        print(f"--- {q.proc.log} ---\n{q.output()[-3000:]}")


@pytest.fixture
def quilac(sandbox, broker, quilac_factory):
    """A bridge connected to the broker with the bus up."""
    sandbox.start_bus()
    q = quilac_factory(broker.port)
    q.wait_output("subscribed (mid: 3)")
    wait_for(lambda: q.call("info").returncode == 0, what="quilac on the bus")
    return q


@pytest.fixture
def netns_pair():
    """Two namespaces joined by a veth pair, both ends called br-lan:
    10.77.0.1 in the first, 10.77.0.2 in the second."""
    from harness import NetNs, veth
    a, b = NetNs(), NetNs()
    veth(a, b)
    yield a, b
    a.close()
    b.close()


class Quildis:
    """quildis in a namespace and a sandbox of its own, in the foreground (-f)
    so the test can follow it; its standard output and error go to a file."""

    def __init__(self, ns, sandbox, args, log, launcher=()):
        self.sandbox = sandbox
        self.proc = Proc(ns.cmd(sandbox.wrap([*launcher, QUILDIS, "-f", *args])), log)

    def output(self):
        return self.proc.output()

    def ubus(self, *args):
        return ubus(self.sandbox.socket, *args)

    def hotplug(self):
        return self.sandbox.hotplug_events()

    def stop(self):
        return self.proc.stop()


@pytest.fixture
def quildis_factory(workdir):
    from harness import Sandbox
    started = []

    def start(ns, name, args=(), bus=True, launcher=()):
        sb = Sandbox(workdir / name)
        if bus:
            sb.start_bus()
        q = Quildis(ns, sb, list(args), workdir / f"{name}.log", launcher)
        started.append(q)
        return q

    yield start
    for q in started:
        q.stop()
        if getattr(q.sandbox, "bus", None):
            q.sandbox.bus.stop()
        print(f"--- {q.proc.log} ---\n{q.output()[-2000:]}")
