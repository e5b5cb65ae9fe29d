"""Real peers and private namespaces for the system tests.

Sandbox: a directory that stands in for the programs' fixed paths. A program
run through Sandbox.wrap() gets a private mount namespace in which /run is the
sandbox's run/ directory (so the default bus socket is run/ubus/ubus.sock) and
/usr/sbin (and so /sbin) is an overlay that adds the sandbox's stand-ins. The
host's own directories are never written.

Broker: a mosquitto on a free loopback port with its own configuration and
password file; `root` with the Base64 of the client id, and `test`/`test` for
the tests' own publishers and subscribers."""
import base64
import os
import shutil
import signal
import socket
import stat
import subprocess
import time
from pathlib import Path

from conftest import UBUSD, Proc, wait_for


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_script(path, body):
    path = Path(path)
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)
    return path


class Sandbox:
    def __init__(self, root):
        self.root = Path(root)
        self.run = self.root / "run"
        self.upper = self.root / "sbin-upper"
        self.work = self.root / "sbin-work"
        for d in (self.run / "ubus", self.upper, self.work):
            d.mkdir(parents=True, exist_ok=True)
        self.socket = str(self.run / "ubus/ubus.sock")
        self.hotplug_log = self.root / "hotplug.log"
        self.hotplug_log.touch()
        # The stand-ins only forward to files outside the overlay, so a test
        # can change their behaviour while a daemon runs.
        write_script(self.upper / "hotplug-call",
                     f'echo "$1 ACTION=$ACTION MAC=$MAC IP=$IP PORT=$PORT PROTO=$PROTO" '
                     f'>> {self.hotplug_log}\n')
        write_script(self.upper / "quilapi", f'exec {self.root}/quilapi-impl "$@"\n')
        self.set_quilapi('echo "reply/$2"\n')

    def set_quilapi(self, body):
        write_script(self.root / "quilapi-impl.new", body)
        os.replace(self.root / "quilapi-impl.new", self.root / "quilapi-impl")

    def install_quilapi_binary(self, program):
        """Puts a real executable at /usr/sbin/quilapi (before the daemon starts)."""
        shutil.copy(program, self.upper / "quilapi")

    def remove_quilapi(self):
        (self.root / "quilapi-impl").unlink()
        # The stand-in itself must be missing for exec to fail in the daemon.
        (self.upper / "quilapi").unlink()

    def wrap(self, argv, netns=None):
        setup = (f"mount --bind {self.run} /run && "
                 f"mount -t overlay overlay -o lowerdir=/usr/sbin,upperdir={self.upper},"
                 f"workdir={self.work} /usr/sbin && exec \"$@\"")
        cmd = ["unshare", "-m", "--propagation", "private", "sh", "-c", setup, "sh",
               *map(str, argv)]
        if netns:
            cmd = ["ip", "netns", "exec", netns, *cmd]
        return cmd

    def hotplug_events(self):
        return self.hotplug_log.read_text().splitlines()

    def restart_bus(self, pause=0.0):
        self.bus.stop()
        time.sleep(pause)
        self.start_bus()

    def start_bus(self):
        self.bus = Proc([UBUSD, "-s", self.socket], self.root / "ubusd.log")
        wait_for(lambda: os.path.exists(self.socket), what="bus socket")
        return self.bus


class Broker:
    def __init__(self, root, client_ids=(), port=None, password_override=None):
        self.root = Path(root)
        self.port = port or free_port()
        self.log = self.root / "mosquitto.log"
        self.passwd = self.root / "mosquitto.passwd"
        self.conf = self.root / "mosquitto.conf"
        self.proc = None
        self.make_passwords(client_ids, password_override)
        self.conf.write_text(
            f"listener {self.port} 127.0.0.1\n"
            "allow_anonymous false\n"
            f"password_file {self.passwd}\n"
            "user root\n"
            "persistence false\n"
            "max_queued_messages 0\n"
            "max_inflight_messages 0\n"
            f"log_dest file {self.log}\n"
            "log_type all\n"
            "log_timestamp false\n")

    def make_passwords(self, client_ids, override):
        self.passwd.unlink(missing_ok=True)
        entries = [("test", "test")]
        for cid in client_ids:
            entries.append(("root", override or base64.b64encode(cid.encode()).decode()))
        for user, pw in entries:
            flags = ["-b"] + (["-c"] if not self.passwd.exists() else [])
            subprocess.run(["mosquitto_passwd", *flags, str(self.passwd), user, pw],
                           check=True, capture_output=True)
        self.passwd.chmod(0o600)

    def start(self):
        self.proc = Proc(["mosquitto", "-c", self.conf], self.root / "mosquitto.out")
        wait_for(self.accepting, what="broker listening")
        return self

    def accepting(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def stop(self):
        if self.proc:
            self.proc.stop(signal.SIGKILL)
            self.proc = None

    def output(self):
        return self.log.read_text(errors="replace")

    def messages(self, log):
        # Split on LF only: a CR inside a payload is part of it.
        text = Path(log).read_bytes().decode(errors="replace")
        return text.split("\n")[:-1]

    def pub(self, topic, payload):
        """Publishes at QoS 1; a payload of None sends an empty message."""
        body = ["-n"] if payload is None else ["-m", payload]
        subprocess.run(["mosquitto_pub", "-p", str(self.port), "-u", "test", "-P", "test",
                        "-q", "1", "-t", topic, *body],
                       check=True, capture_output=True, timeout=10)

    def sub(self, topic, log, count=None, timeout=None):
        """Subscribes; each message becomes a line "topic|payload" in `log`."""
        argv = ["mosquitto_sub", "-p", str(self.port), "-u", "test", "-P", "test",
                "-q", "1", "-F", "%t|%p", "-t", topic]
        if count:
            argv += ["-C", str(count)]
        if timeout:
            argv += ["-W", str(timeout)]
        # mosquitto_sub prints nothing when subscribed; the broker logs it.
        line = f"\n\t{topic} (QoS 1)\n"
        seen = self.output().count(line)
        p = Proc(argv, log)
        wait_for(lambda: self.output().count(line) > seen, what=f"subscription {topic}")
        return p


def pids_of(name):
    r = subprocess.run(["pgrep", "-x", name], capture_output=True, text=True)
    return [int(x) for x in r.stdout.split()]


def open_fds(pid):
    return sorted(os.listdir(f"/proc/{pid}/fd"), key=int)


def zombies_of(pid):
    out = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            stat_text = (entry / "stat").read_text()
        except OSError:
            continue
        fields = stat_text.rsplit(")", 1)[1].split()
        if fields[0] == "Z" and int(fields[1]) == pid:
            out.append(int(entry.name))
    return out
