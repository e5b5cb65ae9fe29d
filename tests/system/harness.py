"""Plain helpers for the system tests, the demo and the benchmarks: paths of
the built programs, bounded waits, processes, our bus daemon, the sandbox, the
broker and test certificates, the daemons under test, network namespaces and
the upload programs' private /tmp. Nothing here depends on pytest; the
fixtures in conftest.py put these pieces together for the tests.

Processes: every process is either a Proc (stopped by pid) or found through a
ProcessTag, a random mark in the environment of everything started while it
is applied; nothing here looks processes up by name machine-wide.

Sandbox: a directory that stands in for the programs' fixed paths. A program
run through Sandbox.wrap() gets a private mount namespace in which /run is the
sandbox's run/ directory (so the default bus socket is run/ubus/ubus.sock) and
/usr/sbin (and so /sbin) is a read-only overlay with the sandbox's stand-ins
on top. Read-only overlays share their layers freely, so any number of
programs can use one sandbox at once. The host's own directories are never
written.

Broker: a mosquitto on a free loopback port with its own configuration and
password file; `root` with the Base64 of the client id, and `test`/`test` for
the tests' own publishers and subscribers. make_certs() makes a CA and
certificates with openssl; tls_listener() gives the configuration lines that
add a TLS listener to a broker."""
import base64
import json
import os
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time
import uuid
import zlib
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("QUIL_BUILD_DIR", ROOT / "build"))
UBUSD = BUILD / "hostlib/libubus/ubusd"
UBUS = BUILD / "hostlib/libubus/ubus"
UBUS_TEST_OBJECT = BUILD / "tests/system/ubus_test_object"
SESSION_SERVICE = BUILD / "tests/system/session_service"
UPLOAD_ACL = ROOT / "packaging/openwrt/quil/files/quil-upload.acl.json"
UBUS_RPC = ROOT / "tests/system/helpers/ubus_rpc.py"
QUILAC = BUILD / "bridge/quilac"
QUILDIS = BUILD / "discovery/quildis"
CLIENT_ID = "AB12CD34EF56"

# Deadlines are written as what an idle machine needs with room to spare; every
# wait's deadline is stretched by this factor, so that a loaded machine does
# not fail what is only slow. Raise it on a slower one: QUIL_TEST_SLOWDOWN=5.
SLOWDOWN = float(os.environ.get("QUIL_TEST_SLOWDOWN", "2"))
if not SLOWDOWN >= 1:
    raise ValueError(f"QUIL_TEST_SLOWDOWN must be 1 or more, not {SLOWDOWN}")


class WaitTimeout(AssertionError):
    pass


def wait_for(cond, timeout=5.0, step=0.02, what="condition", show=None):
    """Polls cond() until it is truthy and returns its value; after `timeout`
    s (times SLOWDOWN) raises WaitTimeout saying what it waited for and, with
    `show`, what there was instead."""
    end = time.monotonic() + timeout * SLOWDOWN
    while True:
        value = cond()
        if value:
            return value
        if time.monotonic() > end:
            seen = f": {show()!r}" if show else ""
            raise WaitTimeout(f"timed out waiting for {what}{seen}")
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
        """Ends the process (again: a no-op) and returns its exit status."""
        if self.p.poll() is None:
            self.p.send_signal(sig)
            try:
                self.p.wait(timeout * SLOWDOWN)
            except subprocess.TimeoutExpired:
                self.p.kill()
                self.p.wait()
        self._out.close()
        return self.p.returncode


def _proc_entries():
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            yield entry


class ProcessTag:
    """A random mark in the environment of every process started while it is
    applied, so that processes which detach or are started by others can be
    found, and only those: no other run's processes carry the same mark."""

    VARIABLE = "QUIL_TEST_TAG"

    def __init__(self):
        self.value = uuid.uuid4().hex
        self._entry = f"{self.VARIABLE}={self.value}".encode()
        self._saved = None

    def apply(self):
        self._saved = os.environ.get(self.VARIABLE)
        os.environ[self.VARIABLE] = self.value

    def remove(self):
        if self._saved is None:
            os.environ.pop(self.VARIABLE, None)
        else:
            os.environ[self.VARIABLE] = self._saved

    def pids(self, name=None):
        """Live processes carrying the mark (and called `name`, if given).
        A zombie has no environment left, so it no longer counts."""
        out = []
        for entry in _proc_entries():
            pid = int(entry.name)
            if pid == os.getpid():
                continue
            try:
                if self._entry not in (entry / "environ").read_bytes().split(b"\0"):
                    continue
                if name and (entry / "comm").read_text().strip() != name:
                    continue
            except OSError:
                continue
            out.append(pid)
        return out

    def detached(self, name):
        """Marked processes called `name` that have detached the classic way
        (fork, setsid, fork): members of a new session they do not lead. Not
        the starter, nor the intermediate child, which carry the same name for
        a moment."""
        out = []
        for pid in self.pids(name):
            try:
                if os.getsid(pid) not in (pid, os.getsid(0)):
                    out.append(pid)
            except OSError:
                pass
        return out

    def kill_all(self, timeout=5.0):
        """SIGKILLs every process carrying the mark; returns "pid (name)" of each."""
        killed = []
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            pids = self.pids()
            if not pids:
                break
            for pid in pids:
                try:
                    name = Path(f"/proc/{pid}/comm").read_text().strip()
                    os.kill(pid, signal.SIGKILL)
                    killed.append(f"{pid} ({name})")
                except OSError:
                    pass
            time.sleep(0.05)
        return sorted(set(killed))


def open_fds(pid):
    return sorted(os.listdir(f"/proc/{pid}/fd"), key=int)


def _stat_fields(entry):
    """State, parent pid, ... of /proc/PID/stat (after the command name)."""
    return (entry / "stat").read_text().rsplit(")", 1)[1].split()


def children_of(pid, state=None):
    """Pids of the processes whose parent is `pid` (in `state`, if given)."""
    out = []
    for entry in _proc_entries():
        try:
            fields = _stat_fields(entry)
        except OSError:
            continue
        if int(fields[1]) == pid and (state is None or fields[0] == state):
            out.append(int(entry.name))
    return out


def cpu_seconds(pid):
    """User and system CPU time the process has used so far."""
    fields = _stat_fields(Path(f"/proc/{pid}"))
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def zombies_of(pid):
    return children_of(pid, state="Z")


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
        return self.proc.stop()

    def restart(self, pause=0.0):
        self.stop()
        time.sleep(pause)
        self.start()

    def ubus(self, *args, timeout=30):
        return ubus(self.path, *args, timeout=timeout)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class BlackHole:
    """A port on 127.0.0.1 whose listener has a full backlog: the kernel
    drops further SYNs, as for a broker whose host does not answer. close()
    frees the port for a real broker."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(0)
        self.port = self.listener.getsockname()[1]
        self.fillers = [socket.socket() for _ in range(3)]
        for f in self.fillers:
            f.setblocking(False)
            f.connect_ex(("127.0.0.1", self.port))

    def close(self):
        for s in [self.listener, *self.fillers]:
            s.close()


def write_script(path, body):
    path = Path(path)
    path.write_text("#!/bin/sh\n" + body)
    path.chmod(0o755)
    return path


class Sandbox:
    """Stand-ins for the programs' fixed paths (see the top of this file); the
    bus daemon, once start_bus() has run, is `bus`."""

    def __init__(self, root):
        self.root = Path(root)
        self.bus = None
        self.run = self.root / "run"
        self.upper = self.root / "sbin-upper"
        for d in (self.run / "ubus", self.upper):
            d.mkdir(parents=True, exist_ok=True)
        self.socket = str(self.run / "ubus/ubus.sock")
        self.binds = []                  # (file, the path it is bound over)
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
        """No /usr/sbin/quilapi at all (before the daemon starts)."""
        (self.upper / "quilapi").unlink()

    def wrap(self, argv, netns=None):
        setup = ("".join(f"mount --bind {src} {dst} && " for src, dst in self.binds) +
                 f"mount --bind {self.run} /run && "
                 f"mount -t overlay overlay -o lowerdir={self.upper}:/usr/sbin /usr/sbin && "
                 "exec \"$@\"")
        cmd = ["unshare", "-m", "--propagation", "private", "sh", "-c", setup, "sh",
               *map(str, argv)]
        if netns:
            cmd = ["ip", "netns", "exec", netns, *cmd]
        return cmd

    def hotplug_events(self):
        return self.hotplug_log.read_text().splitlines()

    def restart_bus(self, pause=0.0):
        self.bus.restart(pause)

    def start_bus(self):
        self.bus = Bus(self.socket, self.root)
        return self.bus


class Broker:
    """mosquitto as described at the top of this file; start() runs it."""

    def __init__(self, root, client_ids=(), port=None, password_override=None):
        self.root = Path(root)
        self.port = port or free_port()
        self.log = self.root / "mosquitto.log"
        self.passwd = self.root / "mosquitto.passwd"
        self.conf = self.root / "mosquitto.conf"
        self.proc = None
        self.subscribers = []
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

    def close(self):
        """Stops the broker and every subscriber started through sub()."""
        for p in self.subscribers:
            p.stop()
        self.stop()

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

    def pub_lines(self, topic, payloads, timeout=60):
        """Publishes each payload as one message at QoS 1, in one client session."""
        subprocess.run(["mosquitto_pub", "-p", str(self.port), "-u", "test", "-P", "test",
                        "-q", "1", "-t", topic, "-l"], input="".join(p + "\n" for p in payloads),
                       text=True, check=True, timeout=timeout)

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
        self.subscribers.append(p)
        wait_for(lambda: self.output().count(line) > seen, what=f"subscription {topic}")
        return p


def _openssl(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True)


def _make_cert(d, name, subject, signed=True, san=None):
    key, crt = d / f"{name}.key", d / f"{name}.crt"
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", key]
    if not signed:
        _openssl("req", "-x509", *ec, "-out", crt, "-days", "2", "-subj", subject)
    else:
        csr, ext = d / f"{name}.csr", d / f"{name}.ext"
        _openssl("req", *ec, "-out", csr, "-subj", subject)
        ext.write_text(f"subjectAltName={san}\n" if san else "basicConstraints=CA:FALSE\n")
        _openssl("x509", "-req", "-in", csr, "-CA", d / "ca.crt", "-CAkey", d / "ca.key",
                 "-CAcreateserial", "-out", crt, "-days", "2", "-extfile", ext)
    key.chmod(0o600)


def make_certs(d):
    """Test certificates in d, made with openssl (EC P-256, valid two days):
    ca, and signed by it: server (localhost, 127.0.0.1), elsewhere (another
    name), address-as-cn and address-as-dns (127.0.0.1 but no IP entry), client; other-ca, a CA nothing is signed by. Keys mode 600."""
    d = Path(d)
    d.mkdir(parents=True, exist_ok=True)
    _make_cert(d, "ca", "/CN=test CA", signed=False)
    _make_cert(d, "other-ca", "/CN=another CA", signed=False)
    _make_cert(d, "server", "/CN=localhost", san="DNS:localhost,IP:127.0.0.1")
    _make_cert(d, "elsewhere", "/CN=elsewhere.example", san="DNS:elsewhere.example")
    # 127.0.0.1 only as a name: in the common name, as a DNS entry
    _make_cert(d, "address-as-cn", "/CN=127.0.0.1")
    _make_cert(d, "address-as-dns", "/CN=elsewhere.example", san="DNS:127.0.0.1")
    _make_cert(d, "client", "/CN=quilac")
    return d


def tls_listener(certs, port, server="server", require_cert=True):
    """Broker configuration lines for a TLS listener on 127.0.0.1:port."""
    return (f"listener {port} 127.0.0.1\n"
            f"cafile {certs / 'ca.crt'}\n"
            f"certfile {certs / server}.crt\nkeyfile {certs / server}.key\n"
            f"require_certificate {'true' if require_cert else 'false'}\n")


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

    def stats(self):
        """The answer of `stats`, parsed."""
        r = self.call("stats")
        assert r.returncode == 0, r.stderr
        return json.loads(r.stdout)

    def stop(self):
        return self.proc.stop()


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


UDP_PEER = Path(__file__).resolve().parent / "helpers/udp_peer.py"


class NetNs:
    """A network namespace held open by a sleeping process. It is never
    registered under /run/netns: commands enter it through the holder's pid."""

    def __init__(self):
        self.holder = subprocess.Popen(["unshare", "-n", "sleep", "3600"])
        own = os.readlink("/proc/self/ns/net")
        wait_for(lambda: os.readlink(f"/proc/{self.holder.pid}/ns/net") != own,
                 what="network namespace")
        self.pid = self.holder.pid
        self.run("ip", "link", "set", "lo", "up")

    def cmd(self, argv):
        return ["nsenter", "-t", str(self.pid), "-n", *map(str, argv)]

    def run(self, *argv, **kw):
        return subprocess.run(self.cmd(argv), check=True, capture_output=True, text=True, **kw)

    def ns_link(self):
        return os.readlink(f"/proc/{self.pid}/ns/net")

    def mac(self, ifname):
        out = self.run("ip", "-o", "link", "show", ifname).stdout.split()
        return out[out.index("link/ether") + 1]

    def close(self):
        self.holder.kill()
        self.holder.wait()


def veth(a, b, name_a="br-lan", name_b="br-lan", ip_a="10.77.0.1/24", ip_b="10.77.0.2/24"):
    """Joins two namespaces with a veth pair made inside them (never in ours)."""
    a.run("ip", "link", "add", name_a, "type", "veth", "peer", "name", name_b, "netns", b.pid)
    for ns, name, ip in ((a, name_a, ip_a), (b, name_b, ip_b)):
        ns.run("ip", "addr", "add", ip, "dev", name)
        ns.run("ip", "link", "set", name, "up")


class UdpListener:
    """udp_peer.py listening on port 32200 inside a namespace."""

    def __init__(self, ns, log):
        self.log = Path(log)
        self.proc = Proc(ns.cmd(["/usr/bin/python3", UDP_PEER, "listen", self.log]),
                         self.log.with_suffix(".out"))
        try:
            wait_for(lambda: self.log.exists() and "ready" in self.log.read_text(),
                     what="listener")
        except WaitTimeout:
            self.stop()
            raise

    def datagrams(self):
        out = []
        for line in self.log.read_text().splitlines()[1:]:
            t, ip, port, data = line.split()
            out.append((float(t), ip, int(port), bytes.fromhex(data)))
        return out

    def stop(self):
        self.proc.stop(signal.SIGKILL)


def announcement(payload_text, declared=None):
    """An announcement datagram carrying the Base64 of payload_text."""
    text = base64.b64encode(payload_text.encode())
    length = len(text) if declared is None else declared
    return struct.pack(">IBBII", 0xFEDCBAFF, 1, 2, length, zlib.crc32(text)) + text


def decode_announcement(data):
    magic, version, kind, length, crc = struct.unpack(">IBBII", data[:14])
    text = data[14:]
    assert (magic, version, kind, length) == (0xFEDCBAFF, 1, 2, len(text))
    assert crc == zlib.crc32(text)
    return json.loads(base64.b64decode(text))


UPLOAD_FIRMWARE = "upload/upload-firmware"
UPLOAD_ARCHIVE = "upload/upload-archive"


def json_reply(errcode):
    """The upload programs' answer as a web server passes it on."""
    return f'{{ "errcode": {errcode} }}\r\n\r\n'.encode()


def reply(errcode):
    """The upload programs' answer on their standard output."""
    return b"Status: 200 OK\r\nContent-Type: application/json\r\n\r\n" + json_reply(errcode)


def form(parts, boundary="XyZb0undary"):
    """A multipart/form-data body from (disposition value, content) pairs."""
    out = b""
    for value, content in parts:
        out += (f"--{boundary}\r\nContent-Disposition: {value}\r\n"
                "Content-Type: application/octet-stream\r\n\r\n").encode()
        out += content + b"\r\n"
    return out + f"--{boundary}--\r\n".encode()


# The stand-in session service's user, and a session of it that exists from
# the start (-S), for the uploads of tests that are not about logging in.
ADMIN_USER, ADMIN_PASSWORD = "root", "quil-test-password"
TEST_SESSION = "5e55104c0ffee0005e55104c0ffee000"


def upload_form(content, session=TEST_SESSION.encode(), boundary="XyZb0undary"):
    return form([('form-data; name="sessionid"', session),
                 ('form-data; name="filedata"; filename="f.bin"', content)], boundary)


class UploadRoot:
    """A directory that is /tmp for the upload programs (private mount namespace),
    and a bus of their own (its /run) with the stand-in session service:
    its user ADMIN_USER, the package's ACL file, and the session TEST_SESSION.

    The host's /tmp is hidden there, and the build may live under it: programs
    run inside are copied in first (program()), and Path arguments of run()
    and wrap() are taken as programs to copy. stop() ends the bus and the
    session service."""

    def __init__(self, root):
        self.root = Path(root)
        self.tmp = self.root / "tmp"
        (self.tmp / "upload").mkdir(parents=True, exist_ok=True)
        (self.tmp / "bin").mkdir(exist_ok=True)
        self.setup = []     # extra shell commands run in the namespace first
        self.run_dir = self.root / "run"
        (self.run_dir / "ubus").mkdir(parents=True, exist_ok=True)
        self.bus = Bus(self.run_dir / "ubus/ubus.sock", self.root)
        self.sessions = None
        self.start_sessions()

    def start_sessions(self):
        self.sessions = Proc([SESSION_SERVICE, "-s", self.bus.path, "-u", ADMIN_USER,
                              "-p", ADMIN_PASSWORD, "-a", UPLOAD_ACL, "-S", TEST_SESSION],
                             self.root / "session.log")
        self.sessions.wait_output("add_object: 0")

    def stop(self):
        self.sessions.stop()
        self.bus.stop()

    def ubus(self, *args):
        return self.bus.ubus(*args)

    def login(self, password=ADMIN_PASSWORD):
        """A new session id, or None when the service refuses the login."""
        r = self.ubus("call", "session", "login",
                      json.dumps({"username": ADMIN_USER, "password": password}))
        return json.loads(r.stdout)["ubus_rpc_session"] if r.returncode == 0 else None

    def program(self, path):
        """The path, inside the namespace, of a copy of `path`."""
        copy = self.tmp / "bin" / Path(path).name
        if not copy.exists():
            shutil.copy2(path, copy)
        return f"/tmp/bin/{copy.name}"

    def wrap(self, argv):
        argv = [self.program(a) if isinstance(a, Path) else str(a) for a in argv]
        setup = " && ".join([f"mount --bind {self.run_dir} /run", f"mount --bind {self.tmp} /tmp",
                             *self.setup, 'exec "$@"'])
        return ["unshare", "-m", "--propagation", "private", "sh", "-c", setup, "sh", *argv]

    def target(self, name="firmware.bin"):
        return self.tmp / "upload" / name

    def run(self, program, body, content_type="multipart/form-data; boundary=XyZb0undary",
            content_length="auto", timeout=60):
        env = {"PATH": os.environ["PATH"], "REQUEST_METHOD": "POST"}
        if content_type is not None:
            env["CONTENT_TYPE"] = content_type
        if content_length == "auto":
            content_length = str(len(body))
        if content_length is not None:
            env["CONTENT_LENGTH"] = content_length
        argv = program if isinstance(program, list) else [Path(program)]
        return subprocess.run(self.wrap(argv), input=body, env=env,
                              capture_output=True, timeout=timeout)


class WebServer:
    """lighttpd with mod_cgi serving the upload programs on a free loopback port,
    in the upload programs' private /tmp, and /ubus, the stand-in of the web
    server's JSON-RPC bridge to the bus (login())."""

    def __init__(self, root, programs, ns=None):
        self.root = Path(root)
        self.ns = ns
        self.port = free_port()
        self.uploads = UploadRoot(self.root)
        # Everything the server reads lives in what is /tmp for it, named by
        # its path there: the host's /tmp is hidden behind the bind mount.
        inside = self.uploads.tmp
        (inside / "www/cgi-bin").mkdir(parents=True, exist_ok=True)
        (inside / "lighttpd-body").mkdir(exist_ok=True)
        for p in programs:
            shutil.copy(p, inside / "www/cgi-bin" / Path(p).name)
        shutil.copy(UBUS_RPC, inside / "www/ubus")
        self.uploads.program(UBUS)
        (inside / "lighttpd.conf").write_text(
            'server.modules = ( "mod_cgi" )\n'
            'server.document-root = "/tmp/www"\n'
            f'server.port = {self.port}\n'
            'server.bind = "127.0.0.1"\n'
            'server.upload-dirs = ( "/tmp/lighttpd-body" )\n'
            'server.errorlog = "/tmp/lighttpd-error.log"\n'
            'server.max-request-size = 0\n'
            'mimetype.assign = ( ".html" => "text/html" )\n'
            '$HTTP["url"] =~ "^/cgi-bin/|^/ubus$" { cgi.assign = ( "" => "" ) }\n')
        argv = self.uploads.wrap(["lighttpd", "-D", "-f", "/tmp/lighttpd.conf"])
        self.proc = Proc(ns.cmd(argv) if ns else argv, self.root / "lighttpd.out")
        try:
            wait_for(self.accepting, what="web server", show=lambda: self.proc.output())
        except WaitTimeout:
            self.proc.stop()
            raise

    def accepting(self):
        if self.ns:
            probe = ["curl", "-s", "-o", "/dev/null", f"http://127.0.0.1:{self.port}/"]
            return subprocess.run(self.ns.cmd(probe), capture_output=True).returncode == 0
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=0.2).close()
            return True
        except OSError:
            return False

    def url(self, program):
        return f"http://127.0.0.1:{self.port}/cgi-bin/{program}"

    def login(self, password=ADMIN_PASSWORD):
        """Logs in through /ubus as the page does; the session id, or None."""
        request = {"jsonrpc": "2.0", "id": 1, "method": "call",
                   "params": ["0" * 32, "session", "login",
                              {"username": ADMIN_USER, "password": password}]}
        argv = ["curl", "-sS", "-H", "Content-Type: application/json", "--data-binary",
                json.dumps(request), f"http://127.0.0.1:{self.port}/ubus"]
        r = subprocess.run(self.ns.cmd(argv) if self.ns else argv, capture_output=True,
                           timeout=60)
        result = json.loads(r.stdout)["result"]
        return result[1]["ubus_rpc_session"] if result[0] == 0 else None

    def curl(self, program, path, session=TEST_SESSION):
        argv = ["curl", "-sS", "-F", f"sessionid={session}", "-F", f"filedata=@{path}",
                self.url(program)]
        r = subprocess.run(self.ns.cmd(argv) if self.ns else argv, capture_output=True,
                           timeout=300)
        return r.stdout

    def stop(self):
        self.proc.stop()
        self.uploads.stop()


def proc_field(pid, file, field):
    """The number after `field:` in /proc/<pid>/<file>, or 0."""
    for line in Path(f"/proc/{pid}/{file}").read_text().splitlines():
        if line.startswith(field + ":"):
            return int(line.split()[1])
    return 0


def alive(pid):
    """True while the process runs; a zombie no longer does."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().split(") ")[1][0] != "Z"
    except OSError:
        return False


def rss_kib(pid, field="VmRSS"):
    """Resident memory in KiB (field "VmHWM": its peak)."""
    return proc_field(pid, "status", field)


def wchar(pid):
    """Bytes the process has written so far (what reached its pipes and files)."""
    return proc_field(pid, "io", "wchar")


def stalled_wchar(pid, quiet=0.5):
    """wchar once it has stopped growing for `quiet` s (the writer is blocked), else 0."""
    before = wchar(pid)
    time.sleep(quiet)
    return before if wchar(pid) == before else 0


class SyslogSink:
    """A datagram socket standing in for /dev/log: wrap() runs a program with
    /dev a private tmpfs in its namespace, /dev/null bound in and /dev/log a
    link to this socket. records() are the (priority, text) pairs received."""

    def __init__(self, root):
        self.root = Path(root)
        self.path = self.root / "log.sock"
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(str(self.path))
        self.sock.setblocking(False)
        self.null = self.root / "devnull"
        self.null.touch()
        self.got = []

    def wrap(self, sandbox, argv):
        cmd = sandbox.wrap(argv)
        setup = (f"mount --bind /dev/null {self.null} && mount -t tmpfs tmpfs /dev && "
                 f"touch /dev/null && mount --bind {self.null} /dev/null && "
                 f"ln -s {self.path} /dev/log && ")
        i = cmd.index("-c") + 1
        return cmd[:i] + [setup + cmd[i]] + cmd[i + 1:]

    def records(self):
        import re
        while self.sock.fileno() >= 0:
            try:
                data = self.sock.recv(65536).decode(errors="replace")
            except BlockingIOError:
                return self.got
            m = re.match(r"<(\d+)>(?:\w{3} [ \d]\d \d\d:\d\d:\d\d )?(.*)", data, re.S)
            self.got.append((int(m.group(1)), m.group(2)))
        return self.got

    def close(self):
        self.sock.close()


# What `ubus -v list quilac` shows after its first line, one method a line.
QUILAC_SIGNATURES = [
    '\t"pub":{"id":"String","msg":"String"}',
    '\t"pub_group":{"group":"String","msg":"String"}',
    '\t"update_client":{"id":"String","info":"String","report":"Integer"}',
    '\t"del_client":{"id":"String"}',
    '\t"info":{}',
    '\t"get_client":{"offset":"Integer","limit":"Integer"}',
    '\t"log":{"level":"Integer"}',
    '\t"stats":{}',
]


class TcpServer:
    """A listener on a free port of 127.0.0.1; once started, a thread of its
    own hands each connection to self.connected(conn)."""

    def __init__(self):
        self.srv = socket.create_server(("127.0.0.1", 0))
        self.port = self.srv.getsockname()[1]
        self.conns = []

    def start(self):
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                conn, _ = self.srv.accept()
            except OSError:
                return
            self.connected(conn)


class Proxy(TcpServer):
    """A TCP proxy to the broker; with swallow_acks it drops the broker's
    PUBACKs on the first connection until cut() closes it; later connections
    pass everything."""

    def __init__(self, broker_port, swallow_acks=False):
        super().__init__()
        self.broker_port = broker_port
        self.swallow_acks = swallow_acks
        self.start()

    def connected(self, client):
        upstream = socket.create_connection(("127.0.0.1", self.broker_port))
        swallow = self.swallow_acks and not self.conns
        self.conns.append((client, upstream))
        threading.Thread(target=self.pipe, args=(client, upstream, False), daemon=True).start()
        threading.Thread(target=self.pipe, args=(upstream, client, swallow), daemon=True).start()

    @staticmethod
    def pipe(src, dst, swallow):
        buf = b""
        try:
            while data := src.recv(65536):
                if not swallow:
                    dst.sendall(data)
                    continue
                buf += data
                # Whole packets: a type byte, a variable-length size, the rest.
                while len(buf) >= 2:
                    size, shift, i = 0, 0, 1
                    while i < len(buf) and buf[i] & 0x80:
                        size |= (buf[i] & 0x7f) << shift
                        shift, i = shift + 7, i + 1
                    if i >= len(buf) or len(buf) < i + 1 + size + ((buf[i] & 0x7f) << shift):
                        break
                    size |= (buf[i] & 0x7f) << shift
                    end = i + 1 + size
                    if buf[0] >> 4 != 4:                 # PUBACK
                        dst.sendall(buf[:end])
                    buf = buf[end:]
        except OSError:
            pass
        for s in (src, dst):
            s.close()

    def cut(self):
        """Ends the latest connection; its pipe threads close both sockets."""
        self.conns[-1][0].shutdown(socket.SHUT_RDWR)

    def close(self):
        self.srv.close()
        for pair in self.conns:
            for s in pair:
                s.close()
