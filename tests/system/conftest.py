"""Fixtures for the system tests, built from the helpers in harness.py. Every
process a test starts is stopped here, in teardown, also when the test fails."""
import os
import shutil
import tempfile
import time
from pathlib import Path

import pytest

from harness import (CLIENT_ID, UBUS_TEST_OBJECT, Broker, Bus, NetNs, Proc, ProcessTag, Quilac,
                     Quildis, Sandbox, UdpListener, veth, wait_for)


def pytest_sessionstart(session):
    if os.geteuid() != 0:
        pytest.exit("the system tests run as root (private mount and network namespaces)", 2)


def pytest_sessionfinish(session, exitstatus):
    """A file whose every test was skipped (the platform absent) ends with 77,
    which ctest reports as skipped rather than passed."""
    stats = session.config.pluginmanager.get_plugin("terminalreporter").stats
    if exitstatus == 0 and stats.get("skipped") and not stats.get("passed"):
        session.exitstatus = 77


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


@pytest.fixture(autouse=True)
def process_tag(workdir):
    """Marks every process the test starts; what is left of them after the
    other fixtures' teardown (a detached daemon, a hung worker) is killed."""
    tag = ProcessTag()
    tag.apply()
    yield tag
    tag.remove()
    for leftover in tag.kill_all():
        print(f"killed leftover process {leftover}")


@pytest.fixture
def bus(workdir):
    b = Bus(workdir / "ubus.sock", workdir)
    yield b
    b.stop()


@pytest.fixture
def test_object(bus, workdir):
    """The object "test" on the bus, registered by a program of our libubus."""
    p = Proc([UBUS_TEST_OBJECT, bus.path], workdir / "object.log")
    p.wait_output("add_object: 0")
    yield p
    p.stop()


@pytest.fixture
def sandbox(workdir):
    sb = Sandbox(workdir)
    yield sb
    if sb.bus:
        sb.bus.stop()


@pytest.fixture
def broker_factory(workdir):
    """Makes brokers (not started) in the work directory; each is stopped,
    with its subscribers, at the end."""
    made = []

    def make(client_ids=(CLIENT_ID,), **kw):
        b = Broker(workdir, client_ids, **kw)
        made.append(b)
        return b

    yield make
    for b in made:
        b.close()


@pytest.fixture
def broker(broker_factory):
    return broker_factory().start()


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
    made = []
    try:
        made += [NetNs(), NetNs()]
        veth(*made)
        yield tuple(made)
    finally:
        for ns in made:
            ns.close()


@pytest.fixture
def udp_listener_factory():
    """Starts udp_peer.py listeners; each is stopped at the end."""
    started = []

    def start(ns, log):
        listener = UdpListener(ns, log)
        started.append(listener)
        return listener

    yield start
    for listener in started:
        listener.stop()


@pytest.fixture
def quildis_factory(workdir):
    started = []

    def start(ns, name, args=(), bus=True, launcher=()):
        sb = Sandbox(workdir / name)
        if bus:
            sb.start_bus()
        q = Quildis(ns, sb, list(args), workdir / f"{name}.log", launcher)
        started.append(q)
        if bus:     # its object comes after its socket: datagrams sent now arrive
            wait_for(lambda: q.proc.p.poll() is not None
                     or q.ubus("call", "quildis", "stats").returncode == 0, what="quildis on the bus")
        return q

    yield start
    for q in started:
        q.stop()
        if q.sandbox.bus:
            q.sandbox.bus.stop()
        print(f"--- {q.proc.log} ---\n{q.output()[-2000:]}")
