"""The runtime among hostile or careless surroundings. Cases about the host's
own state run in a child interpreter with a time limit."""

import json
import os
import signal
import stat
import subprocess
import sys
import textwrap

import pytest

import dovek_native as dn
from test_runtime import manifest, raises, script_skill, tool

IS_ROOT = os.geteuid() == 0
NOBODY = 65534


def run_child(code: str, *args, timeout=120, prefix=()) -> str:
    result = subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout.rstrip("\n")


@pytest.mark.parametrize("mode", [0o6755, 0o4711, 0o2750, 0o1755, 0o640])
@pytest.mark.parametrize("linked", [False, True], ids=["file", "link"])
def test_installed_copies_never_carry_set_id_or_sticky_bits(tmp_path, mode, linked):
    src = script_skill(tmp_path / "src", "echo '{}'")
    target = src / ("real" if linked else "tool")
    target.write_text("#!/bin/sh\nexec /bin/sh\n")
    if linked:
        (src / "tool").symlink_to("real")
    if IS_ROOT:  # another user's tree, installed by root
        for p in [src, *src.iterdir()]:
            os.lchown(p, NOBODY, NOBODY)
    target.chmod(mode)
    if stat.S_IMODE(target.stat().st_mode) != mode:
        pytest.skip("this user cannot set these bits on a file")
    dn.runtime_install_local_skill_json(str(src), str(tmp_path / "skills"), None, False)
    copied = (tmp_path / "skills" / "echo" / "tool").lstat()
    assert stat.S_ISREG(copied.st_mode) and copied.st_uid == os.geteuid()
    assert stat.S_IMODE(copied.st_mode) == mode & 0o777


@pytest.mark.parametrize("occupant", [
    None, pytest.param("other_user", marks=pytest.mark.skipif(not IS_ROOT, reason="needs root")),
    "group_writable", "world_writable", "symlink", "file"])
def test_the_default_build_directory_must_be_private(tmp_path, monkeypatch, occupant):
    root = tmp_path / "rs"
    root.mkdir()
    (root / "artifact.json").write_text(manifest(id="tool", entry="bin/tool"))
    # A fresh build makes the executable; over a planted tree cargo finds
    # everything up to date and does nothing.
    action = "exit 0" if occupant else (
        "mkdir -p $5/release && printf '#!/bin/sh\\ncat >/dev/null\\necho {}\\n' > $5/release/tool"
        " && chmod 755 $5/release/tool")
    tool(tmp_path / "bin", "cargo", action, tmp_path / "log")
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:/usr/bin:/bin")
    tmp = tmp_path / "tmp"
    tmp.mkdir()
    tmp.chmod(0o1777)
    monkeypatch.setenv("TMPDIR", str(tmp))
    targets = tmp / "dovek-skill-targets"
    planted = tmp_path / "elsewhere" if occupant == "symlink" else targets
    if occupant == "file":
        targets.write_text("")
    elif occupant:
        (planted / "tool" / "release").mkdir(parents=True)
        (planted / "tool" / "release" / "tool").write_text("#!/bin/sh\necho '{\"planted\":1}'\n")
        (planted / "tool" / "release" / "tool").chmod(0o755)
    if occupant == "symlink":
        targets.symlink_to(planted)
    elif occupant == "other_user":
        for path in [targets, *targets.rglob("*")]:
            os.chown(path, NOBODY, NOBODY)
    elif occupant in ("group_writable", "world_writable"):
        targets.chmod(0o775 if occupant == "group_writable" else 0o757)
    if occupant:
        with raises(f"create {targets}"):
            dn.runtime_build_skill_json(str(root), None)
        assert not (root / "bin").exists()
        return
    old = os.umask(0)  # even the widest umask gives private directories
    try:
        dn.runtime_build_skill_json(str(root), None)
    finally:
        os.umask(old)
    assert [stat.S_IMODE(d.stat().st_mode) for d in (targets, targets / "tool")] == [0o700] * 2
    assert dn.runtime_run_skill_json(str(root), "{}", 10) == "{}"


TB = 1 << 40
SPARSE_INSTALL = """
import json, os, sys, dovek_native
dovek_native.runtime_install_local_skill_json(sys.argv[1], sys.argv[2], None, False)
path = os.path.join(sys.argv[2], "echo", "big")
with open(path, "rb") as f:
    pieces = [(f.seek(o), f.read(5))[1].decode() for o in map(int, sys.argv[3:])]
st = os.stat(path)
print(json.dumps({"size": st.st_size, "bytes": st.st_blocks * 512, "pieces": pieces}))
"""


@pytest.mark.parametrize("offsets", [[0, TB // 2, TB - 5], [TB - 5], []],
                         ids=["data_at_both_ends", "data_at_the_end", "all_hole"])
def test_a_sparse_file_is_installed_sparse(tmp_path, offsets):
    src = script_skill(tmp_path / "src", "echo '{}'")
    with open(src / "big", "wb") as f:
        for o in offsets:
            f.seek(o)
            f.write(b"piece")
        f.truncate(TB)
    # A dense copy would run for hours: the time limit fails it.
    got = json.loads(run_child(SPARSE_INSTALL, src, tmp_path / "skills", *offsets, timeout=60))
    assert got["size"] == TB and got["pieces"] == ["piece"] * len(offsets)
    assert got["bytes"] <= (1 << 20) * (1 + len(offsets))


CTRL_C_ONE_FILE = """
import json, os, signal, sys, threading, time, dovek_native
src, skills = sys.argv[1], sys.argv[2]

def wchar():
    with open("/proc/self/io") as f:
        return int(next(l for l in f if l.startswith("wchar:")).split()[1])

sent = []
def interrupt_once_copying():
    while True:
        for name in os.listdir(skills):
            try:
                copied = os.path.getsize(os.path.join(skills, name, "big"))
            except OSError:
                continue
            if copied >= 1 << 20:
                sent.append(time.monotonic())
                return os.kill(os.getpid(), signal.SIGINT)
        time.sleep(0.0005)

os.makedirs(skills)
threading.Thread(target=interrupt_once_copying, daemon=True).start()
before = wchar()
try:
    dovek_native.runtime_install_local_skill_json(src, skills, None, False)
    print(json.dumps({"finished": True}))
except KeyboardInterrupt:
    print(json.dumps({"finished": False, "written": wchar() - before, "left": os.listdir(skills),
                      "latency_ms": round((time.monotonic() - sent[0]) * 1000, 1)}))
"""


def test_ctrl_c_stops_the_copy_of_one_large_file(tmp_path):
    src = script_skill(tmp_path / "src", "echo '{}'")
    size = 1 << 30
    with open(src / "big", "wb") as f:
        for _ in range(size >> 20):
            f.write(b"\x5a" * (1 << 20))
    try:
        got = json.loads(run_child(CTRL_C_ONE_FILE, src, tmp_path / "skills"))
    finally:
        (src / "big").unlink()  # pytest keeps the last runs' directories
    print("SIGINT to KeyboardInterrupt:", got.get("latency_ms"), "ms;", got.get("written"), "bytes")
    # Interrupted inside the file (bytes written count copy_file_range too),
    # with nothing of the new copy left.
    assert not got["finished"] and got["written"] < size and got["left"] == []


HOST_SIGNALS = """
import json, signal, sys, dovek_native
what, root, sigchld = sys.argv[1:]
if sigchld == "ignored":
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
try:
    if what == "build":
        print(json.loads(dovek_native.runtime_build_skill_json(root, None))["id"])
    else:
        print(dovek_native.runtime_run_skill_json(root, "{}", 30))
except RuntimeError as e:
    print("error:", e)
"""
# "ok" reports the signals it starts with ignored.
SIGNAL_SKILLS = {"ok": "printf '{\"ignored\":\"%s\"}' $(awk '/^SigIgn/{print $2}' /proc/$$/status)",
                 "killed": "kill -TERM $$"}


@pytest.mark.parametrize("sigchld", ["default", "ignored"])
@pytest.mark.parametrize("what", ["ok", "killed", "build"])
def test_the_hosts_signal_state_changes_no_result(tmp_path, monkeypatch, what, sigchld):
    if what == "build":
        root = tmp_path / "py"
        root.mkdir()
        (root / "artifact.json").write_text(manifest(kind="python_uv", entry="main.py", id="py"))
        (root / "uv.lock").write_text("")
        tool(tmp_path / "bin", "uv", "exit 0", tmp_path / "log")
        monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:/usr/bin:/bin")
    else:
        root = script_skill(tmp_path / "s", SIGNAL_SKILLS[what])
    out = run_child(HOST_SIGNALS, what, root, sigchld, timeout=60)
    if what == "ok":
        ignored = int(json.loads(out)["ignored"], 16)
        assert [s for s in (signal.SIGPIPE, signal.SIGXFSZ, signal.SIGCHLD)
                if ignored & (1 << (s - 1))] == []
    else:
        assert out == {"build": "py", "killed": "error: skill process exited with status None: "}[what]


@pytest.mark.parametrize("case", ["missing", "dangling_link", "no_permission", "name_too_long"])
def test_only_a_missing_skills_directory_lists_as_empty(tmp_path, case):
    skills = tmp_path / "skills"
    path = str(tmp_path / ("x" * 300)) if case == "name_too_long" else str(skills)
    if case == "dangling_link":
        skills.symlink_to(tmp_path / "nowhere")
    elif case == "no_permission":
        script_skill(skills / "echo", "echo '{}'")
        skills.chmod(0)
    code = """
    import json, sys, dovek_native
    try:
        print(dovek_native.runtime_list_skills_json(json.loads(sys.argv[1])))
    except RuntimeError as e:
        print("error:", e)
    """
    # Root reads any directory: drop that privilege for the child.
    prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"] if IS_ROOT else []
    try:
        out = run_child(code, json.dumps(path), timeout=60, prefix=prefix)
    finally:
        if case == "no_permission":
            skills.chmod(0o755)
    assert out == ("[]" if case in ("missing", "dangling_link") else f"error: read {path}")
