#!/usr/bin/python3
"""Walks through the system's job and prints each step as it happens.

An AC and an AP live in two network namespaces joined by a veth pair (both ends
br-lan). The AC runs a bus daemon, a mosquitto broker on port 1883, quilac,
quildis in AC mode and lighttpd with the upload programs; the AP runs its own
bus daemon and quildis in AP mode. Each program sees private stand-ins for the
fixed paths (/run, /usr/sbin): nothing on the host changes. Exits non-zero as
soon as a step does not happen."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests/system"))
os.environ.setdefault("QUIL_BUILD_DIR", str(ROOT / "build"))

from harness import (BUILD, QUILAC, QUILDIS, Broker, NetNs, Proc, ProcessTag,  # noqa: E402
                     Sandbox, WaitTimeout, WebServer, make_certs, tls_listener, ubus, veth,
                     wait_for, write_script)

CLIENT_ID = "AC-DEMO"
DEVICE = "AP-0001"
TLS_PASSWORD = "a secret of the AC's own"
EXAMPLES = ROOT / "examples"


class StepFailed(Exception):
    pass


def wait(cond, what, timeout=10.0):
    """wait_for, where a log file not written yet counts as not yet, and the
    failure names the step."""
    def checked():
        try:
            return cond()
        except OSError:
            return None
    try:
        return wait_for(checked, timeout, step=0.05, what=what)
    except WaitTimeout:
        raise StepFailed(what) from None


def step(n, text):
    print(f"\n[{n}] {text}", flush=True)


def say(text):
    print(f"    {text}", flush=True)


def hotplug_dispatcher(sandbox):
    """/sbin/hotplug-call for the demo: record the event, run the example scripts."""
    write_script(sandbox.upper / "hotplug-call",
                 f'echo "$1 ACTION=$ACTION MAC=$MAC IP=$IP PORT=$PORT PROTO=$PROTO" >> {sandbox.hotplug_log}\n'
                 f'for s in {EXAMPLES}/hotplug.d/"$1"/*; do [ -x "$s" ] && "$s" 2>/dev/null; done\n'
                 "exit 0\n")


def call(sandbox, *args):
    return ubus(sandbox.socket, *args)


def run(work):
    namespaces = []
    procs = []
    broker = None
    try:
        namespaces += [NetNs(), NetNs()]
        ac_ns, ap_ns = namespaces
        veth(ac_ns, ap_ns)
        ac, ap = Sandbox(work / "ac"), Sandbox(work / "ap")
        for sb in (ac, ap):
            hotplug_dispatcher(sb)
            sb.start_bus()
            procs.append(sb.bus)
        # a stand-in for the packaged quilapi, which needs the platform's jshn
        (ac.upper / "quilapi").write_text(f"#!/bin/sh\necho rpc/{DEVICE}\necho '{{\"ack\":1}}'\n")
        (ac.upper / "quilapi").chmod(0o755)

        broker = Broker(work / "ac", [CLIENT_ID], port=1883)
        certs = make_certs(work / "certs")
        broker.conf.write_text(broker.conf.read_text() + tls_listener(certs, 8883))
        subprocess.run(["mosquitto_passwd", "-b", broker.passwd, "ac-remote", TLS_PASSWORD],
                       check=True)
        broker_argv = ac_ns.cmd(["mosquitto", "-c", broker.conf])

        def start_broker():
            broker.proc = Proc(broker_argv, work / "ac/mosquitto.out")
            wait(lambda: "mosquitto version" in broker.output() and
                 "Opening ipv4 listen socket on port 1883" in broker.output(), "broker up")

        start_broker()
        say("AC: bus daemon, mosquitto on port 1883, quilac, quildis (AC mode), lighttpd")
        quilac = Proc(ac_ns.cmd(ac.wrap([QUILAC, "-S", "-i", CLIENT_ID])), work / "quilac.log")
        procs.append(quilac)
        ac_dis = Proc(ac_ns.cmd(ac.wrap([QUILDIS, "-f", "-P", "mqtt", "-p", "1883"])),
                      work / "quildis-ac.log")
        procs.append(ac_dis)
        wait(lambda: "subscribed (mid: 3)" in quilac.output(), "quilac subscribed")
        say("AP: bus daemon, quildis (AP mode)")
        ap_dis = Proc(ap_ns.cmd(ap.wrap([QUILDIS, "-f", "-c"])), work / "quildis-ap.log")
        procs.append(ap_dis)

        step(1, "The AP looks for its access controller (a request every 5 s)")
        event = wait(lambda: [e for e in ap.hotplug_events() if e.startswith("quildis")],
                     "AP hotplug event", timeout=12)[0]
        say(f"hotplug-call quildis with {event.split(' ', 1)[1]}")
        if "IP=10.77.0.1 PORT=1883 PROTO=mqtt" not in event:
            raise StepFailed("AP found the wrong AC")

        step(2, f"The device {DEVICE} registers with the bridge")
        info = json.dumps({"id": DEVICE, "info": "AP in the lobby"})
        say(f"ubus call quilac update_client '{info}'")
        if call(ac, "call", "quilac", "update_client", info).returncode:
            raise StepFailed("update_client")
        listing = json.loads(call(ac, "call", "quilac", "get_client").stdout)
        say(f"ubus call quilac get_client -> {json.dumps(listing)}")
        if listing["client"][0]["id"] != DEVICE:
            raise StepFailed("get_client")

        step(3, f"A report on upload/{DEVICE} goes through an API program")
        replies = work / "rpc.log"
        sub = Proc(ac_ns.cmd(["mosquitto_sub", "-p", "1883", "-u", "test", "-P", "test",
                              "-q", "1", "-F", "%t %p", "-t", f"rpc/{DEVICE}"]), replies)
        procs.append(sub)
        wait(lambda: broker.output().count(f"rpc/{DEVICE} (QoS 1)"), "subscriber ready")
        pub = ["mosquitto_pub", "-p", "1883", "-u", "test", "-P", "test", "-q", "1"]
        subprocess.run(ac_ns.cmd(pub + ["-t", f"upload/{DEVICE}", "-m", "hello"]), check=True)
        line = wait(lambda: replies.read_text().strip(), "API program's reply")
        say(f"published: {line}")

        step(4, f"A command sent with `ubus call quilac pub` reaches rpc/{DEVICE}")
        cmd = json.dumps({"id": DEVICE, "msg": '{"cmd":"reboot"}'})
        call(ac, "call", "quilac", "pub", cmd)
        wait(lambda: '"cmd":"reboot"' in replies.read_text(), "command delivered")
        say(f"subscriber got: {replies.read_text().splitlines()[-1]}")

        step(5, "The broker restarts: the bridge goes offline and back online")
        broker.stop()
        wait(lambda: "quilac ACTION=offline" in "\n".join(ac.hotplug_events()), "offline event")
        say("hotplug-call quilac with ACTION=offline")
        start_broker()
        wait(lambda: ac.hotplug_events().count("quilac ACTION=online MAC= IP= PORT= PROTO=") == 2,
             "online again", timeout=15)
        say("hotplug-call quilac with ACTION=online")
        status = json.loads(call(ac, "call", "quilac", "info").stdout)["status"]
        say(f"ubus call quilac info -> status {status}")

        step(6, "A firmware file is uploaded through the web server")
        web = WebServer(work / "web", [BUILD / "upload/upload-firmware"], ns=ac_ns)
        procs.append(web)
        firmware = work / "firmware.bin"
        firmware.write_bytes(os.urandom(2 << 20))
        refused = web.curl("upload-firmware", firmware, session="0" * 32).decode().strip()
        say(f"without a login (anonymous session) -> {refused}")
        if refused != '{ "errcode": -1006 }':
            raise StepFailed("upload without a login refused")
        session = web.login()
        if not session:
            raise StepFailed("login through /ubus")
        say("session login through /ubus (JSON-RPC) -> a session id")
        answer = web.curl("upload-firmware", firmware, session=session).decode().strip()
        say(f"curl -F sessionid=<id> -F filedata=@firmware.bin -> {answer}")
        stored = web.uploads.target()
        if not stored.exists() or stored.read_bytes() != firmware.read_bytes():
            raise StepFailed("firmware stored")
        say(f"stored as /tmp/upload/firmware.bin ({stored.stat().st_size} bytes, identical)")

        step(7, "A bridge reaches the broker over TLS, with a client certificate and a password file")
        password = work / "password"
        password.write_text(TLS_PASSWORD + "\n")
        password.chmod(0o600)
        argv = [QUILAC, "-S", "-i", "AC-REMOTE", "-u", "ac-remote", "-P", password,
                "-b", "127.0.0.1", "-p", "8883", "-C", certs / "ca.crt",
                "-E", certs / "client.crt", "-K", certs / "client.key"]
        say("quilac " + " ".join(map(str, argv[1:])).replace(str(work), "..."))
        remote = Proc(ac_ns.cmd(Sandbox(work / "remote").wrap(argv)), work / "quilac-tls.log")
        procs.append(remote)
        wait(lambda: "subscribed (mid: 3)" in remote.output(), "TLS session up")
        say("broker: " + next(line for line in broker.output().splitlines()
                              if "as AC-REMOTE" in line))
    finally:
        for p in reversed(procs):
            p.stop()
        if broker:
            broker.stop()
        for ns in namespaces:
            ns.close()


def main():
    if os.geteuid() != 0:
        print("the demo runs as root (it makes private namespaces)", file=sys.stderr)
        return 2
    work = Path(tempfile.mkdtemp(prefix="quildemo."))
    # Everything the demo starts carries the tag; whatever outlives the
    # orderly stop (a hotplug script, a worker) is ended with it.
    tag = ProcessTag()
    tag.apply()
    try:
        run(work)
    except Exception as e:      # a failed step, or anything the demo did not expect
        print(f"\nFAILED: {e}", file=sys.stderr)
        for log in sorted(work.rglob("*.log")):
            print(f"--- {log} ---\n{log.read_text(errors='replace')[-1500:]}", file=sys.stderr)
        return 1
    finally:
        tag.kill_all()
        shutil.rmtree(work, ignore_errors=True)
    print("\nAll steps done; everything is cleaned up.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
