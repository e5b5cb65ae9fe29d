"""The OpenWrt init scripts: valid shell, and the command lines they give for
sample configurations (UCI and procd replaced by stand-ins)."""
import re
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
FILES = ROOT / "packaging/openwrt/quil/files"
STUBS = Path(__file__).resolve().parent / "data/uci_stubs.sh"


def start_service(name, config, workdir):
    """The procd calls /etc/init.d/NAME makes for /etc/config/NAME = config."""
    (workdir / name).write_text(config)
    r = subprocess.run(["sh", "-c", f'. "{STUBS}"; . "{FILES / (name + ".init")}"; start_service'],
                       env={"UCI_CONFIG_DIR": str(workdir), "PATH": "/usr/bin:/bin"},
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    return r.stdout.splitlines()


@pytest.mark.parametrize("script", ["quilac.init", "quildis.init", "quil-upload.init", "quilapi"])
def test_scripts_parse(script):
    assert subprocess.run(["sh", "-n", str(FILES / script)]).returncode == 0


def test_shipped_configs_give_defaults(workdir):
    config = (FILES / "quilac.config").read_text().replace("client_id ''", "client_id 'AC-01'")
    assert start_service("quilac", config, workdir)[:2] == [
        "open", "set command /usr/sbin/quilac -b localhost -p 1883 -i AC-01 -l 3 -w 8 -q 4096 -t 60 -D 20"]
    # the network 'lan' is not up here: said once, nothing started
    config = (FILES / "quildis.config").read_text()
    assert start_service("quildis", config, workdir) == [
        "logger -t quildis -p daemon.notice interface lan is not up: starts when it comes up"]
    config = config.replace("interface 'lan'", "interface 'lo'")
    # an AP announces nothing: no -P, -p
    assert start_service("quildis", config, workdir)[:4] == [
        "open", "set command /usr/sbin/quildis -f -i lo -t 60", "append command -c",
        "set netdev lo"]


def test_ap_configuration(workdir):
    config = ("config bridge 'bridge'\n\toption broker 'ac.lan'\n\toption port '8883'\n"
              "\toption client_id 'AP 7'\n\toption log_level '4'\n"
              "\toption workers '3'\n\toption queue_kib '512'\n\toption time_limit '0'\n")
    out = start_service("quilac", config, workdir)
    assert out[1] == "set command /usr/sbin/quilac -b ac.lan -p 8883 -i AP 7 -l 4 -w 3 -q 512 -t 0 -D 20"
    assert "set term_timeout 25" in out
    config = ("config discovery 'discovery'\n\toption mode 'ap'\n\toption interface 'lo'\n"
              "\toption time_limit '5'\n\tlist ac_address '10.1.0.1'\n\tlist ac_address '10.2.0.1'\n"
              f"\toption key_file '{workdir}/key'\n")
    (workdir / "key").write_text("x")
    (workdir / "key").chmod(0o600)
    out = start_service("quildis", config, workdir)
    assert out[1:7] == ["set command /usr/sbin/quildis -f -i lo -t 5", "append command -c",
                        "append command -a 10.1.0.1", "append command -a 10.2.0.1",
                        f"append command -k {workdir}/key", f"set file {workdir}/key"]
    assert "set respawn 60 5 5" in out and out[-1] == "close"
    assert start_service("quildis", config.replace("'ap'", "'ac'") + "\toption enabled '0'\n",
                         workdir) == []


def test_group_and_a_list_of_brokers(workdir):
    config = ("config bridge 'bridge'\n\toption client_id 'AC'\n\tlist broker 'n1:1884'\n"
              "\tlist broker 'n2'\n\tlist broker '[fd00::3]:1885'\n\toption group 'site1'\n"
              "\toption drain_limit '40'\n")
    out = start_service("quilac", config, workdir)
    assert out[1].startswith("set command /usr/sbin/quilac -b n1:1884 -p 1883 -i AC ")
    assert out[1].endswith(" -D 40")
    assert out[2:5] == ["append command -b n2", "append command -b [fd00::3]:1885",
                        "append command -g site1"]
    assert "set term_timeout 45" in out


def test_broker_credentials_and_tls(workdir):
    for name in ("pw", "ca.crt", "client.crt", "client.key"):
        (workdir / name).write_text("x")
        (workdir / name).chmod(0o600)
    config = ("config bridge 'bridge'\n\toption client_id 'AC'\n\toption username 'ac-1'\n"
              f"\toption password_file '{workdir}/pw'\n\toption ca_file '{workdir}/ca.crt'\n"
              f"\toption cert_file '{workdir}/client.crt'\n"
              f"\toption key_file '{workdir}/client.key'\n")
    out = start_service("quilac", config, workdir)
    assert out[2:11] == [
        "append command -u ac-1", f"append command -P {workdir}/pw",
        f"append command -C {workdir}/ca.crt", f"append command -E {workdir}/client.crt",
        f"append command -K {workdir}/client.key",
        f"append file {workdir}/pw", f"append file {workdir}/ca.crt",
        f"append file {workdir}/client.crt", f"append file {workdir}/client.key"]


def conffiles(package):
    text = (FILES.parent / "Makefile").read_text()
    m = re.search(rf"^define Package/{package}/conffiles\n(.*?)^endef", text, re.M | re.S)
    return m.group(1) if m else ""


def test_every_file_an_operator_makes_is_kept_over_upgrades():
    """...and no packaged file, which an upgrade would put back over its new
    version."""
    kept = set()
    for name in ("quilac", "quildis", "quilapi"):
        kept |= set(conffiles(name).split())
        kept |= set((FILES / f"{name}.keep").read_text().split())

    def is_kept(path):
        return path in kept or any(path.startswith(d) for d in kept if d.endswith("/"))
    for path in ("/etc/config/quilac", "/etc/config/quildis", "/etc/quil/quildis.key",
                 "/etc/quil/quilac.password", "/etc/quil/ca.crt", "/usr/lib/quilapi.d/50-mine",
                 "/etc/mosquitto/passwd", "/etc/mosquitto/acl", "/etc/mosquitto/conf.d/lan.conf"):
        assert is_kept(path), path
    for path in ("/etc/hotplug.d/quildis/10-log", "/etc/hotplug.d/quilac/10-log",
                 "/etc/mosquitto/conf.d/quilac.conf"):
        assert not is_kept(path), path
