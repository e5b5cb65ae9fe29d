"""The packages as a router runs them: each role's packages installed into a
root by the package Makefile's own install steps, the programs built against
the platform's libraries, the init scripts run under the platform's procd,
ubusd, uci, rpcd and logd (../shared/platform; skipped where it is absent)."""
import base64
import json
import os
import re
import shlex
import shutil
import subprocess
from pathlib import Path

import pytest

from harness import BUILD, CLIENT_ID, QUILAC_SIGNATURES, ROOT

PLATFORM = ROOT.parent / "shared/platform"
PACKAGE = ROOT / "packaging/openwrt/quil"

pytestmark = pytest.mark.skipif(
    not (PLATFORM / "run-root").is_file() or not Path("/usr/bin/busybox").is_file(),
    reason="needs ../shared/platform and busybox")

# The network functions of a router, where netifd gives `lan` its device once
# that is up; the platform has no netifd.
NETWORK_SH = """network_get_device() {
	[ "$2" = lan ] && [ -d /sys/class/net/br-lan ] && eval "$1=br-lan"
}
"""

# In-root helpers: `wait_for SECONDS CONDITION`, `section NAME` starts a part
# of the output that the test reads back, `instance NAME` prints a service's
# first instance as procd has it.
HELPERS = """
wait_for() {
	local n=$(($1 * 10)); shift
	while ! eval "$*" >/dev/null 2>&1; do
		n=$((n - 1)); [ $n -gt 0 ] || { echo "timed out: $*"; return 1; }; sleep 0.1
	done
}
section() { printf '\\n@@ %s\\n' "$1"; }
instance() { ubus call service list "{\\"name\\":\\"$1\\"}"; }
pid_of() { instance "$1" | sed -n 's/.*"pid": \\([0-9]*\\).*/\\1/p'; }
add_lan() {
	ip link add br-lan type bridge && ip addr add 192.168.1.1/24 dev br-lan && ip link set br-lan up
}
"""


@pytest.fixture(scope="module")
def stage():
    """The programs built against the platform's libraries and installed as
    the package build does (into a staging folder)."""
    build, stage = BUILD / "platform", BUILD / "platform/stage"
    steps = [["cmake", "-S", ROOT, "-B", build, "-DUSE_HOSTLIB=OFF", "-DBUILD_TESTS=OFF",
              "-DBUILD_BENCH=OFF", "-DCMAKE_BUILD_TYPE=MinSizeRel", "-DCMAKE_INSTALL_PREFIX=/usr",
              f"-DCMAKE_PREFIX_PATH={PLATFORM / 'prefix'}", "-DCGI_INSTALL_DIR=/www/cgi-bin"],
             ["cmake", "--build", build, "-j2"],
             ["cmake", "--install", build]]
    for step in steps:
        r = subprocess.run(step, env=dict(os.environ, DESTDIR=str(stage)),
                           capture_output=True, text=True)
        assert r.returncode == 0, r.stdout + r.stderr
    return stage


def makefile_section(name):
    text = (PACKAGE / "Makefile").read_text()
    m = re.search(rf"^define Package/{re.escape(name)}\n(.*?)^endef", text, re.M | re.S)
    return m.group(1) if m else ""


def install(root, stage, *packages):
    """Runs each package's install steps from the Makefile into `root`."""
    tools = {"$(1)": str(root), "$(INSTALL_DIR)": "install -d -m0755",
             "$(INSTALL_BIN)": "install -m0755", "$(INSTALL_CONF)": "install -m0600",
             "$(INSTALL_DATA)": "install -m0644", "$(PKG_INSTALL_DIR)": str(stage),
             "$(PKG_BUILD_DIR)": str(ROOT), "$(CP)": "cp -fpR"}
    for name in packages:
        steps = makefile_section(f"{name}/install")
        for make_name, value in tools.items():
            steps = steps.replace(make_name, value)
        assert steps and "$(" not in steps, name
        subprocess.run(["sh", "-ec", steps], cwd=PACKAGE, check=True)


@pytest.fixture
def router(workdir):
    """A root made by the platform's mkroot, with the network functions."""
    root = workdir / "root"
    subprocess.run([PLATFORM / "mkroot", root], check=True, capture_output=True)
    (root / "lib/functions/network.sh").write_text(NETWORK_SH)
    return root


def run_root(root, script, logs):
    r = subprocess.run([PLATFORM / "run-root", root, HELPERS + script],
                       env=dict(os.environ, RUN_ROOT_TIMEOUT="240", RUN_ROOT_LOGS=str(logs)),
                       capture_output=True, text=True, errors="replace", timeout=400)
    if r.returncode == 125:
        pytest.skip(f"the platform does not come up here: {r.stderr[-300:]}")
    assert r.returncode == 0, r.stdout[-3000:] + r.stderr[-3000:]
    parts = re.split(r"^@@ (\S+)\n", r.stdout, flags=re.M)
    return dict(zip(parts[1::2], parts[2::2]))


def command_of(service_list, name):
    return json.loads(service_list)[name]["instances"]["instance1"]["command"]


def copy_broker(root):
    """The host's mosquitto and its clients; their libraries come with the
    platform's binding of the host's library folder."""
    for path in ("/usr/sbin/mosquitto", "/usr/bin/mosquitto_pub", "/usr/bin/mosquitto_sub"):
        shutil.copy(path, root / path.lstrip("/"))
    (root / "etc/mosquitto.conf").write_text(
        "listener 1883 127.0.0.1\nallow_anonymous true\nuser root\n")


HOSTILE_PAYLOADS = [
    "plain",
    "double \" and single ' quotes, \"unclosed",
    "back\\slashes \\\\ \\n \\u0041 \\",
    "line one\nline two\n\nlast\n",
    "$(touch /tmp/pwned) `touch /tmp/pwned` ${HOME} $$ ; touch /tmp/pwned",
    "{\"json\": [1, 2], \"in\": \"json\"}",
    "".join(chr(32 + i % 95) for i in range(100 * 1024)),
]

# A device script as an operator adds one: keeps each payload and answers.
RECORDER = """#!/bin/sh
f=$(mktemp /tmp/got/XXXXXX)
printf '%s' "$PAYLOAD" > "$f"
echo "reply/$DEVICE"
echo "ok $DEVICE"
"""


def test_controller_install(router, stage, workdir):
    install(router, stage, "quilapi", "quilac", "quildis", "quil-upload")
    copy_broker(router)
    payloads = router / "root/payloads"
    payloads.mkdir(parents=True)
    for i, p in enumerate(HOSTILE_PAYLOADS):
        (payloads / f"{i}").write_text(p)
    script = router / "usr/lib/quilapi.d/50-record"
    script.write_text(RECORDER)
    script.chmod(0o755)
    n = len(HOSTILE_PAYLOADS)

    out = run_root(router, f"""
mosquitto -c /etc/mosquitto.conf -d
section broker-include
run_defaults() {{ for s in /etc/uci-defaults/*; do (. "$s") && rm -f "$s"; done; ls /etc/uci-defaults; }}
run_defaults
echo '# the broker' > /etc/mosquitto/mosquitto.conf
run_defaults && run_defaults && cat /etc/mosquitto/mosquitto.conf
section no-client-id
/etc/init.d/quilac start 2>&1
logread -e quilac
instance quilac
section api-without-bridge
for i in 1 2 3; do quilapi mqtt '{{"topic":"upload/AP-9","payload":"x"}}'; done
quilapi mqtt 'not json'
rm /var/run/quilapi.warned
quilapi mqtt '{{"topic":"upload/AP\\nThu Jan  1 00:00:00 1970 daemon.err forged","payload":""}}'
logread -e quilapi
add_lan
for s in quilac quildis quil-upload; do /etc/init.d/$s enable; done
for s in /etc/rc.d/S*; do $s boot; done
wait_for 30 'ubus call quilac info | grep -q "\\"connected\\""'
wait_for 30 'pid_of quildis | grep -q .'
section rc
ubus call rc list
section upload-folder
stat -c '%A %U' /tmp/upload
section signatures
ubus -v list quilac
ubus -v list quildis
section services
ubus call service list

section replies
mkdir /tmp/got
mosquitto_sub -t 'reply/#' -v > /tmp/replies &
wait_for 30 'mosquitto_pub -t reply/probe -m up && grep -q "^reply/probe" /tmp/replies'
for i in $(seq 0 {n - 1}); do mosquitto_pub -q 1 -t upload/AP-000$i -f /root/payloads/$i; done
wait_for 60 '[ $(grep -c "^reply/AP" /tmp/replies) -ge {n} ]'
grep "^reply/AP" /tmp/replies | sort
section payloads
wait_for 30 '[ $(ls /tmp/got | wc -l) -ge {n} ]'
for i in $(seq 0 {n - 1}); do
	for f in /tmp/got/*; do cmp -s "$f" /root/payloads/$i && echo "same $i"; done
done
ls /tmp/pwned 2>&1
section registry
ubus call quilac get_client
section long-id
rm /var/run/quilapi.warned	# as if a minute had passed since quilapi's last warning
for i in 1 2; do mosquitto_pub -q 1 -t upload/AP-LONGER-THAN-A-KEY -m x; done
wait_for 30 '[ $(grep -c "^reply/AP-LONGER" /tmp/replies) -ge 2 ]'
logread -e 'AP-LONGER'
ubus call quilac get_client

section reload
uci set quilac.bridge.workers=3 && uci set quilac.bridge.group=site1
uci delete quilac.bridge.broker && uci add_list quilac.bridge.broker=localhost
uci add_list quilac.bridge.broker=127.0.0.1:1883 && uci commit quilac && reload_config
wait_for 30 'instance quilac | tr -d " \\t\\n" | grep -q "\\"-w\\",\\"3\\""' && echo reloaded
# until the restarted bridge, in the group, has it
wait_for 30 'ubus call quilac update_client "{{\\"id\\":\\"AP-9\\",\\"info\\":\\"in the group\\"}}" &&
	mosquitto_sub -t quilac/site1/client/AP-9 -C 1 -W 1 | grep -q group'
section group-registry
mosquitto_sub -t 'quilac/site1/client/#' -v -C 1 -W 10
section group-instance
instance quilac
section respawn
pid=$(pid_of quildis)
kill -9 $pid
wait_for 30 '[ -n "$(pid_of quildis)" ] && [ "$(pid_of quildis)" != $pid ]' && echo respawned
section log
logread
""", workdir / "logs")

    # tried again at each boot until the broker is installed, then once
    assert out["broker-include"].split() == [
        "90-quilac-mosquitto", "#", "the", "broker", "include_dir", "/etc/mosquitto/conf.d"]

    assert "not started: no client_id in /etc/config/quilac and no br-lan MAC" in \
        out["no-client-id"]
    assert "instances" not in out["no-client-id"]
    assert "can't open" not in out["no-client-id"]     # no br-lan: the log line only

    # said once, not once per report, and in the log, not on quilac's side of the pipe
    api = out["api-without-bridge"]
    assert len(re.findall(r"device AP-9 not in quilac's registry: Command failed: Not found",
                          api)) == 1
    assert "report dropped: not a JSON object" in api
    assert "device AP?Thu Jan  1 00:00:00 1970 daemon.err forged not in" in api
    printed = [line for line in api.strip().splitlines() if " quilapi: " not in line]
    assert printed[:6] == ["reply/AP-9", "ok AP-9"] * 3     # the device script's answers only

    rc = json.loads(out["rc"])
    assert {name: (rc[name]["start"], rc[name]["enabled"])
            for name in ("quilac", "quildis", "quil-upload")} == \
        {"quilac": (95, True), "quildis": (95, True), "quil-upload": (15, True)}

    assert out["upload-folder"].strip() == "drwx------ root"
    assert out["signatures"].split("\n")[1:8] == QUILAC_SIGNATURES[:7]

    # a controller install runs discovery as the controller, on lan's device
    services = json.loads(out["services"])
    assert command_of(out["services"], "quildis") == [
        "/usr/sbin/quildis", "-f", "-i", "br-lan", "-t", "60", "-P", "mqtt", "-p", "1883"]
    quilac = command_of(out["services"], "quilac")
    assert quilac[:5] == ["/usr/sbin/quilac", "-b", "localhost", "-p", "1883"]
    assert services["quilac"]["instances"]["instance1"]["respawn"] == \
        {"threshold": 60, "timeout": 5, "retry": 5}

    assert out["replies"].strip().splitlines() == [f"reply/AP-000{i} ok AP-000{i}" for i in range(n)]
    payloads = out["payloads"].strip().splitlines()
    assert sorted(set(payloads[:-1])) == sorted(f"same {i}" for i in range(n))
    assert "No such file" in payloads[-1]       # nothing in a payload ran

    registry = {c["id"]: c["info"] for c in json.loads(out["registry"])["client"]}
    assert sorted(registry) == [f"AP-000{i}" for i in range(n)]
    assert all(info.startswith(f"last report on upload/{d} at ") for d, info in registry.items())

    # the registry refuses an id longer than its key, once in the log
    long_id = out["long-id"]
    log, listing = long_id.split('{\n\t"count"')
    assert re.fullmatch(r"\S+ \S+ +\d+ \S+ \d+ daemon\.warn quilapi: device AP-LONGER-THAN-A-KEY "
                        r"not in quilac's registry: Command failed: .*\(Invalid argument\) "
                        r"\(further failures within a minute are not logged\)", log.strip())
    assert "AP-LONGER" not in listing

    assert out["reload"].strip() == "reloaded"
    # in a group the registry is kept by the broker, and procd gives a stop
    # its drain limit
    topic, entry = out["group-registry"].strip().split(" ", 1)
    assert topic == "quilac/site1/client/AP-9" and json.loads(entry)["info"] == "in the group"
    group = json.loads(out["group-instance"])["quilac"]["instances"]["instance1"]
    assert group["command"][-4:] == ["-b", "127.0.0.1:1883", "-g", "site1"]
    assert group["term_timeout"] == 25
    assert out["respawn"].strip() == "respawned"
    # the broker password quilac uses by default is the client id's Base64
    client_id = quilac[quilac.index("-i") + 1]
    assert base64.b64encode(client_id.encode()).decode() not in out["log"]


# A device script that answers, and says something on standard error.
ANSWERER = """#!/bin/sh
echo "reply/$DEVICE"
echo "ok $DEVICE"
echo "a note on $DEVICE" >&2
"""


def test_controller_registry_and_role(router, stage, workdir):
    """The default API program's registry follows the devices' offline
    messages however late its workers run, keeps its info short and logs what
    device scripts say on standard error; discovery is the controller only
    where the bridge is enabled."""
    install(router, stage, "quilapi", "quilac", "quildis")
    copy_broker(router)
    script = router / "usr/lib/quilapi.d/50-answer"
    script.write_text(ANSWERER)
    script.chmod(0o755)

    out = run_root(router, """
mosquitto -c /etc/mosquitto.conf -d
add_lan
/etc/init.d/quilac enable
/etc/init.d/quilac start
wait_for 30 'ubus call quilac info | grep -q "\\"connected\\""'
mosquitto_sub -t 'reply/#' -v > /tmp/replies &
wait_for 30 'mosquitto_pub -t reply/probe -m up && grep -q "^reply/probe" /tmp/replies'
for i in $(seq 1 20); do
	mosquitto_pub -q 1 -t upload/AP$i -m report
	mosquitto_pub -q 1 -t offline/AP$i -m gone
done
mosquitto_pub -q 1 -t "upload/AP-L/$(head -c 3000 /dev/zero | tr '\\0' z)" -m report
wait_for 60 '[ $(grep -c "^reply/AP" /tmp/replies) -ge 21 ]'
section registry
ubus call quilac get_client
section replies
cat /tmp/replies
section log
logread -e quilapi
section roles
uci set quilac.bridge.enabled=0 && uci commit quilac && reload_config
/etc/init.d/quildis start
wait_for 30 'pid_of quildis | grep -q .'
instance quildis
uci set quilac.bridge.enabled=1 && uci commit quilac && reload_config
wait_for 30 '! instance quildis | grep -q \\"-c\\"' && echo controller
/etc/init.d/quilac disable && /etc/init.d/quildis restart
wait_for 30 'instance quildis | grep -q \\"-c\\"' && echo ap
""", workdir / "logs")

    # every device went offline after its report: only the last one is listed
    registry = json.loads(out["registry"])
    assert [(c["id"], c["info"][:26]) for c in registry["client"]] == \
        [("AP-L", "last report on upload/AP-L")]
    assert len(registry["client"][0]["info"]) < 64
    replies = [r for r in out["replies"].splitlines() if r.startswith("reply/AP")]
    assert len(replies) == 21 and not [r for r in replies if "note" in r]
    assert len(re.findall(r"daemon\.warn quilapi: 50-answer: a note on AP\d+$", out["log"],
                          re.M)) == 20

    roles = out["roles"]
    assert '"-c"' in roles.split("controller")[0]
    assert roles.strip().splitlines()[-2:] == ["controller", "ap"]


def test_upload_folder_for_the_configured_cgi_user(router, stage, workdir):
    install(router, stage, "quil-upload")
    out = run_root(router, """
for user in root nobody 'Bad User'; do
	uci set quil-upload.upload.user="$user" && uci commit quil-upload
	section "$(echo $user | tr ' ' _)"
	/etc/init.d/quil-upload start
	stat -c '%A %U' /tmp/upload
done
logread -e quil-upload
""", workdir / "logs")
    assert out["root"].strip() == "drwx------ root"
    assert out["nobody"].strip() == "drwx------ nobody"
    assert "drwx------ nobody" in out["Bad_User"].splitlines()
    assert re.search(r"daemon\.err quil-upload: /tmp/upload not made: bad value in "
                     r"/etc/config/quil-upload: quil-upload\.upload\.user=Bad User \(regex\(.*\) "
                     r"expected\)$", out["Bad_User"], re.M)


# Values the init scripts must refuse because the daemon would (its flags
# given), or take because it does: (config, {option: value or list}, the
# daemon's own flags for them or None, taken).
EIGHT = [f"10.0.0.{i}" for i in range(1, 9)]
VALUES = [
    ("quildis", {"port": "65535", "proto": "a.b+c-" + "x" * 25}, None, True),
    ("quildis", {"ac_address": EIGHT + ["10.0.0.1"]}, None, True),
    ("quildis", {"port": "0"}, ["-p", "0"], False),
    ("quildis", {"port": "0x10"}, ["-p", "0x10"], False),
    ("quildis", {"proto": "mqtt tls"}, ["-P", "mqtt tls"], False),
    ("quildis", {"proto": "-rf"}, ["-P", "-rf"], False),
    ("quildis", {"proto": "a" * 32}, ["-P", "a" * 32], False),
    ("quildis", {"ac_address": ["10.0.0.1", "224.0.0.1"]}, ["-a", "224.0.0.1"], False),
    ("quildis", {"ac_address": ["255.255.255.255"]}, ["-a", "255.255.255.255"], False),
    ("quildis", {"ac_address": ["0.0.0.0"]}, ["-a", "0.0.0.0"], False),
    ("quildis", {"ac_address": ["010.0.0.1"]}, ["-a", "010.0.0.1"], False),
    ("quildis", {"ac_address": EIGHT + ["10.0.0.9"]},
     [a for i in range(1, 10) for a in ("-a", f"10.0.0.{i}")], False),
    ("quildis", {"interface": "a" * 16}, ["-i", "a" * 16], False),
    ("quildis", {"time_limit": "2147484"}, ["-t", "2147484"], False),
    ("quildis", {"mode": "controller", "port": "99999", "interface": "br lan!"}, None, False),
    ("quildis", {"key_file": "/root/open.key"}, ["-k", "/root/open.key"], False),
    ("quilac", {"broker": ["00", "[fd00::1]:1885", "h:01883"], "port": "01"}, None, True),
    ("quilac", {"port": "0"}, ["-p", "0"], False),
    ("quilac", {"broker": "0"}, ["-b", "0"], False),
    ("quilac", {"broker": ["n1", "n2:0"]}, ["-b", "n2:0"], False),
    ("quilac", {"broker": "[::1]:65536"}, ["-b", "[::1]:65536"], False),
    ("quilac", {"broker": [f"n{i}" for i in range(9)]},
     [a for i in range(9) for a in ("-b", f"n{i}")], False),
    ("quilac", {"workers": "0"}, ["-w", "0"], False),
    ("quilac", {"queue_kib": "2097153"}, ["-q", "2097153"], False),
    ("quilac", {"group": "a/b"}, ["-g", "a/b"], False),
    ("quilac", {"drain_limit": "3601"}, ["-D", "3601"], False),
    ("quilac", {"log_level": "5", "time_limit": "-1"}, None, False),
    ("quilac", {"password_file": "/root/open.key"}, ["-P", "/root/open.key"], False),
]


def test_init_scripts_refuse_what_the_daemons_refuse(router, stage, workdir):
    """Each value is refused by the init script, with one line naming every
    bad option, before procd runs (and respawns) a daemon that refuses it."""
    install(router, stage, "quilapi", "quilac", "quildis")
    # a controller: quilac enabled, so discovery's auto mode is "ac"
    script = ["add_lan", "/etc/init.d/quilac enable", "cp /etc/config/quilac /etc/config/quildis /root/",
              "echo 0123456789abcdef0123456789abcdef > /root/open.key"]
    for i, (config, options, flags, _) in enumerate(VALUES):
        section = f"{config}.{config == 'quilac' and 'bridge' or 'discovery'}"
        script.append(f"cp /root/{config} /etc/config/")
        for option, value in options.items():
            if isinstance(value, list):
                script.append(f"uci -q delete {section}.{option}")
                script += [f"uci add_list {section}.{option}={shlex.quote(v)}" for v in value]
            else:
                script.append(f"uci set {section}.{option}={shlex.quote(value)}")
        script += [f"uci commit {config} && /etc/init.d/{config} start", f"section {i}",
                   "logread -e 'not started' | tail -n 1", f"section {i}-instance",
                   f"instance {config}"]
        if flags:
            daemon = ["/usr/sbin/" + config] + (["-i", "x"] if config == "quilac" else ["-f"])
            script.append(f"{shlex.join(daemon + flags)} 2>/dev/null; echo daemon $?")
    script += ["section lines", "logread -e 'not started' | wc -l"]
    out = run_root(router, "\n".join(script), workdir / "logs")

    refusals = 0
    for i, (config, options, flags, taken) in enumerate(VALUES):
        row, instance = out[str(i)], out[f"{i}-instance"]
        assert ('"running": true' in instance) == taken, (options, row, instance)
        if taken:
            command = " ".join(command_of(instance, config))
            assert all(v in command for v in options.values() if isinstance(v, str)), command
            continue
        refusals += 1
        if flags:
            assert re.search(r"daemon [1-9]", instance), (flags, instance)
        line = row.splitlines()[0]
        if "open.key" in str(options):      # a secret file group and others may read
            assert line.endswith(f"daemon.err {config}: not started: /root/open.key must be a "
                                 "regular file of root's, closed to group and others (chmod 600 it)")
            continue
        assert re.search(rf"daemon\.err {config}: not started: bad value in /etc/config/{config}: ",
                         line), line
        for option, value in options.items():
            if isinstance(value, str):
                assert f".{option}={value} (" in line, (option, line)
            else:
                assert f".{option}" in line, (option, line)
    assert int(out["lines"]) == refusals     # one line each, no respawn loop


def test_access_point_install(router, stage, workdir):
    """Discovery alone runs as an AP, waits for its interface, takes the key
    from its fixed place, and keeps the settings an older version had in
    quilac's config, its device turned into the network that owns it."""
    install(router, stage, "quildis")
    (router / "etc/config/network").write_text(
        "config interface 'loopback'\n\toption device 'lo'\n"
        "config interface 'lan'\n\toption device 'br-lan'\n")
    older = ("config bridge 'bridge'\n\toption broker 'x'\n"
             "config discovery 'discovery'\n\toption mode 'ap'\n\toption interface 'br-lan'\n"
             "\toption time_limit '5'\n\tlist ac_address '10.1.0.1'\n\tlist ac_address '10.2.0.1'\n")
    (router / "etc/config/quilac").write_text(older + "\toption key_file '/etc/quildis.key'\n")
    assert (router / "etc/config/quildis").stat().st_mode & 0o777 == 0o600
    # where older versions told an operator to put it
    key = router / "etc/quildis.key"
    key.write_text("0123456789abcdef0123456789abcdef\n")
    key.chmod(0o600)
    (router / "root/move").write_bytes((router / "etc/uci-defaults/80-quildis").read_bytes())
    (router / "root/older").write_text(older)

    out = run_root(router, """
for s in /etc/uci-defaults/*; do (. "$s") && rm -f "$s"; done
section migrated
uci get quildis.discovery.interface
section no-config
mv /etc/config/quildis /root/quildis.config && cp /root/older /etc/config/quilac
sh /root/move; echo "exit $?"
uci changes
uci show quildis
mv /root/quildis.config /etc/config/quildis
/etc/init.d/quildis enable
/etc/init.d/quildis start
section waiting
logread -e quildis
instance quildis
add_lan
ubus call service event '{"type":"interface.update","data":{"interface":"lan"}}'
wait_for 30 'pid_of quildis | grep -q .'
section running
ubus call service list
section back
pid=$(pid_of quildis)
ip link del br-lan && add_lan
ubus call service event '{"type":"interface.update","data":{"interface":"lan"}}'
wait_for 30 '[ -n "$(pid_of quildis)" ] && [ "$(pid_of quildis)" != $pid ]' && echo restarted
section device
uci set quildis.discovery.interface=br-ap && uci commit quildis && reload_config
wait_for 30 '! pid_of quildis | grep -q .'
ip link add br-ap type bridge && ip link set br-ap up
ubus call service event '{"type":"interface.update","data":{"interface":"wan"}}'
wait_for 30 'pid_of quildis | grep -q .' && instance quildis
""", workdir / "logs")

    assert "interface lan is not up" in out["waiting"]
    assert "instances" not in out["waiting"]
    assert command_of(out["running"], "quildis") == [
        "/usr/sbin/quildis", "-f", "-i", "br-lan", "-t", "5", "-c", "-a", "10.1.0.1",
        "-a", "10.2.0.1", "-k", "/etc/quil/quildis.key"]
    assert out["back"].strip() == "restarted"     # a bridge made anew is a new device
    # netifd's events name networks: a device is looked for at each of them
    assert command_of(out["device"], "quildis")[:4] == ["/usr/sbin/quildis", "-f", "-i", "br-ap"]
    assert "discovery" not in (router / "etc/config/quilac").read_text()
    assert out["migrated"].strip() == "lan"
    assert not list((router / "etc/uci-defaults").iterdir())
    moved = router / "etc/quil/quildis.key"
    assert not key.exists() and moved.stat().st_mode & 0o7777 == 0o600
    assert moved.parent.stat().st_mode & 0o777 == 0o700
    # without quildis' config the settings still move, and nothing stays staged
    assert out["no-config"].strip().splitlines() == [
        "exit 0", "quildis.discovery=discovery", "quildis.discovery.mode='ap'",
        "quildis.discovery.interface='lan'", "quildis.discovery.time_limit='5'",
        "quildis.discovery.ac_address='10.1.0.1' '10.2.0.1'"]



# The package that gives each library the programs link, on the router.
LIBRARY_PACKAGES = {"libubus.so": "libubus", "libubox.so": "libubox",
                    "libjson-c.so": "libjson-c", "libmosquitto.so": "libmosquitto-ssl",
                    "libmbedcrypto.so": "libmbedtls", "libssl.so": "libopenssl",
                    "libcrypto.so": "libopenssl", "libc.so": None}


def test_depends_name_every_library_the_programs_link(stage):
    programs = {"quilac": ["usr/sbin/quilac"], "quildis": ["usr/sbin/quildis"],
                "quil-upload": ["www/cgi-bin/upload-firmware", "www/cgi-bin/upload-archive"]}
    for package, files in programs.items():
        depends = re.search(r"DEPENDS:=(.*)", makefile_section(package)).group(1).split()
        for f in files:
            dynamic = subprocess.run(["readelf", "-d", stage / f], capture_output=True,
                                     text=True, check=True).stdout
            for library in re.findall(r"\(NEEDED\).*\[(lib[^.]*\.so)", dynamic):
                needs = LIBRARY_PACKAGES[library]
                assert needs is None or f"+{needs}" in depends, (package, library)
