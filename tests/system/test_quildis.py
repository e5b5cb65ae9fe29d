"""quildis between two network namespaces joined by a veth pair: the AC's
announcements and answers, the AP's requests and its hotplug events, keyed
announcements, the bus methods, and the daemon's start and end."""
import base64
import hashlib
import hmac
import json
import os
import shutil
import signal
import subprocess
import struct
import time
import zlib
from pathlib import Path

import pytest

from harness import (QUILDIS, UDP_PEER, NetNs, Sandbox, SyslogSink, alive, announcement, decode_announcement,
                     open_fds, veth, wait_for, write_script)

REQUEST = bytes.fromhex("fedcbaff0101") + bytes(8)
AC_ARGS = ["-P", "mqtt", "-p", "1883"]
KEY = b"a shared secret for the tests"
# An AC as the tests announce it, and the event an AP raises for it.
VALUES = {"ip": "10.77.0.1", "mac": "02:00:00:00:00:01", "proto": "mqtt", "port": 1883}
EVENT = "quildis ACTION= MAC=02:00:00:00:00:01 IP=10.77.0.1 PORT=1883 PROTO=mqtt"


def send(ns, *datagrams, host="10.77.0.2"):
    ns.run("/usr/bin/python3", UDP_PEER, "send", host, 32200, *(d.hex() for d in datagrams))


def ask(ns, host="10.77.0.1", *ap):
    return bytes.fromhex(ns.run("/usr/bin/python3", UDP_PEER, "ask", host, *ap).stdout.strip())


def kinds(listener):
    return [d[3][5] for d in listener.datagrams()]


def key_file(workdir, content=KEY, mode=0o600):
    path = workdir / "key"
    path.write_bytes(content)
    path.chmod(mode)
    return path


def signed(nonce, key=KEY, values=VALUES, signed_values=None):
    """The JSON text of an announcement whose "auth" is computed here, from the
    documented format, not by the daemon's code."""
    v = signed_values or values
    text = "\n".join(["quildis-auth-1", v["ip"], v["mac"], v["proto"], str(v["port"]), nonce])
    mac = hmac.new(key, text.encode(), hashlib.sha256).hexdigest()
    return json.dumps(dict(values, auth={"nonce": nonce, "hmac": mac}))


def nonces(listener):
    """The nonces of the requests a listener heard, in order."""
    return [json.loads(base64.b64decode(d[3][14:]))["nonce"]
            for d in listener.datagrams() if d[3][5] == 1]


def test_ac_announces_at_start_answers_and_serves_bus(netns_pair, quildis_factory,
                                                      udp_listener_factory, workdir):
    a, b = netns_pair
    listener = udp_listener_factory(b, workdir / "b.log")
    ac = quildis_factory(a, "ac", AC_ARGS)
    wait_for(lambda: kinds(listener) == [2], what="start announcement")
    want = {"ip": "10.77.0.1", "mac": a.mac("br-lan"), "proto": "mqtt", "port": 1883}
    assert decode_announcement(listener.datagrams()[0][3]) == want

    assert decode_announcement(ask(b)) == want          # unicast answer to a request

    r = ac.ubus("call", "quildis", "send")
    assert (r.returncode, r.stdout) == (0, "")
    wait_for(lambda: kinds(listener) == [2, 2], what="announcement on send")
    assert ac.ubus("call", "quildis", "request").returncode == 0
    wait_for(lambda: kinds(listener) == [2, 2, 1], what="request on request")
    assert listener.datagrams()[2][3] == REQUEST

    # Announcements, garbage and short datagrams sent to an AC change nothing.
    send(b, announcement('{"ip":"1.2.3.4"}'), host="10.77.0.1")
    send(b, b"\xfe\xdc\xba", host="10.77.0.1")
    assert decode_announcement(ask(b)) == want


def test_ap_requests_until_found_and_reports_ac(netns_pair, quildis_factory, udp_listener_factory,
                                                workdir):
    a, b = netns_pair
    fake_ac = udp_listener_factory(a, workdir / "a.log")
    started = time.monotonic()
    ap = quildis_factory(b, "ap", ["-c"])

    wait_for(lambda: len(fake_ac.datagrams()) >= 2, timeout=13, what="two requests")
    (t1, ip, port, d1), (t2, _, _, d2) = fake_ac.datagrams()[:2]
    assert (ip, port, d1, d2) == ("10.77.0.2", 32200, REQUEST, REQUEST)
    assert 4 <= t1 - started <= 6.5 and 4.5 <= t2 - t1 <= 5.5

    first = json.dumps(VALUES)
    send(a, announcement(first))
    wait_for(lambda: ap.hotplug() == [EVENT], what="hotplug event")

    send(a, announcement(first), host="255.255.255.255")       # the same again
    other = '{"ip":"10.77.0.9","mac":"02:00:00:00:00:09","proto":"coap","port":5683}'
    send(a, announcement(other))
    send(a, announcement(other))
    wait_for(lambda: len(ap.hotplug()) == 2, what="the other AC's event")
    for refused in ('{"ip":"10.77.0.1","mac":"02:00:00:00:00:01","port":1883}',
                    '{"ip":"10.77.0.1","mac":"02:00:00:00:00:01","proto":"mqtt"}',
                    '{"ip":"10.77.0.1","mac":"02:00:00:00:00:01","proto":"mqtt","port":null}',
                    json.dumps(dict(VALUES, ip="10.77.0.255"))):   # the LAN's broadcast
        send(a, announcement(refused))
    send(a, REQUEST)                                             # requests are ignored
    send(a, announcement(first))                                 # back to the first AC
    wait_for(lambda: len(ap.hotplug()) == 3, what="the first AC's event again")
    time.sleep(0.5)
    assert ap.hotplug()[1:] == [
        "quildis ACTION= MAC=02:00:00:00:00:09 IP=10.77.0.9 PORT=5683 PROTO=coap", EVENT]


def framed(text, version=1, declared=None, crc=None):
    """A datagram of type 2 with its header fields as given (the right ones by default)."""
    length = len(text) if declared is None else declared
    return struct.pack(">IBBII", 0xFEDCBAFF, version, 2, length,
                       zlib.crc32(text) if crc is None else crc) + text


def lenient_base64(text):
    """Texts a lenient decoder reads as `text` (a JSON object), which no
    encoder writes: a character outside the alphabet, "=" inside, and unused
    bits of the padded group set."""
    blanks = lambda n: text.encode() + b" " * ((n - len(text)) % 3 + 3)
    whole, padded = blanks(0), blanks(1)     # no padding; "==" padding
    outside = base64.b64encode(whole).replace(b"A", b".", 1)
    inside = base64.b64encode(whole).replace(b"A", b"=", 1)   # cuts the last blank
    bits = bytearray(base64.b64encode(padded))
    alphabet = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
    bits[-3] = alphabet[alphabet.index(bits[-3]) + 1]
    assert b"." in outside and b"=" in inside
    return [outside, inside, bytes(bits)]


def test_ap_refuses_what_is_not_exactly_framed_strict_json(netns_pair, quildis_factory):
    """Whatever is refused carries values of its own (port 1999): taking it
    would raise an event of its own."""
    a, b = netns_pair
    ap = quildis_factory(b, "ap", ["-c"])
    good = json.dumps(dict(VALUES, port=1999)).encode()
    b64 = base64.b64encode(good)
    other_ip = json.dumps(VALUES)[:-1] + ', "ip\\u0000": "10.77.0.9"}'
    twice = json.dumps(VALUES)[:-1] + ', "ip": "10.77.0.9"}'
    forged = [
        framed(b64, version=2), framed(b64, declared=0, crc=0), framed(b64, declared=len(b64) - 4),
        framed(b64 + b"\0"),                                         # a NUL in the payload
        framed(b64, crc=zlib.crc32(b64) ^ 1),
        announcement(other_ip),                                       # json-c cuts the name
        framed(base64.b64encode(good + b"\0garbage")),                # bytes after the value
        framed(base64.b64encode(good[:-1] + b', "x": "\xc0\xaf"}')),  # overlong UTF-8
        framed(base64.b64encode(good[:-1] + b', "x": "\xed\xa0\x80"}')),  # a surrogate
        framed(base64.b64encode(good[:-1] + b', "x": "\xf4\x90\x80\x80"}')),  # past U+10FFFF
        announcement(twice),                                          # a member twice
        *map(framed, lenient_base64(good.decode())),
    ]
    send(a, *forged)
    send(a, announcement(json.dumps(VALUES)))
    wait_for(lambda: ap.hotplug() == [EVENT], what="only the well-formed announcement's event",
             show=ap.hotplug)
    time.sleep(1.5)
    assert ap.hotplug() == [EVENT]


# Also when started with SIGCHLD ignored, as some launchers leave it: the
# daemon must still see each event's end.
@pytest.mark.parametrize("launcher", [(), ("env", "--ignore-signal=CHLD")])
def test_a_flood_runs_one_event_at_a_time_and_the_newest_last(netns_pair, quildis_factory,
                                                              launcher):
    a, b = netns_pair
    ap = quildis_factory(b, "ap", ["-c"], launcher=launcher)
    log = ap.sandbox.hotplug_log
    # Rewritten in place: the daemon's overlay shows the new text.
    write_script(ap.sandbox.upper / "hotplug-call",
                 f'echo "start $PORT" >> {log}\nsleep 0.3\necho "end $PORT" >> {log}\n')
    def flood(*ports):
        send(a, *(announcement(json.dumps(dict(VALUES, port=p))) for p in ports))

    # Deadlines of 3x the time all 30 scripts would take one after the other.
    flood(*range(1000, 1030))
    wait_for(lambda: "end 1029" in ap.hotplug(), timeout=30, what="the newest announcement's event",
             show=ap.hotplug)
    time.sleep(0.5)
    assert ap.hotplug() == ["start 1000", "end 1000", "start 1029", "end 1029"]
    # A change while a script runs waits; a return to the running values drops it.
    flood(1000, 1001, 1000)
    wait_for(lambda: len(ap.hotplug()) == 6, timeout=3, what="one more event")
    time.sleep(1)
    assert ap.hotplug()[4:] == ["start 1000", "end 1000"]


def test_a_flipping_announcement_runs_once_per_hold_down(netns_pair, quildis_factory):
    """An unkeyed AP heard two controllers in turn as fast as a host can send:
    about one script a second, the newest values last."""
    a, b = netns_pair
    ap = quildis_factory(b, "ap", ["-c"])
    log = ap.sandbox.hotplug_log
    write_script(ap.sandbox.upper / "hotplug-call", f'echo "start $PORT" >> {log}\n')
    start = time.monotonic()
    for i in range(40):
        send(a, *(announcement(json.dumps(dict(VALUES, port=p))) for p in (1000, 1001)))
    elapsed = time.monotonic() - start
    wait_for(lambda: ap.hotplug()[-1:] == ["start 1001"], timeout=10, what="the newest values")
    time.sleep(1.5)
    assert ap.hotplug()[-1] == "start 1001"
    assert len(ap.hotplug()) <= elapsed + 3, (elapsed, ap.hotplug())


def test_a_hung_hotplug_script_is_killed_with_its_children(netns_pair, quildis_factory):
    a, b = netns_pair
    ap = quildis_factory(b, "ap", ["-c", "-t", "1"])
    log = ap.sandbox.hotplug_log
    write_script(ap.sandbox.upper / "hotplug-call",
                 f'echo "start $PORT" >> {log}\n'
                 f'[ "$PORT" = 1883 ] || exit 0\n'
                 f'sleep 600 & echo "child $!" >> {log}\nwait\n')

    def value_of(q, word):
        return wait_for(lambda: [e.split()[1] for e in q.hotplug() if e.startswith(word)],
                        timeout=10, what=word)[0]

    send(a, announcement(json.dumps(VALUES)))
    child = int(value_of(ap, "child"))
    send(a, announcement(json.dumps(dict(VALUES, port=1884))))
    wait_for(lambda: "start 1884" in ap.hotplug(), timeout=10, what="the event after it")
    wait_for(lambda: not alive(child), what="child killed")
    assert "/sbin/hotplug-call quildis (" in ap.output()
    assert "): still running after 1 seconds, killed" in ap.output()
    # A run after them that ends of itself is not reported as killed: the one
    # after it starts a hold-down (as long as the limit) after its end.
    for port in (1886, 1887):
        send(a, announcement(json.dumps(dict(VALUES, port=port))))
        wait_for(lambda: f"start {port}" in ap.hotplug(), timeout=10, what=f"event {port}")
    assert ap.output().count("still running after") == 1
    ap.stop()

    # What a script that ended late in its limit left in its group goes at
    # that limit counted from the script's start (2 s after its end).
    ap = quildis_factory(b, "ap2", ["-c", "-t", "5"])
    log = ap.sandbox.hotplug_log
    write_script(ap.sandbox.upper / "hotplug-call",
                 f'sleep 303 & echo "left $!" >> {log}; sleep 3; echo "end $(date +%s.%N)" >> {log}\n')
    send(a, announcement(json.dumps(VALUES)))
    left = int(value_of(ap, "left"))
    end = float(value_of(ap, "end"))
    wait_for(lambda: not alive(left), timeout=10, what="what the script left killed")
    assert time.time() - end < 4
    wait_for(lambda: "): 1 process(es) left in its group after 5 seconds, killed" in ap.output(),
             what="the line about it")


def test_a_stop_kills_the_running_script_and_what_ended_ones_left(netns_pair, quildis_factory):
    """Nothing a script started outlives quildis, whose time limit no longer
    holds once it ends (nor could it end after the next start's first script)."""
    a, b = netns_pair
    ap = quildis_factory(b, "ap", ["-c", "-t", "60"])
    log = ap.sandbox.hotplug_log
    write_script(ap.sandbox.upper / "hotplug-call",
                 f'[ "$PORT" = 1883 ] && {{ sleep 303 & echo "left $!" >> {log}; exit 0; }}\n'
                 f'echo "running $$" >> {log}; sleep 600\n')
    send(a, announcement(json.dumps(VALUES)))
    wait_for(lambda: any(e.startswith("left") for e in ap.hotplug()), what="the first script")
    send(a, announcement(json.dumps(dict(VALUES, port=1884))))
    wait_for(lambda: any(e.startswith("running") for e in ap.hotplug()), what="the second script")
    pids = [int(e.split()[1]) for e in ap.hotplug()]
    ap.stop()
    for pid in pids:
        wait_for(lambda: not alive(pid), timeout=2, what=f"process {pid} killed at the stop")


def test_real_ac_and_ap_find_each_other(netns_pair, quildis_factory):
    a, b = netns_pair
    ac = quildis_factory(a, "ac", AC_ARGS)
    ap = quildis_factory(b, "ap", ["-c"])
    wait_for(lambda: ap.hotplug(), timeout=8, what="AP finds AC")
    assert ap.hotplug() == [f"quildis ACTION= MAC={a.mac('br-lan')} IP=10.77.0.1 PORT=1883 "
                            "PROTO=mqtt"]
    # The AC's own announcements on "send" repeat the profile: no new event.
    assert ac.ubus("call", "quildis", "send").returncode == 0
    assert ap.ubus("call", "quildis", "request").returncode == 0
    assert ap.ubus("call", "quildis", "send").returncode == 0   # works in AP mode too
    time.sleep(0.5)
    assert len(ap.hotplug()) == 1
    assert ac.hotplug() == []


def test_keyed_ac_with_keyed_and_unkeyed_ap(netns_pair, quildis_factory, workdir):
    a, b = netns_pair
    key = key_file(workdir)
    ap = quildis_factory(b, "ap", ["-c", "-k", key])
    time.sleep(0.3)
    # The AC's start announcement makes the AP ask at once; the answer counts.
    ac = quildis_factory(a, "ac", AC_ARGS + ["-k", key])
    wait_for(lambda: ap.hotplug(), timeout=2, what="keyed AP finds keyed AC")
    assert ap.hotplug() == [f"quildis ACTION= MAC={a.mac('br-lan')} IP=10.77.0.1 PORT=1883 "
                            "PROTO=mqtt"]
    ap.stop()

    old_ap = quildis_factory(b, "old", ["-c"])
    time.sleep(0.3)
    assert ac.ubus("call", "quildis", "send").returncode == 0
    wait_for(lambda: old_ap.hotplug() == ap.hotplug(), timeout=2, what="unkeyed AP finds it")


def test_keyed_ap_takes_only_the_answer_to_its_latest_request(netns_pair, quildis_factory,
                                                              udp_listener_factory, workdir):
    a, b = netns_pair
    fake_ac = udp_listener_factory(a, workdir / "a.log")
    ap = quildis_factory(b, "ap", ["-c", "-k", key_file(workdir)])
    wait_for(lambda: ap.ubus("call", "quildis", "request").returncode == 0, what="AP on the bus")
    first = wait_for(lambda: nonces(fake_ac), what="request with a nonce")[0]
    assert len(first) == 32 and int(first, 16) >= 0

    moved = dict(VALUES, port=1884)
    for text in (json.dumps(VALUES),                            # unkeyed
                 signed(first, key=b"another key"),             # wrong key
                 signed(first, values=moved, signed_values=VALUES)):  # forged value
        send(a, announcement(text))

    assert ap.ubus("call", "quildis", "request").returncode == 0
    wait_for(lambda: len(nonces(fake_ac)) == 2, what="second request")
    send(a, announcement(signed(first)))                        # replayed: stale nonce
    time.sleep(1)   # an AP that asked less than a second ago waits for that answer
    send(a, announcement(signed("")))                           # unasked: makes it ask
    third = wait_for(lambda: nonces(fake_ac)[2:], timeout=2, what="request in answer")[0]
    assert len({first, nonces(fake_ac)[1], third}) == 3
    time.sleep(0.3)
    assert ap.hotplug() == []

    send(a, announcement(signed(third)))
    wait_for(lambda: ap.hotplug(), what="event")
    assert ap.hotplug() == [EVENT]


def test_ac_without_proto_or_port_is_ignored_by_ap(netns_pair, quildis_factory):
    a, b = netns_pair
    quildis_factory(a, "ac", [])
    ap = quildis_factory(b, "ap", ["-c"])
    time.sleep(6.5)     # one request answered by an incomplete announcement
    assert ap.hotplug() == []


def test_without_bus_ap_stays_silent_and_ac_still_answers(netns_pair, quildis_factory,
                                                          udp_listener_factory, workdir):
    a, b = netns_pair
    listener = udp_listener_factory(a, workdir / "a.log")
    ap = quildis_factory(b, "ap", ["-c"], bus=False)
    ap.proc.wait_output("Failed to connect to ubus\n")
    listener.stop()

    ac = quildis_factory(a, "ac", AC_ARGS, bus=False)
    ac.proc.wait_output("Failed to connect to ubus\n")
    assert decode_announcement(ask(b))["ip"] == "10.77.0.1"
    time.sleep(5.5 - 1)
    assert listener.datagrams() == []          # the AP never asked


def test_descriptors_stay_put_over_a_hundred_datagrams(netns_pair, quildis_factory):
    a, b = netns_pair
    ac = quildis_factory(a, "ac", AC_ARGS)
    ap = quildis_factory(b, "ap", ["-c"])
    for q in (ac, ap):
        wait_for(lambda: q.ubus("call", "quildis", "send").returncode == 0, what="on the bus")
    ac_pid, ap_pid = ac.proc.pid, ap.proc.pid      # the wrappers exec the daemon
    for pid in (ac_pid, ap_pid):
        assert Path(f"/proc/{pid}/comm").read_text() == "quildis\n"
    before = open_fds(ac_pid), open_fds(ap_pid)

    def mixed(first_port):
        anns = [announcement(json.dumps(dict(VALUES, port=first_port + i))) for i in range(100)]
        return [d for pair in zip([REQUEST] * 100, anns) for d in pair]
    send(b, *mixed(1000), host="10.77.0.1")
    send(a, *mixed(2000))
    # the AC has read them all (most went unanswered: one source, a bounded rate)
    wait_for(lambda: sum(json.loads(ac.ubus("call", "quildis", "stats").stdout).values()) == 100,
             what="all requests read")
    wait_for(lambda: ap.hotplug()[-1:] == [EVENT.replace("1883", "2099")], what="last event")
    assert (open_fds(ac_pid), open_fds(ap_pid)) == before


def test_bus_restart_under_quildis(netns_pair, quildis_factory):
    a, _ = netns_pair
    ac = quildis_factory(a, "ac", AC_ARGS)
    wait_for(lambda: ac.ubus("call", "quildis", "send").returncode == 0, what="object")
    ac.sandbox.restart_bus(pause=2.5)
    ac.proc.wait_output("reconnected to ubus, new id: ", timeout=6)
    wait_for(lambda: ac.ubus("call", "quildis", "send").returncode == 0, what="object back")
    # said once with the socket and the reason, however many attempts failed
    lines = ac.output().splitlines()
    assert sum(t.startswith("failed to reconnect, trying again in 2 seconds: /") for t in lines) == 1


def test_sigterm_usage_and_unusable_interface(netns_pair, quildis_factory, workdir):
    a, _ = netns_pair
    ac = quildis_factory(a, "ac", AC_ARGS)
    wait_for(lambda: ac.ubus("call", "quildis", "send").returncode == 0, what="running")
    assert "AC: answering on br-lan, UDP port 32200\n" in ac.output()
    r = subprocess.run(a.cmd([QUILDIS, "-f"]), capture_output=True, text=True)   # port taken
    assert (r.returncode, r.stderr) == (
        255, "bind error! interface br-lan, UDP port 32200: Address already in use\n")
    assert ac.stop() == 0

    r = subprocess.run([str(QUILDIS), "-h"], capture_output=True, text=True)
    assert r.returncode == 0 and r.stdout.startswith(f"Usage: {QUILDIS} [options]\n")
    assert [line.split(None, 1)[0] for line in r.stdout.splitlines()[2:-1]] == [
        "-i", "-c:", "-P", "-p", "-k", "-a", "-t", "-f:", "-h:"]
    assert " -i <name>:\t\tinterface (default: br-lan)\n" in r.stdout
    r2 = subprocess.run([str(QUILDIS), "-x"], capture_output=True, text=True)
    assert r2.returncode == 1 and r2.stderr.endswith(r.stdout)
    r = subprocess.run([str(QUILDIS), "-i"], capture_output=True, text=True)
    assert r.returncode == 1
    # Values no AP would take are refused before anything starts: one line
    # naming the option and the value, exit status 1.
    nine = [w for i in range(1, 10) for w in ("-a", f"10.0.0.{i}")]
    for args, why in ((["-a", "224.0.0.1"], "not a controller's IPv4 address"),
                      (nine, "more controllers than an AP asks"),
                      (["-t", ""], "a decimal number from 0 to 2147483"),
                      (["-t", "abc"], None), (["-t", "-1"], None), (["-t", "2m"], None),
                      (["-t", "2147484"], None),
                      (["-p", "70000"], "a decimal number from 1 to 65535"),
                      (["-p", "1883x"], None), (["-p", "-5"], None), (["-p", "0"], None),
                      (["-P", "mqtt tls"], "letters, digits"), (["-P", "-rf"], None),
                      (["-P", "p" * 32], None)):
        r = subprocess.run([str(QUILDIS), *args], capture_output=True, text=True)
        option, value = args[-2:]
        assert r.returncode == 1 and r.stderr.startswith(
            f"Invalid {option} value '{value}': {why or ''}"), (args, r.stderr)
        assert r.stderr.count("\n") == 1, args

    r = subprocess.run(a.cmd([QUILDIS, "-f", "-i", "nosuchif"]), capture_output=True, text=True)
    assert (r.returncode, r.stderr) == (
        255, "SO_BINDTODEVICE failed! interface nosuchif missing: No such device\n")
    r = subprocess.run(a.cmd([QUILDIS, "-i", "x" * 16]), capture_output=True, text=True)
    assert r.returncode == 255 and "interface name too long" in r.stderr

    # Key files: refused before detaching, so the caller sees why.
    for content, mode, why in ((KEY, 0o644, "accessible to group or others"),
                               (b"\n", 0o600, "empty")):
        key = key_file(workdir, content, mode)
        r = subprocess.run(a.cmd([QUILDIS, "-k", key]), capture_output=True, text=True)
        assert (r.returncode, r.stderr.split(": ")[-1].split(" (")[0].strip()) == (255, why)
    key.unlink()
    r = subprocess.run(a.cmd([QUILDIS, "-k", key]), capture_output=True, text=True)
    assert r.returncode == 255 and "No such file or directory" in r.stderr
    os.mkfifo(key, 0o600)       # nobody writes to it: opening must not wait for a writer
    r = subprocess.run(a.cmd([QUILDIS, "-k", key]), capture_output=True, text=True, timeout=5)
    assert r.returncode == 255 and "not a regular file" in r.stderr
    key.unlink()


def test_detaches_by_default(netns_pair, workdir, process_tag):
    """Detached, it holds none of its starter's pipes: `quildis | cat` ends."""
    a, _ = netns_pair
    sb = Sandbox(workdir / "d")
    r = subprocess.run(a.cmd(sb.wrap([QUILDIS, *AC_ARGS])), capture_output=True, timeout=10)
    assert r.returncode == 0
    pid = wait_for(lambda: process_tag.detached("quildis"), what="detached daemon")[0]
    assert os.getsid(pid) != os.getsid(0)
    assert {os.readlink(f"/proc/{pid}/fd/{fd}") for fd in range(3)} == {"/dev/null"}
    os.kill(pid, signal.SIGTERM)
    wait_for(lambda: not process_tag.pids("quildis"), what="daemon ended")


HOOK = Path(__file__).resolve().parents[2] / "packaging/openwrt/quil/files/quildis.udhcpc"


@pytest.fixture
def routed():
    """An AP's subnet (10.78.0.0/24) and an AC's (10.77.0.0/24) with a router
    between them; the hosts' interfaces are called br-lan."""
    made = []
    try:
        made += [NetNs(), NetNs(), NetNs()]
        ac, router, ap = made
        veth(router, ac, "to-ac", "br-lan", "10.77.0.254/24", "10.77.0.1/24")
        veth(router, ap, "to-ap", "br-lan", "10.78.0.254/24", "10.78.0.2/24")
        router.run("sysctl", "-qw", "net.ipv4.ip_forward=1")
        ac.run("ip", "route", "add", "default", "via", "10.77.0.254")
        ap.run("ip", "route", "add", "default", "via", "10.78.0.254")
        yield ac, ap
    finally:
        for ns in made:
            ns.close()


def test_ap_asks_controllers_beyond_its_lan_by_unicast(routed, quildis_factory,
                                                       udp_listener_factory, workdir):
    ac_ns, ap_ns = routed
    key = key_file(workdir)
    # Only the unicast copy of each request crosses the router.
    listener = udp_listener_factory(ac_ns, workdir / "ac.log")
    ap = quildis_factory(ap_ns, "ap", ["-c", "-k", key, "-a", "10.77.0.1"])
    # A link at the DHCP hook's file is not followed: 10.77.0.5 is never asked.
    ac_ns.run("ip", "addr", "add", "10.77.0.5/24", "dev", "br-lan")
    (workdir / "elsewhere").write_text("10.77.0.5\n")
    (ap.sandbox.run / "quildis").mkdir(exist_ok=True)
    (ap.sandbox.run / "quildis/ac_address").symlink_to(workdir / "elsewhere")
    wait_for(lambda: ap.ubus("call", "quildis", "request").returncode == 0, what="AP on the bus")
    wait_for(lambda: listener.datagrams(), what="unicast request")
    assert ap.ubus("call", "quildis", "request").returncode == 0
    wait_for(lambda: len(set(nonces(listener))) >= 2, what="a second request")
    # every request once: its broadcast twin (same nonce) stayed in the AP's subnet
    assert {ip for _, ip, _, _ in listener.datagrams()} == {"10.78.0.2"}
    assert len(set(nonces(listener))) == len(listener.datagrams())
    listener.stop()
    ap.stop()

    # The addresses from DHCP option 138, written by the DHCP client's hook.
    ac = quildis_factory(ac_ns, "ac", AC_ARGS + ["-k", key])
    ap = quildis_factory(ap_ns, "ap2", ["-c", "-k", key])
    def hook(event, interface="br-lan", **options):
        env = dict(os.environ, interface=interface, **options)
        subprocess.run(ap_ns.cmd(ap.sandbox.wrap(["sh", HOOK, event])), env=env, check=True)
    hook("bound", opt138="0a4d0001" "c0a8010")    # not whole addresses: ignored as a whole
    assert not (ap.sandbox.run / "quildis/ac_address").exists()
    hook("bound", opt138="0a4d0001" "c0a80101")
    # another DHCP client's lease, without the option, leaves them alone
    hook("deconfig", interface="eth1")
    hook("renew", interface="eth1")
    assert (ap.sandbox.run / "quildis/ac_address").read_text() == "10.77.0.1\n192.168.1.1\n"
    wait_for(lambda: ap.ubus("call", "quildis", "request").returncode == 0, what="AP on the bus")
    wait_for(lambda: ap.hotplug(), what="AP finds the AC")
    assert ap.hotplug() == [f"quildis ACTION= MAC={ac_ns.mac('br-lan')} IP=10.77.0.1 PORT=1883 "
                            "PROTO=mqtt"]
    assert "answered" in ac.ubus("call", "quildis", "stats").stdout


def test_dhcp_hook_writes_only_into_roots_own_folder(workdir):
    """Whatever a local user put in the way (a link at the temporary name, a
    folder of their own or a link for the folder), root's write never follows
    it; in root's folder the file is replaced whole."""
    sandbox = Sandbox(workdir)
    folder, victim = sandbox.run / "quildis", workdir / "victim"
    nobody = 65534

    def hook_with(setup):
        shutil.rmtree(folder, ignore_errors=True)
        if folder.is_symlink():
            folder.unlink()
        victim.write_text("secret\n")
        setup()
        env = dict(os.environ, interface="br-lan", opt138="0a4d0001")
        subprocess.run(sandbox.wrap(["sh", HOOK, "bound"]), env=env, check=True)
        assert victim.read_text() == "secret\n", setup.__name__
        file = folder / "ac_address"
        return file.read_text() if file.is_file() and not file.is_symlink() else None

    def roots_folder_with_links():
        folder.mkdir()
        for name in ("ac_address.new", "ac_address"):
            (folder / name).symlink_to(victim)

    def foreign_folder():
        folder.mkdir()
        os.chown(folder, nobody, nobody)
        (folder / "ac_address.new").symlink_to(victim)

    def shared_folder():
        folder.mkdir(mode=0o777)
        folder.chmod(0o1777)

    def linked_folder():
        (workdir / "elsewhere").mkdir(exist_ok=True)
        folder.symlink_to(workdir / "elsewhere")

    assert hook_with(roots_folder_with_links) == "10.77.0.1\n"
    assert sorted(os.listdir(folder)) == ["ac_address", "ac_address.new"]
    assert (folder / "ac_address").stat().st_mode & 0o777 == 0o644
    for setup in (foreign_folder, shared_folder, linked_folder):
        assert hook_with(setup) is None, setup.__name__
    assert os.listdir(workdir / "elsewhere") == []

    # nine controllers: the first eight are used, and the log says so
    folder.unlink()                                 # the linked folder of the last case
    sink = SyslogSink(workdir)
    env = dict(os.environ, interface="br-lan", opt138="".join(f"0a4d00{i:02x}" for i in range(1, 10)))
    subprocess.run(sink.wrap(sandbox, ["sh", HOOK, "bound"]), env=env, check=True)
    records = sink.records()
    sink.close()
    assert (folder / "ac_address").read_text() == "".join(f"10.77.0.{i}\n" for i in range(1, 9))
    assert [t.split(": ", 1)[1] for _, t in records] == [
        "DHCP hook: option 138 of br-lan lists 9 controllers, only the first 8 are asked"], records


def test_no_lan_host_spends_an_aps_answers(netns_pair, quildis_factory):
    """A LAN host flooding requests from its own address, or with an AP's
    (10.77.0.2), spends neither everyone's answers nor the AP's: asking from
    its port, the AP hears an answer each time, its own or the LAN's broadcast."""
    a, b = netns_pair
    b.run("ip", "addr", "add", "10.77.0.3/24", "dev", "br-lan")
    ac = quildis_factory(a, "ac", AC_ARGS)
    wait_for(lambda: ac.ubus("call", "quildis", "send").returncode == 0, what="AC on the bus")
    for src in ("10.77.0.3", "10.77.0.2"):
        flood = subprocess.Popen(b.cmd(["/usr/bin/python3", UDP_PEER, "flood", src, "10.77.0.1",
                                        "3000", "30"]))
        try:
            time.sleep(3)   # past the burst of the total (spent after 2 s)
            for _ in range(5):
                assert decode_announcement(ask(b, "10.77.0.1", "ap"))["ip"] == "10.77.0.1", src
        finally:
            flood.kill()
            flood.wait()
    stats = json.loads(ac.ubus("call", "quildis", "stats").stdout)
    assert stats["broadcast"] > 0 and stats["limited"] > 0


def test_ac_answers_each_source_beyond_its_lan_at_a_bounded_rate(routed, quildis_factory):
    ac_ns, ap_ns = routed
    ac = quildis_factory(ac_ns, "ac", AC_ARGS)
    wait_for(lambda: ac.ubus("call", "quildis", "send").returncode == 0, what="AC on the bus")
    send(ap_ns, *[REQUEST] * 20, host="10.77.0.1")
    wait_for(lambda: sum(json.loads(ac.ubus("call", "quildis", "stats").stdout).values()) == 20,
             what="all requests counted")
    stats = json.loads(ac.ubus("call", "quildis", "stats").stdout)
    # a burst of 8, and at most a few more if the sending took a while
    assert 8 <= stats["answered"] <= 10 and stats["answered"] + stats["limited"] == 20
    # A source claiming to be on the LAN earns no more unicast than any other.
    ap_ns.run("ip", "addr", "add", "10.77.0.50/32", "dev", "br-lan")
    ap_ns.run("/usr/bin/python3", UDP_PEER, "flood", "10.77.0.50", "10.77.0.1", "2000", "0.01")
    wait_for(lambda: sum(json.loads(ac.ubus("call", "quildis", "stats").stdout).values()) == 40,
             what="all requests counted")
    stats = json.loads(ac.ubus("call", "quildis", "stats").stdout)
    assert 16 <= stats["answered"] <= 20 and 6 <= stats["broadcast"] <= 10
