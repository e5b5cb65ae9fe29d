"""The upload CGI programs run directly (environment and standard input) in a
private /tmp, and behind a real web server."""
import fcntl
import json
import os
import re
import shutil
import signal
import socket
import stat
import struct
import subprocess
import termios
import time
from pathlib import Path

import pytest

from harness import BUILD, ROOT, Proc, children_of, wait_for
from harness import (TEST_SESSION, UPLOAD_ARCHIVE, UPLOAD_FIRMWARE, UploadRoot, WebServer, form,
                     json_reply, reply, upload_form)

FIRMWARE = BUILD / UPLOAD_FIRMWARE
ARCHIVE = BUILD / UPLOAD_ARCHIVE
# File content full of near-delimiters (the boundary is XyZb0undary), lone
# CRs and every byte value, ending in a CR.
TRICKY = (b"line\r\nwith CR LF\r\n--XyZb0undar\r\n--XyZb0undarX lone\rCR \r\r\n-- and "
          + bytes(range(256)) + b"\r")


@pytest.fixture
def root(workdir):
    r = UploadRoot(workdir)
    yield r
    r.stop()


def test_stores_file_byte_for_byte_with_mode_0600(root):
    root.target().write_bytes(b"old")
    root.target().chmod(0o644)
    r = root.run(FIRMWARE, upload_form(TRICKY))
    assert (r.returncode, r.stdout, r.stderr) == (0, reply(0), b"")
    assert root.target().read_bytes() == TRICKY
    assert stat.S_IMODE(root.target().stat().st_mode) == 0o600
    assert sorted(os.listdir(root.tmp)) == ["bin", "upload"]   # the temporary file had no name

    r = root.run(ARCHIVE, upload_form(b"tar"))
    assert r.stdout == reply(0)
    assert root.target("upload.tar.gz").read_bytes() == b"tar"

    # Around the sizes of a body read (4 KiB) and of the file's write buffer
    # (64 KiB): the last buffered bytes are in the file before it is named.
    # Without CRs the content arrives in whole reads, which fill the buffer exactly.
    for size in (4095, 4096, 4097, 65535, 65536, 65537, 131071, 131072, 131073, 300000):
        data = os.urandom(size).replace(b"\r", b"x")
        assert root.run(FIRMWARE, upload_form(data)).stdout == reply(0), size
        assert root.target().read_bytes() == data, size
    # Held for 3 s once the target has its name (the rename, made slow by
    # strace): the file must be whole by then, 37856 buffered bytes included.
    root.target().unlink()
    slow_rename = ["strace", "-qq", "-o", "/dev/null", "-e", "trace=renameat,renameat2",
                   "-e", "inject=renameat,renameat2:delay_exit=3000000", FIRMWARE]
    env = {"PATH": os.environ["PATH"], "CONTENT_TYPE": "multipart/form-data; boundary=XyZb0undary"}
    p = subprocess.Popen(root.wrap(slow_rename), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         env=env)
    p.stdin.write(upload_form(data))
    p.stdin.close()
    wait_for(root.target().exists, step=0.005, what="the target's name")
    assert root.target().read_bytes() == data
    assert p.stdout.read() == reply(0)
    p.wait(30)


def test_content_length_limit(root):
    # The declared length may hold the framing, up to 64 KiB more than the file.
    body = upload_form(b"x")
    for program, limit in ((FIRMWARE, 64 << 20), (ARCHIVE, 8 << 20)):
        assert root.run(program, body, content_length=str(limit + 65536)).stdout == reply(0)
        assert root.run(program, body, content_length=str(limit + 65537)).stdout == reply(-7001)
    assert root.run(FIRMWARE, body, content_length="-1").stdout == reply(-7001)
    assert root.run(FIRMWARE, body, content_length="abc").stdout == reply(0)
    assert root.run(FIRMWARE, body, content_length=None).stdout == reply(0)


CONTENT_TYPES = [
    (None, -7002),
    ("multipart/form-data;", -7002),
    ("multipart/form-data", -7002),
    ("multipart/form-data; charset=utf-8", -7002),
    ("text/plain; boundary=XyZb0undary", -7002),
    ("multipart/form-data; boundary=", -7002),
    ('multipart/form-data; boundary="XyZb0undary', -7002),
    ("multipart/form-data; boundary=" + "x" * 71, -7002),
    ("multipart/form-data; boundary=XyZb0undary", 0),
    ("multipart/form-data;boundary=XyZb0undary", 0),
    ("Multipart/Form-Data; boundary=XyZb0undary", 0),
    ('multipart/form-data; boundary="XyZb0undary"', 0),
    ("multipart/form-data; charset=utf-8; boundary=XyZb0undary", 0),
    ('multipart/form-data ; BOUNDARY="XyZb0undary"; charset=utf-8', 0),
]


def test_content_type_checks(root):
    body = upload_form(b"x")
    for content_type, code in CONTENT_TYPES:
        assert root.run(FIRMWARE, body, content_type=content_type).stdout == reply(code), \
            content_type
    longest = "b" * 70
    assert root.run(FIRMWARE, upload_form(b"x", boundary=longest),
                    content_type=f'multipart/form-data; boundary="{longest}"').stdout == reply(0)


def test_session_and_field_rules(root):
    def upload(file_disposition, session_disposition='form-data; name="sessionid"'):
        return form([(session_disposition, TEST_SESSION.encode()), (file_disposition, b"stored")])

    def changed(old, new):
        return upload_form(b"stored").replace(old, new, 1)

    with_filename = 'form-data; name="filedata"; filename="%s"'
    cases = [
        (form([('form-data; name="filedata"', b"x"),
               ('form-data; name="sessionid"', TEST_SESSION.encode())]), reply(-1006)),
        (upload('form-data; name="file"', 'form-data; name="session"'), reply(0)),
        (upload('form-data; name=""; filename="e"'), reply(0)),
        (upload('form-data; name="filedata"', 'form-data; name="SessionID"'), reply(-1006)),
        (upload('form-data; filename="a"; name="filedata"'), reply(0)),
        (upload('form-data; filename="name=\\"x\\""; name=filedata'), reply(0)),
        (upload('Form-Data; name="filedata"'), reply(0)),
        (upload('FORM-DATA;name="filedata"'), reply(0)),
        (upload('form-DATA; NAME="filedata"', 'fOrM-dAtA; name="sessionid"'), reply(0)),
        (upload('attachment; name="filedata"'), reply(-7002)),    # no file part
        (upload('form-data; name="filedata'), reply(-7002)),
        (upload(with_filename % ("f" * 900)), reply(0)),     # a header value up to 1 KiB
        (upload(with_filename % ("f" * 1100)), reply(-7002)),  # is looked at; a longer one is not
        (b"preamble\r\n" + upload_form(b"stored"), reply(0)),
        (changed(b"--XyZb0undary\r\n", b"--XyZb0undary \t\r\n"), reply(0)),
        (changed(b"Content-Type:", b"Content-MD5: x\r\nX-1: y\r\nContent-Type:"), reply(0)),
        (changed(b"Content-Type:", b"X-No-Colon\r\nContent-Type:"), reply(-7002)),
        (changed(b"Content-Type:", b": no name\r\nContent-Type:"), reply(-7002)),
        (changed(b"Content-Type:", b"X-1: a\nX-2: b\r\nContent-Type:"), reply(-7002)),   # a bare LF
        # A delimiter inside the content that goes on with another byte: no file cut short.
        (upload_form(b"stored\r\n--XyZb0undaryX and more"), reply(-7002)),
        (form([('form-data; name="other"', b"o"), ('form-data; name="sessionid"', TEST_SESSION.encode()),
               ('form-data; name="filedata"', b"stored")]), reply(0)),
        # A second sessionid part replaces the first, whichever is the good one.
        (form([('form-data; name="sessionid"', b"0" * 32), ('form-data; name="sessionid"', TEST_SESSION.encode()),
               ('form-data; name="filedata"', b"stored")]), reply(0)),
        (form([('form-data; name="sessionid"', TEST_SESSION.encode()), ('form-data; name="sessionid"', b"x"),
               ('form-data; name="filedata"', b"stored")]), reply(-1006)),
    ]
    for body, expected in cases:
        root.target().unlink(missing_ok=True)
        assert root.run(FIRMWARE, body).stdout == expected, body[:300]
        stored = root.target().read_bytes() if root.target().exists() else None
        assert stored == (b"stored" if expected == reply(0) else None), body[:200]

    body = upload_form(b"stored").replace(b"Content-Disposition", b"CONTENT-disposition")
    assert root.run(FIRMWARE, body).stdout == reply(0)


def test_session_service_decides(root):
    """Only a session that the service lets write stores a file; whatever else
    (a refusal, no service, no bus, no answer) keeps the previous target."""
    root.target().write_bytes(b"previous")
    fresh = root.login()
    assert root.login("wrong password") is None

    def attempt(session, expected):
        r = root.run(FIRMWARE, upload_form(b"new", session=session.encode()))
        assert r.stdout == reply(expected), session
        # one line in the server's error log per refusal, never the session id
        wellformed = re.fullmatch("[0-9a-f]{32}", session)
        assert r.stderr == (b"" if expected == 0 else (
            b"upload-firmware: refused with errcode -1006: " +
            (b"the session service did not let the session upload\n" if wellformed else
             b"no well-formed session id before the file\n"))), session
        assert root.target().read_bytes() == (b"new" if expected == 0 else b"previous")
        root.target().write_bytes(b"previous")

    for refused in ("", "0" * 32, "f" * 32, TEST_SESSION.upper(), TEST_SESSION[:31],
                    TEST_SESSION + "0", fresh + "\n"):
        attempt(refused, -1006)
    attempt(fresh, 0)
    root.ubus("call", "session", "destroy", json.dumps({"ubus_rpc_session": fresh}))
    attempt(fresh, -1006)

    os.kill(root.sessions.pid, signal.SIGSTOP)      # a service that does not answer
    start = time.monotonic()
    attempt(TEST_SESSION, -1006)
    assert 1.9 < time.monotonic() - start < 20
    os.kill(root.sessions.pid, signal.SIGCONT)
    attempt(TEST_SESSION, 0)
    root.sessions.stop()
    attempt(TEST_SESSION, -1006)
    root.bus.stop()
    attempt(TEST_SESSION, -1006)


def test_empty_file_and_broken_bodies_leave_target_alone(root):
    root.target().write_bytes(b"previous")
    r = root.run(FIRMWARE, upload_form(b""))
    assert (r.stdout, r.stderr) == (
        reply(-7003), b"upload-firmware: refused with errcode -7003: the file is empty\n")
    body = upload_form(b"A" * 100000)
    for cut in (10, len(body) // 2, len(body) - 20):
        r = root.run(FIRMWARE, body[:cut])
        assert (r.returncode, r.stdout, r.stderr) == (0, reply(-7002), (
            b"upload-firmware: refused with errcode -7002: not a whole form with a file part\n"))
    assert root.run(FIRMWARE, b"").stdout == reply(-7002)
    r = root.run(FIRMWARE, body, content_type="text/plain")
    assert r.stderr == (b"upload-firmware: refused with errcode -7002: "
                        b"not multipart/form-data with a usable boundary\n")
    # "garbage--XyZb0undary" is a preamble (no line break before the delimiter),
    # and the sessionid part is lost in it.
    assert root.run(FIRMWARE, b"garbage" + body).stdout == reply(-1006)
    assert root.target().read_bytes() == b"previous"
    assert os.listdir(root.tmp / "upload") == ["firmware.bin"]


def test_storage_failures_keep_the_previous_target(root):
    # The filesystem fills up while the file arrives: the previous target stays.
    root.setup.append("mount -t tmpfs -o size=64k,mode=0700 tmpfs /tmp/upload")
    root.setup.append("echo previous > /tmp/upload/firmware.bin")
    then_look = ["sh", "-c", f"{root.program(FIRMWARE)}; cat /tmp/upload/*; ls -A /tmp/upload >&2"]
    r = root.run(then_look, upload_form(os.urandom(300000)))
    assert (r.stdout, r.stderr) == (reply(-7004) + b"previous\n", (
        b"upload-firmware: refused with errcode -7004: the file cannot be written: "
        b"No space left on device\nfirmware.bin\n"))


def test_stale_private_names_are_removed(root):
    """A kill between link and rename leaves .firmware.bin.<pid> behind; a pid
    that runs again (even this test's own) proves nothing about the name."""
    upload_dir = root.tmp / "upload"
    for name in (".firmware.bin.1", f".firmware.bin.{os.getpid()}", ".firmware.bin.99999999"):
        (upload_dir / name).write_bytes(b"stale")
    (upload_dir / ".firmware.bin.x").write_bytes(b"not ours")
    assert root.run(FIRMWARE, upload_form(b"new")).stdout == reply(0)
    assert sorted(os.listdir(upload_dir)) == [".firmware.bin.x", "firmware.bin"]


def test_stalled_upload_is_abandoned(root):
    """A client that stops sending, trickles a byte now and then, or keeps under
    the minimum in a window and makes up for it later, loses its upload at the
    end of that window: the space its unfinished file holds in /tmp is not kept."""
    root.target().write_bytes(b"previous")
    env = {"PATH": os.environ["PATH"], "CONTENT_TYPE": "multipart/form-data; boundary=XyZb0undary"}
    body = upload_form(b"x" * 300000)
    sent = 2000
    # Seconds after the start -> bytes sent then, per client.
    plans = {"silent": {},
             "trickle": {t: 1 for t in range(5, 60, 5)},
             "late": {25: 1, 50: 2100}}
    clients = {}
    for name in plans:
        p = subprocess.Popen(root.wrap([FIRMWARE]), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env)
        p.stdin.write(body[:sent])
        p.stdin.flush()
        clients[name] = [p, sent]
    start = time.monotonic()
    ended = {}
    while len(ended) < len(clients) and time.monotonic() - start < 120:
        now = time.monotonic() - start
        for name, (p, offset) in clients.items():
            if name in ended:
                continue
            if p.poll() is not None:
                ended[name] = now
                continue
            for t in [t for t in plans[name] if t <= now]:
                n = plans[name].pop(t)
                try:
                    p.stdin.write(body[offset:offset + n])
                    p.stdin.flush()
                except BrokenPipeError:
                    pass
                clients[name][1] = offset = offset + n
        time.sleep(0.1)
    for name, (p, _) in clients.items():
        p.wait(30)
        assert 29 < ended.get(name, 999) < 40, name
        assert p.stdout.read() == reply(-7004), name
        assert p.stderr.read().decode().count("\n") == 1, name
        try:
            p.stdin.close()
        except BrokenPipeError:
            pass
    assert os.listdir(root.tmp / "upload") == ["firmware.bin"]
    assert root.target().read_bytes() == b"previous"


def test_refused_request_ends_soon_whatever_the_client_sends(root):
    """After the answer the rest of the body is read only so far: a client that
    goes on sending, quickly enough for the idle rule, no longer holds the process;
    nor does one that never gets to the file part (refused after 64 KiB or 10 s)."""
    env = {"PATH": os.environ["PATH"], "CONTENT_TYPE": "multipart/form-data; boundary=XyZb0undary"}
    no_session = form([('form-data; name="filedata"', b"x" * 5000)])
    session_part = b'--XyZb0undary\r\nContent-Disposition: form-data; name="sessionid"\r\n\r\n'
    endless_headers = b'--XyZb0undary\r\nContent-Disposition: form-data; name="filedata"\r\n'
    # body, environment, errcode, seconds between further 4 KiB, seconds it may take
    cases = [(no_session, {}, -1006, 0.2, 10),
             (upload_form(b"x"), {"CONTENT_LENGTH": str((64 << 20) + 65537)}, -7001, 0.2, 10),
             (b"preamble", {}, -1006, 0.2, 9),
             (session_part, {}, -1006, 0.2, 9),
             (endless_headers + b"X-Pad: ", {}, -1006, 0.2, 9),
             (b"slow preamble", {}, -1006, 1, 15)]
    for body, extra, code, interval, limit in cases:
        p = subprocess.Popen(root.wrap([FIRMWARE]), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             env={**env, **extra})
        start = time.monotonic()
        try:
            p.stdin.write(body)
            while p.poll() is None and time.monotonic() - start < 30:
                p.stdin.write(b"y" * 4096)
                p.stdin.flush()
                time.sleep(interval)
        except BrokenPipeError:
            pass
        p.wait(30)
        assert time.monotonic() - start < limit, body
        assert p.stdout.read() == reply(code)
        try:
            p.stdin.close()
        except BrokenPipeError:
            pass


def test_session_checker_ends_with_the_upload(root):
    """On a bus that does not answer, the child that asks it ends when the
    upload is killed, and at its own deadline when the upload cannot end it."""
    env = {"PATH": os.environ["PATH"], "CONTENT_TYPE": "multipart/form-data; boundary=XyZb0undary"}
    os.kill(root.bus.proc.pid, signal.SIGSTOP)
    try:
        for stop_upload, limit in ((signal.SIGKILL, 1.5), (signal.SIGSTOP, 4)):
            p = subprocess.Popen(root.wrap([FIRMWARE]), stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, env=env)
            p.stdin.write(upload_form(b"x"))
            p.stdin.flush()
            checker = wait_for(lambda: children_of(p.pid), timeout=10, what="the session check")[0]
            os.kill(p.pid, stop_upload)
            start = time.monotonic()
            wait_for(lambda: not os.path.exists(f"/proc/{checker}")
                     or _state(checker) == "Z", timeout=10, what="the checker to end")
            assert time.monotonic() - start < limit, stop_upload
            os.kill(p.pid, signal.SIGKILL)
            p.wait(10)
    finally:
        os.kill(root.bus.proc.pid, signal.SIGCONT)


def _state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return "gone"


def test_target_directory_must_be_ours(root):
    """A local user must not steer root's write anywhere: links are replaced or
    refused, never followed, and a directory of another user is not used."""
    upload_dir = root.tmp / "upload"
    victim = root.tmp / "victim"

    def setup_target_link():
        root.target().symlink_to("../victim")

    def setup_dir_link():
        upload_dir.rmdir()
        (root.tmp / "elsewhere").mkdir()
        upload_dir.symlink_to("elsewhere")

    def setup_foreign_dir():
        os.chown(upload_dir, 65534, 65534)

    def setup_shared_dir():     # ours, but anyone may swap the names in it
        upload_dir.chmod(0o1777)

    def setup_group_dir():
        os.chown(upload_dir, 0, 65534)
        upload_dir.chmod(0o770)

    def setup_file():
        upload_dir.rmdir()
        upload_dir.write_bytes(b"")

    def setup_missing():
        upload_dir.rmdir()

    cases = [(setup_target_link, 0), (setup_dir_link, -7004), (setup_foreign_dir, -7004),
             (setup_shared_dir, -7004), (setup_group_dir, -7004), (setup_file, -7004),
             (setup_missing, 0)]
    for setup, code in cases:
        for p in (upload_dir, root.tmp / "elsewhere"):
            if p.is_symlink() or p.is_file():
                p.unlink()
            elif p.exists():
                shutil.rmtree(p)
        upload_dir.mkdir(mode=0o755)
        victim.write_bytes(b"secret")
        victim.chmod(0o644)
        setup()
        assert root.run(FIRMWARE, upload_form(b"uploaded")).stdout == reply(code), setup.__name__
        assert (victim.read_bytes(), stat.S_IMODE(victim.stat().st_mode)) == (b"secret", 0o644)
        assert not (root.tmp / "elsewhere").exists() or not os.listdir(root.tmp / "elsewhere")
        if code == 0:
            assert not root.target().is_symlink()
            assert root.target().read_bytes() == b"uploaded"
            assert sorted(os.listdir(upload_dir)) == ["firmware.bin"]
        elif upload_dir.is_dir() and not upload_dir.is_symlink():
            assert os.listdir(upload_dir) == []
    assert stat.S_IMODE(upload_dir.stat().st_mode) == 0o700   # created by the program


RACER = """
import os, sys, time
os.setgid(65534); os.setuid(65534)
end = time.monotonic() + float(sys.argv[1])
while time.monotonic() < end:
    for make in (lambda: os.symlink("/tmp/victim", "/tmp/upload"), lambda: os.mkfifo("/tmp/upload"),
                 lambda: (os.mkdir("/tmp/upload"), open("/tmp/upload/x", "w"))):
        try:
            make()
        except OSError:
            pass
"""


def test_upload_folder_made_at_boot(root):
    """/tmp/upload ends up root's folder, mode 0700, whatever a local user left
    under the name or keeps putting there while the script works; their links
    are never followed and nothing of root's is left behind."""
    script = ROOT / "packaging/openwrt/quil/files/quil-upload.init"
    program = root.program(FIRMWARE)
    nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups"
    boot = f'. "{script}"; validate_upload() {{ user=root; }}; UPLOAD_PROGRAM={program}; start'
    cases = ["", "mkdir -m 755 /tmp/upload", "chmod 777 /tmp/upload",
             f"{nobody} mkdir /tmp/upload", f"{nobody} ln -s /tmp/victim /tmp/upload",
             f"{nobody} mkfifo /tmp/upload", f"{nobody} touch /tmp/upload",
             f"{nobody} python3 -c '{RACER}' 20 & sleep 0.5"]
    runs = [c for c in cases for _ in range(20 if "python3" in c else 1)]
    (root.tmp / "victim").mkdir(mode=0o755)
    root.tmp.chmod(0o1777)
    for setup in runs:
        r = subprocess.run(root.wrap(["sh", "-c", f"rm -rf /tmp/upload; {setup}\n{boot}"]),
                           capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, (setup, r.stderr)
        made = root.tmp.joinpath("upload").lstat()
        assert (stat.S_ISDIR(made.st_mode), made.st_uid, stat.S_IMODE(made.st_mode)) == \
            (True, 0, 0o700), setup
        victim = root.tmp / "victim"
        assert (stat.S_IMODE(victim.stat().st_mode), os.listdir(victim)) == (0o755, []), setup
        left = [p.name for p in root.tmp.iterdir() if p.lstat().st_uid == 0]
        assert sorted(left) == ["bin", "upload", "victim"], setup


PLATFORM = ROOT.parent / "shared/platform/prefix"


@pytest.mark.skipif(not (PLATFORM / "sbin/ubusd").exists(), reason="no ../shared/platform")
def test_cgi_user_of_the_web_server_group_may_ask_the_platform_bus(root, workdir):
    """The platform's bus daemon shows the session service to a non-root peer
    only as an ACL file grants it: the package's file lets the web server's
    group (www-data) ask it, and nothing else."""
    root.sessions.stop()
    root.bus.stop()
    acl_dir = workdir / "acl.d"
    acl_dir.mkdir()
    shutil.copy(ROOT / "packaging/openwrt/quil/files/quil-upload.ubus-acl.json", acl_dir)
    shutil.rmtree(root.tmp / "upload")
    assert root.run([FIRMWARE, "--make-folder", "nobody"], b"").returncode == 0
    as_cgi_user = ["setpriv", "--reuid=65534", "--regid=33", "--clear-groups", FIRMWARE]
    for acl, code in ((acl_dir, 0), (workdir, -1006)):
        bus = Proc([PLATFORM / "sbin/ubusd", "-A", acl, "-s", root.bus.path], workdir / "pubusd.log",
                   env={"LD_LIBRARY_PATH": str(PLATFORM / "lib")})
        wait_for(lambda: os.path.exists(root.bus.path), what="the platform's bus socket")
        os.chmod(root.bus.path, 0o666)
        root.start_sessions()
        try:
            assert root.run(as_cgi_user, upload_form(b"by www-data")).stdout == reply(code), acl
        finally:
            root.sessions.stop()
            bus.stop()
            Path(root.bus.path).unlink(missing_ok=True)
    assert root.target().read_bytes() == b"by www-data"


def unread(fd):
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]


def feed(root, program, pieces, content_type="multipart/form-data; boundary=XyZb0undary",
         content_length=None):
    """Runs the program with the pieces written one at a time to a pipe, each
    only after the program has taken the one before (so every read() ends where
    a piece ends). Returns (reply, whether every byte was taken)."""
    env = {"PATH": os.environ["PATH"], "REQUEST_METHOD": "POST", "CONTENT_TYPE": content_type}
    if content_length is not None:
        env["CONTENT_LENGTH"] = str(content_length)
    p = subprocess.Popen(root.wrap([program]), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         env=env)
    fd = p.stdin.fileno()
    taken = True
    try:
        for piece in pieces:
            p.stdin.write(piece)
            p.stdin.flush()
            wait_for(lambda: unread(fd) == 0 or p.poll() is not None, timeout=30,
                     step=0.0005, what="the program to take a piece")
    except BrokenPipeError:
        taken = False
    taken = taken and unread(fd) == 0
    p.stdin.close()
    out = p.stdout.read()
    p.wait(30)
    return out, taken


def test_every_split_of_a_body_gives_the_same_reply(root):
    # Two pieces cut anywhere, as TCP segments or the server's buffers may cut them.
    bodies = [upload_form(b"a\r\nb"),
              form([('form-data; filename="f"; name="sessionid"', TEST_SESSION.encode()),
                    ('form-data; name="filedata"; filename="f.bin"', b"c")])]
    for body in bodies:
        for cut in range(1, len(body)):
            assert feed(root, FIRMWARE, [body[:cut], body[cut:]]) == (reply(0), True), \
                body[:cut]
            assert root.target().read_bytes() in (b"a\r\nb", b"c")


def test_received_bytes_are_counted_against_the_limit(root):
    root.target("upload.tar.gz").write_bytes(b"previous")
    limit = 8 << 20
    at_limit = upload_form(b"L" * limit)
    over = upload_form(b"O" * (limit + 1))
    for content_length in (None, 1000, len(at_limit)):
        assert feed(root, ARCHIVE, [over], content_length=content_length) == (reply(-7001), True)
        assert root.target("upload.tar.gz").read_bytes() == b"previous"
    assert feed(root, ARCHIVE, [at_limit]) == (reply(0), True)
    assert root.target("upload.tar.gz").stat().st_size == limit
    assert sorted(os.listdir(root.tmp / "upload")) == ["upload.tar.gz"]


def test_request_body_is_read_to_the_end(root):
    # Whatever the answer, a body that ends soon after it is taken whole: a
    # server that writes the whole body before reading the answer must not find
    # the pipe closed.
    tail = b"epilogue" * 7000
    cases = [
        (upload_form(b"x") + tail, {}, 0),
        (form([('form-data; name="filedata"', b"x")]) + tail, {}, -1006),
        (upload_form(b"x", session=b"f" * 32) + tail, {}, -1006),
        (upload_form(b"x" * (8 << 20) + b"x" * 50000), {"content_length": 1}, -7001),
        (upload_form(b"x") + tail, {"content_length": 1 << 30}, -7001),
        (upload_form(b"x") + tail, {"content_type": "text/plain"}, -7002),
        (b"garbage" + tail, {}, -7002),
    ]
    for body, kw, code in cases:
        assert feed(root, ARCHIVE, [body], **kw) == (reply(code), True), (code, kw)


def test_concurrent_uploads_never_mix(root):
    size = 32 << 20
    contents = [b"A" * size, b"B" * size]
    head, tail = [], []
    for c in contents:
        body = upload_form(c)
        head.append(body[:-2000])
        tail.append(body[-2000:])
    env = {"PATH": os.environ["PATH"], "CONTENT_TYPE": "multipart/form-data; boundary=XyZb0undary"}
    for _ in range(3):
        procs = [subprocess.Popen(root.wrap([FIRMWARE]), stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, env=env) for _ in contents]
        for p, h in zip(procs, head):
            p.stdin.write(h)
            p.stdin.flush()
        for p, t in zip(procs, tail):   # both part ends arrive together
            p.stdin.write(t)
        for p in procs:
            p.stdin.close()
        assert [p.stdout.read() for p in procs] == [reply(0), reply(0)]
        for p in procs:
            p.wait(30)
        assert root.target().read_bytes() in contents
        assert os.listdir(root.tmp / "upload") == ["firmware.bin"]


@pytest.fixture
def web(workdir):
    w = WebServer(workdir, [FIRMWARE, ARCHIVE])
    yield w
    w.stop()


def test_web_server_uploads(web, workdir):
    target = web.uploads.target()
    for size in (1, 1 << 20, 60 << 20):
        f = workdir / f"file-{size}"
        data = os.urandom(size)
        f.write_bytes(data)
        assert web.curl("upload-firmware", f) == json_reply(0)
        assert target.read_bytes() == data
        f.unlink()

    empty = workdir / "empty"
    empty.write_bytes(b"")
    assert web.curl("upload-firmware", empty) == json_reply(-7003)

    # The limit is on the file: curl's framing on top of exactly 8 MiB is allowed.
    archive = web.uploads.target("upload.tar.gz")
    big = workdir / "big"
    big.write_bytes(os.urandom(8 << 20))
    assert web.curl("upload-archive", big) == json_reply(0)
    assert archive.read_bytes() == big.read_bytes()
    big.write_bytes(os.urandom((8 << 20) + 1))
    assert web.curl("upload-archive", big) == json_reply(-7001)
    assert archive.stat().st_size == 8 << 20


def test_web_request_cut_off_leaves_target(web, workdir):
    target = web.uploads.target()
    target.write_bytes(b"previous")
    body = upload_form(os.urandom(1 << 20))
    head = (f"POST /cgi-bin/upload-firmware HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            f"Content-Type: multipart/form-data; boundary=XyZb0undary\r\n"
            f"Content-Length: {len(body)}\r\n\r\n").encode()
    s = socket.create_connection(("127.0.0.1", web.port))
    s.sendall(head + body[:len(body) // 2])
    s.close()
    # The server notices and drops the request; a later one is served normally.
    f = workdir / "after"
    f.write_bytes(b"after")
    wait_for(lambda: web.accepting(), what="server still serving")
    assert target.read_bytes() == b"previous"
    assert web.curl("upload-firmware", f) == json_reply(0)
    assert target.read_bytes() == b"after"


PAGE = ROOT / "examples/www/upload.html"
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                  "--disable-background-networking", "--disable-component-update",
                  "--disable-sync", "--disable-dev-shm-usage"]


@pytest.fixture
def browser(workdir):
    """Headless chromium driven through chromedriver, with a profile of its own."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in CHROMIUM_FLAGS + [f"--user-data-dir={workdir / 'chromium-profile'}"]:
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver",
                                              log_path=str(workdir / "chromedriver.log")),
                              options=options)
    yield driver
    driver.quit()


def log_in_page(browser, password):
    """Logs in on the page; returns the login form's message ("" once in)."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    browser.find_element(By.ID, "password").clear()
    browser.find_element(By.ID, "password").send_keys(password)
    browser.find_element(By.ID, "loginbutton").click()
    WebDriverWait(browser, 60).until(
        lambda b: b.find_element(By.ID, "upload").is_displayed()
        or b.find_element(By.ID, "loginresult").text)
    return browser.find_element(By.ID, "loginresult").text


def upload_in_page(browser, program, path):
    """Returns the answer shown (in the login form after -1006) and the progress."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import Select, WebDriverWait
    Select(browser.find_element(By.ID, "program")).select_by_value(program)
    browser.find_element(By.ID, "filedata").send_keys(str(path))
    browser.execute_script('document.getElementById("result").className = "";')
    browser.find_element(By.ID, "send").click()
    WebDriverWait(browser, 60).until(
        lambda b: b.find_element(By.ID, "result").get_attribute("class") in ("ok", "failed"))
    shown = "loginresult" if browser.find_element(By.ID, "login").is_displayed() else "result"
    return (browser.find_element(By.ID, shown).text,
            browser.find_element(By.ID, "progress").get_attribute("value"))


def test_browser_uploads_through_the_page(web, browser, workdir):
    from harness import ADMIN_PASSWORD
    shutil.copy(PAGE, web.uploads.tmp / "www/upload.html")
    browser.get(f"http://127.0.0.1:{web.port}/upload.html")
    assert log_in_page(browser, "wrong") == "Login refused: wrong user name or password."
    assert log_in_page(browser, ADMIN_PASSWORD) == ""

    firmware = workdir / "firmware image.bin"
    data = os.urandom(8 << 20)
    firmware.write_bytes(data)
    text, progress = upload_in_page(browser, "upload-firmware", firmware)
    assert (text, progress) == ("The file was stored. (errcode 0)", "100")
    assert web.uploads.target().read_bytes() == data

    archive = workdir / "too big.tar.gz"
    archive.write_bytes(os.urandom((8 << 20) + 1))
    text, _ = upload_in_page(browser, "upload-archive", archive)
    assert text == "The file is larger than this kind of upload allows. (errcode -7001)"
    assert not web.uploads.target("upload.tar.gz").exists()

    # The session ends (logged out elsewhere, or expired): the page asks for a login.
    session = browser.execute_script("return session;")
    web.uploads.ubus("call", "session", "destroy", json.dumps({"ubus_rpc_session": session}))
    small = workdir / "small.bin"
    small.write_bytes(b"small")
    text, _ = upload_in_page(browser, "upload-firmware", small)
    assert text == "Your session has expired \u2014 log in again. (errcode -1006)"
    assert web.uploads.target().read_bytes() == data

    # A user whose rights hold no upload is told so, not sent to log in again.
    from harness import ADMIN_USER, SESSION_SERVICE, Proc
    no_upload = workdir / "no-upload.json"
    no_upload.write_text('{"other": {"description": "d", "read": {"ubus": {"x": ["y"]}}}}')
    web.uploads.sessions.stop()
    web.uploads.sessions = Proc([SESSION_SERVICE, "-s", web.uploads.bus.path, "-u", ADMIN_USER,
                                 "-p", ADMIN_PASSWORD, "-a", no_upload], workdir / "session2.log")
    web.uploads.sessions.wait_output("add_object: 0")
    assert log_in_page(browser, ADMIN_PASSWORD) == ""
    text, _ = upload_in_page(browser, "upload-firmware", small)
    assert text == ("This user has no right to upload upload-firmware (it needs the ACL group "
                    "quil-upload). (errcode -1006)")
    assert browser.find_element("id", "upload").is_displayed()

    # Another site's page posts a form to the router in the user's browser.
    (web.uploads.tmp / "www/other-site.html").write_text(
        f'<form id="f" method="post" enctype="multipart/form-data" '
        f'action="http://127.0.0.1:{web.port}/cgi-bin/upload-firmware">'
        f'<input name="sessionid" value="{session}"><textarea name="filedata">evil</textarea>'
        f'</form><script>document.getElementById("f").submit();</script>')
    browser.get(f"http://localhost:{web.port}/other-site.html")
    from selenium.webdriver.support.ui import WebDriverWait
    WebDriverWait(browser, 60).until(lambda b: "errcode" in b.page_source)
    assert '"errcode": -1006' in browser.page_source
    assert web.uploads.target().read_bytes() == data
