"""quilac to a broker over TLS with a password file: certificates made with
openssl (harness.make_certs), a mosquitto with a TLS listener beside its plain
one (the tests' own clients use the plain one)."""
import os
import shutil
import signal
import subprocess

import pytest

from harness import CLIENT_ID, free_port, make_certs, tls_listener, wait_for

PASSWORD = "s3cret pass"


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    d = make_certs(tmp_path_factory.mktemp("certs"))
    subprocess.run(["openssl", "ec", "-in", d / "client.key", "-aes256", "-passout", "pass:pw",
                    "-out", d / "client-encrypted.key"], check=True, capture_output=True)
    (d / "client-encrypted.key").chmod(0o600)
    return d


def secret(path, text):
    path.write_text(text + "\n")
    path.chmod(0o600)
    return path


def tls_broker(broker_factory, certs, server="server", require_cert=True, running=True):
    """A broker whose plain listener (port) is for the tests and whose TLS
    listener (tls_port) is for quilac; started unless `running` is false."""
    b = broker_factory(password_override=PASSWORD)
    b.tls_port = free_port()
    b.base_conf = b.conf.read_text()
    set_tls(b, certs, server, require_cert)
    return b.start() if running else b


def set_tls(b, certs, server="server", require_cert=True):
    b.conf.write_text(b.base_conf + tls_listener(certs, b.tls_port, server, require_cert))


def start_tls_quilac(quilac_factory, broker, workdir, certs, ca="ca.crt", client_cert=True,
                     password=PASSWORD, key="client.key"):
    ca_file = workdir / "ca.pem"
    shutil.copy(certs / ca, ca_file)
    extra = ["-P", secret(workdir / "password", password), "-C", ca_file]
    if client_cert:
        key_file = workdir / "client.key"
        shutil.copy(certs / key, key_file)
        shutil.copy(certs / "client.crt", workdir / "client.crt")
        extra += ["-E", workdir / "client.crt", "-K", key_file]
    return quilac_factory(broker.tls_port, extra=extra)


def session_up(q, timeout=20):
    q.wait_output("subscribed (mid: 3)", timeout=timeout)


def test_session_over_tls_with_password_file(broker_factory, certs, sandbox, quilac_factory,
                                             workdir):
    sandbox.start_bus()
    broker = tls_broker(broker_factory, certs, running=False)
    q = start_tls_quilac(quilac_factory, broker, workdir, certs)
    wait_for(lambda: q.call("info").returncode == 0, what="bus object")
    # Every attempt looks at the files again: a FIFO put in place of one
    # (whose opening would block the daemon) stops only that attempt.
    for name in ("ca.pem", "client.crt", "client.key"):
        path = workdir / name
        os.mkfifo(workdir / "fifo")
        os.link(path, workdir / "saved")
        os.replace(workdir / "fifo", path)
        q.wait_output(f"mqtt credentials or TLS not set, 127.0.0.1:{broker.tls_port}: "
                      f"tls file {path}: not a regular file", timeout=15)
        assert q.call("info").returncode == 0
        os.replace(workdir / "saved", path)
    broker.start()
    session_up(q)
    assert "Invalid function arguments" not in q.output()
    assert f"as {CLIENT_ID} (p5, c0, k30, u'root')" in broker.output()
    assert PASSWORD not in q.output()               # the secret is never logged
    assert f"info: use {CLIENT_ID}/(password file) as client id" in q.output()
    info = q.call("info").stdout
    assert '"status":"connected"' in info and '"tls":true' in info
    broker.sub("rpc/#", workdir / "rpc.log")
    q.call("pub", '{"id":"AP-1","msg":"over tls"}')
    wait_for(lambda: "rpc/AP-1|over tls" in (workdir / "rpc.log").read_text(), what="reply")


def fix_ca(q, broker, workdir, certs):
    shutil.copy(certs / "ca.crt", workdir / "ca.pem")    # read again at every attempt


def fix_key(q, broker, workdir, certs):
    shutil.copy(certs / "client.key", workdir / "client.key")


def restart_broker(broker, certs):
    """Back with the right server certificate, a client certificate no longer required."""
    broker.stop()
    set_tls(broker, certs, require_cert=False)
    broker.start()


def fix_password(q, broker, workdir, certs):
    subprocess.run(["mosquitto_passwd", "-b", broker.passwd, "root", "a new one"], check=True)
    broker.proc.p.send_signal(signal.SIGHUP)            # the broker reads its passwords again


# What is wrong, what quilac logs about it (at level 0, with the library's
# reason and the broker's address), and how the peer or the files are put right while quilac keeps trying.
HANDSHAKE = "tls handshake with mqtt server failed ({at}: OpenSSL Error"
REFUSALS = {
    "wrong CA": (dict(ca="other-ca.crt"), {}, (HANDSHAKE, "certificate verify failed"), fix_ca),
    "another name": ({}, dict(server="elsewhere"), (HANDSHAKE, "certificate verify failed"),
                     lambda q, b, w, c: restart_broker(b, c)),
    # an address given with -b is matched only against the certificate's IP entries
    "address as common name": ({}, dict(server="address-as-cn"),
                               (HANDSHAKE, "certificate verify failed"),
                               lambda q, b, w, c: restart_broker(b, c)),
    "address as DNS entry": ({}, dict(server="address-as-dns"),
                             (HANDSHAKE, "certificate verify failed"),
                             lambda q, b, w, c: restart_broker(b, c)),
    "no client certificate": (dict(client_cert=False), {}, (HANDSHAKE, "certificate required"),
                              lambda q, b, w, c: restart_broker(b, c)),
    # no passphrase is asked for (a prompt would hold the loop and take SIGTERM)
    "encrypted key": (dict(key="client-encrypted.key"), {},
                      ('mqtt credentials or TLS not set, {at}: tls key cannot be loaded: ',),
                      fix_key),
    # refused at the TCP level: the library would wait for the keep-alive
    "broker not listening": ({}, dict(running=False), ("tls handshake with mqtt server failed ({at}: Connection refused)",),
                             lambda q, b, w, c: b.start()),
    "wrong password": (dict(password="a new one"), {},
                       ("connect to mqtt server error ({at}: Not authorized)",),
                       fix_password),
}


@pytest.mark.parametrize("case", REFUSALS)
def test_refused_link_is_logged_retried_and_heals(case, broker_factory, certs, sandbox,
                                                  quilac_factory, workdir):
    quilac_args, broker_args, texts, fix = REFUSALS[case]
    sandbox.start_bus()
    broker = tls_broker(broker_factory, certs, **broker_args)
    q = start_tls_quilac(quilac_factory, broker, workdir, certs, **quilac_args)
    for text in texts:
        q.wait_output(text.format(at=f"127.0.0.1:{broker.tls_port}"), timeout=10)
    # tried again like any refused connection
    q.wait_output("try reconnect to mqtt server", timeout=10)
    assert "subscribed" not in q.output() and "pass phrase" not in q.output()
    assert '"status":"connected"' not in q.call("info").stdout
    fix(q, broker, workdir, certs)
    session_up(q, timeout=30)
    assert q.proc.p.poll() is None
    assert '"status":"connected"' in q.call("info").stdout
