"""The upload CGI programs run directly (environment and standard input) in a
private /tmp, and behind a real web server."""
import os
import socket
import stat

import pytest

from harness import BUILD, wait_for
from harness import (UPLOAD_ARCHIVE, UPLOAD_FIRMWARE, UploadRoot, WebServer, form, reply,
                     upload_form)

FIRMWARE = BUILD / UPLOAD_FIRMWARE
ARCHIVE = BUILD / UPLOAD_ARCHIVE
TRICKY = (b"line\r\nwith CR LF\r\n--XyZb0undar\r\n--XyZb0undarX lone\rCR \r\r\n-- and "
          + bytes(range(256)) + b"\r")


@pytest.fixture
def root(workdir):
    return UploadRoot(workdir)


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


def test_content_length_limit(root):
    body = upload_form(b"x")
    for program, limit in ((FIRMWARE, 64 << 20), (ARCHIVE, 8 << 20)):
        assert root.run(program, body, content_length=str(limit)).stdout == reply(0)
        assert root.run(program, body, content_length=str(limit + 1)).stdout == reply(-7001)
    assert root.run(FIRMWARE, body, content_length="-1").stdout == reply(-7001)
    assert root.run(FIRMWARE, body, content_length="abc").stdout == reply(0)
    assert root.run(FIRMWARE, body, content_length=None).stdout == reply(0)


def test_content_type_checks(root):
    body = upload_form(b"x")
    assert root.run(FIRMWARE, body, content_type=None).stdout == reply(-7002)
    assert root.run(FIRMWARE, body, content_type="Multipart/form-data; boundary=XyZb0undary"
                    ).stdout == reply(-7002)
    assert root.run(FIRMWARE, body, content_type="multipart/form-data;").stdout == reply(-7002)
    assert root.run(FIRMWARE, body, content_type="multipart/form-data;boundary=XyZb0undary"
                    ).stdout == reply(0)
    # The first '=' may belong to another parameter: no match, no reply at all.
    r = root.run(FIRMWARE, body,
                 content_type="multipart/form-data; charset=utf-8; boundary=XyZb0undary")
    assert (r.returncode, r.stdout) == (0, b"")
    # Quotes stay part of the boundary.
    quoted = 'multipart/form-data; boundary="XyZb0undary"'
    assert root.run(FIRMWARE, body, content_type=quoted).stdout == b""
    assert root.run(FIRMWARE, upload_form(b"q", boundary='"XyZb0undary"'),
                    content_type=quoted).stdout == reply(0)


def test_session_and_field_rules(root):
    file_first = form([('form-data; name="filedata"', b"x"), ('form-data; name="sessionid"', b"s")])
    assert root.run(FIRMWARE, file_first).stdout == reply(-1006)
    assert root.run(FIRMWARE, upload_form(b"x", session=b"")).stdout == reply(0)

    prefixes = form([('form-data; name="session"', b"s"), ('form-data; name="file"', b"p")])
    assert root.run(FIRMWARE, prefixes).stdout == reply(0)
    assert root.target().read_bytes() == b"p"
    empty_name = form([('form-data; name="sessionid"', b"s"), ('form-data; name=""; filename="e"', b"e")])
    assert root.run(FIRMWARE, empty_name).stdout == reply(0)
    assert root.target().read_bytes() == b"e"

    wrong_case = form([('form-data; name="SessionID"', b"s"), ('form-data; name="filedata"', b"x")])
    assert root.run(FIRMWARE, wrong_case).stdout == reply(-1006)
    filename_first = form([('form-data; name="sessionid"', b"s"),
                           ('form-data; filename="a"; name="filedata"', b"x")])
    assert root.run(FIRMWARE, filename_first).stdout == b""
    other_parts = form([('form-data; name="other"', b"o"), ('form-data; name="sessionid"', b"s"),
                        ('form-data; name="filedata"', b"last")])
    assert root.run(FIRMWARE, other_parts).stdout == reply(0)
    assert root.target().read_bytes() == b"last"


def test_empty_file_and_broken_bodies_leave_target_alone(root):
    root.target().write_bytes(b"previous")
    assert root.run(FIRMWARE, upload_form(b"")).stdout == reply(-7003)
    body = upload_form(b"A" * 100000)
    for cut in (10, len(body) // 2, len(body) - 20):
        r = root.run(FIRMWARE, body[:cut])
        assert (r.returncode, r.stdout) == (0, b"")
    assert root.run(FIRMWARE, b"").stdout == b""
    assert root.run(FIRMWARE, b"garbage" + body).stdout == b""
    assert root.target().read_bytes() == b"previous"


def test_storage_failures(root):
    os.rmdir(root.tmp / "upload")
    assert root.run(FIRMWARE, upload_form(b"x")).stdout == reply(-7004)

    # The target's filesystem fills up during the copy: the partial target goes.
    (root.tmp / "upload").mkdir()
    root.setup.append("mount -t tmpfs -o size=64k tmpfs /tmp/upload")
    root.setup.append("echo previous > /tmp/upload/firmware.bin")
    then_look = ["sh", "-c", f"{root.program(FIRMWARE)}; if [ -e /tmp/upload/firmware.bin ]; "
                 "then echo present >&2; else echo gone >&2; fi"]
    r = root.run(then_look, upload_form(os.urandom(300000)))
    assert (r.stdout, r.stderr) == (reply(-7004), b"gone\n")


@pytest.mark.parametrize("fault", ["copy-eio", "read-eio"])
def test_failing_temporary_file_is_a_failed_upload(root, fault):
    # A read error while copying must not store a short file as complete.
    root.target().write_bytes(b"previous")
    shim = root.program(BUILD / "tests/system/libstorage_faults.so")
    env_run = ["env", f"QUIL_FAULT={fault}", f"LD_PRELOAD={shim}", FIRMWARE]
    r = root.run(env_run, upload_form(os.urandom(100000)))
    assert r.stdout == reply(-7004)
    assert not root.target().exists()


def test_request_body_is_read_to_the_end(root):
    # After a reply the rest of the body is still consumed, so a server that
    # writes the whole body first never blocks on a full pipe.
    body = upload_form(b"x") + b"epilogue" * 200000
    r = root.run(FIRMWARE, body, content_length=None)
    assert r.stdout == reply(0)


@pytest.fixture
def web(workdir):
    w = WebServer(workdir, [FIRMWARE, ARCHIVE])
    yield w
    w.stop()


def json_reply(code):
    return f'{{ "errcode": {code} }}\r\n\r\n'.encode()


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

    big = workdir / "big"
    big.write_bytes(os.urandom((8 << 20) + 1))
    assert web.curl("upload-archive", big) == json_reply(-7001)
    assert not web.uploads.target("upload.tar.gz").exists()


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
