"""The runtime as a hostile or careless environment meets it: another local
user with write access to the temporary directory, a source tree with
set-user-ID files, huge and sparse files, a host that ignores SIGCHLD, a
skills directory that cannot be read. Cases about the host's own state
(signals, Ctrl-C) run in a child interpreter with a time limit."""

import json
import os
import signal
import stat
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import dovek_native as dn
from test_runtime import manifest, raises, script_skill, tool

IS_ROOT = os.geteuid() == 0
NOBODY = 65534
needs_root = pytest.mark.skipif(not IS_ROOT, reason="needs a second user: run the suite as root")


def run_child(code: str, *args, timeout=120) -> subprocess.CompletedProcess:
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
                            capture_output=True, text=True, timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr
    return result


# ---- installed copies never carry set-ID bits ------------------------------


@pytest.mark.parametrize("mode", [0o6755, 0o4711, 0o2750, 0o1755, 0o640])
@pytest.mark.parametrize("linked", [False, True], ids=["file", "link"])
def test_installed_copies_drop_set_id_and_sticky_bits(tmp_path, mode, linked):
    src = script_skill(tmp_path / "src", "echo '{}'")
    target = src / ("real" if linked else "tool")
    target.write_text("#!/bin/sh\nexec /bin/sh\n")
    if linked:
        (src / "tool").symlink_to("real")
    if IS_ROOT:  # the tree of another user, installed by root
        for p in [src, *src.iterdir()]:
            os.lchown(p, NOBODY, NOBODY)
    target.chmod(mode)
    if stat.S_IMODE(target.stat().st_mode) != mode:
        pytest.skip("this user cannot set these bits on a file")
    dn.runtime_install_local_skill_json(str(src), str(tmp_path / "skills"), None, False)
    copied = (tmp_path / "skills" / "echo" / "tool").lstat()
    assert stat.S_ISREG(copied.st_mode) and copied.st_uid == os.geteuid()
    assert stat.S_IMODE(copied.st_mode) == mode & 0o777


# ---- the default build directory is private ---------------------------------


def planted_artefact(targets: Path) -> None:
    release = targets / "tool" / "release"
    release.mkdir(parents=True)
    (release / "tool").write_text("#!/bin/sh\necho '{\"planted\":true}'\n")
    (release / "tool").chmod(0o755)


@pytest.mark.parametrize("occupant", [
    pytest.param("other_user", marks=needs_root), "group_writable", "world_writable", "symlink",
    "file"])
def test_a_planted_build_directory_fails_the_build(tmp_path, monkeypatch, occupant):
    root = tmp_path / "rs"
    root.mkdir()
    (root / "artifact.json").write_text(manifest(id="tool", entry="bin/tool"))
    # An up-to-date build: cargo has nothing to do.
    tool(tmp_path / "bin", "cargo", "exit 0", tmp_path / "log")
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:/usr/bin:/bin")
    tmp = tmp_path / "tmp"
    tmp.mkdir(mode=0o777)
    tmp.chmod(0o1777)
    monkeypatch.setenv("TMPDIR", str(tmp))
    targets = tmp / "dovek-skill-targets"
    if occupant == "symlink":
        planted_artefact(tmp_path / "elsewhere")
        targets.symlink_to(tmp_path / "elsewhere")
    elif occupant == "file":
        targets.write_text("")
    else:
        planted_artefact(targets)
        if occupant == "other_user":
            for dirpath, dirnames, filenames in os.walk(targets):
                for name in [dirpath, *(os.path.join(dirpath, n) for n in dirnames + filenames)]:
                    os.chown(name, NOBODY, NOBODY)
        else:
            targets.chmod(0o775 if occupant == "group_writable" else 0o757)
    with raises(f"create {targets}"):
        dn.runtime_build_skill_json(str(root), None)
    assert not (root / "bin").exists()


def test_the_default_build_directory_is_created_private(tmp_path, monkeypatch):
    root = tmp_path / "rs"
    root.mkdir()
    (root / "artifact.json").write_text(manifest(id="tool", entry="bin/tool"))
    tool(tmp_path / "bin", "cargo",
         "mkdir -p $5/release && printf '#!/bin/sh\\necho \"{}\"\\n' > $5/release/tool"
         " && chmod 755 $5/release/tool", tmp_path / "log")
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:/usr/bin:/bin")
    monkeypatch.setenv("TMPDIR", str(tmp_path / "tmp"))
    old = os.umask(0)  # even the widest umask gives private directories
    try:
        dn.runtime_build_skill_json(str(root), None)
    finally:
        os.umask(old)
    targets = tmp_path / "tmp" / "dovek-skill-targets"
    for d in (targets, targets / "tool"):
        assert stat.S_IMODE(d.stat().st_mode) == 0o700, d
    assert dn.runtime_run_skill_json(str(root), "{}", 10) == "{}"


# ---- large and sparse files -------------------------------------------------

TB = 1 << 40
SPARSE_INSTALL = """
import json, os, sys, dovek_native
src, skills = sys.argv[1], sys.argv[2]
dovek_native.runtime_install_local_skill_json(src, skills, None, False)
st = os.stat(os.path.join(skills, "echo", "big"))
with open(os.path.join(skills, "echo", "big"), "rb") as f:
    pieces = [(f.seek(o), f.read(5))[1].decode() for o in map(int, sys.argv[3:])]
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
    out = run_child(SPARSE_INSTALL, src, tmp_path / "skills", *offsets, timeout=60).stdout
    got = json.loads(out)
    assert got["size"] == TB and got["pieces"] == ["piece"] * len(offsets)
    assert got["bytes"] <= (1 << 20) * (1 + len(offsets))


CTRL_C_ONE_FILE = """
import json, os, signal, sys, threading, time, dovek_native
src, skills, size = sys.argv[1], sys.argv[2], int(sys.argv[3])

def wchar():
    with open("/proc/self/io") as f:
        return int(next(l for l in f if l.startswith("wchar:")).split()[1])

sent = []
def interrupt_once_copying():
    # Ctrl-C as soon as the copy of the one large file is under way.
    while True:
        for name in os.listdir(skills):
            try:
                copied = os.path.getsize(os.path.join(skills, name, "big"))
            except OSError:
                continue
            if copied >= 1 << 20:
                sent.append(time.monotonic())
                os.kill(os.getpid(), signal.SIGINT)
                return
        time.sleep(0.0005)

os.makedirs(skills)
threading.Thread(target=interrupt_once_copying, daemon=True).start()
before = wchar()
try:
    dovek_native.runtime_install_local_skill_json(src, skills, None, False)
    print(json.dumps({"finished": True}))
except KeyboardInterrupt:
    latency = time.monotonic() - sent[0]
    print(json.dumps({"finished": False, "written": wchar() - before,
                      "latency_ms": round(latency * 1000, 1), "left": os.listdir(skills)}))
"""


def test_ctrl_c_stops_the_copy_of_one_large_file(tmp_path):
    src = script_skill(tmp_path / "src", "echo '{}'")
    size = 1 << 30
    block = b"\x5a" * (1 << 20)
    with open(src / "big", "wb") as f:
        for _ in range(size // len(block)):
            f.write(block)
    got = json.loads(run_child(CTRL_C_ONE_FILE, src, tmp_path / "skills", size).stdout)
    print("SIGINT to KeyboardInterrupt:", got.get("latency_ms"), "ms;", got.get("written"), "bytes written")
    assert not got["finished"]
    # The interrupt came while the file was being copied, and ended that copy.
    assert got["written"] < size
    assert got["left"] == []


# ---- the host's signal state ------------------------------------------------

HOST_SIGNALS = """
import json, signal, sys, dovek_native
what, root, sigchld = sys.argv[1], sys.argv[2], sys.argv[3]
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

SKILL_BODIES = {
    # Reports the signals it starts with ignored.
    "ok": "printf '{\"ignored\":\"%s\"}' $(awk '/^SigIgn/{print $2}' /proc/$$/status)",
    "exit3": "echo oops >&2; exit 3",
    "killed": "kill -TERM $$",
}


@pytest.mark.parametrize("sigchld", ["default", "ignored"])
@pytest.mark.parametrize("what", ["ok", "exit3", "killed", "build"])
def test_the_hosts_signal_state_changes_no_result(tmp_path, monkeypatch, what, sigchld):
    if what == "build":
        root = tmp_path / "py"
        root.mkdir()
        (root / "artifact.json").write_text(manifest(kind="python_uv", entry="main.py", id="py"))
        (root / "uv.lock").write_text("")
        tool(tmp_path / "bin", "uv", "exit 0", tmp_path / "log")
        monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:/usr/bin:/bin")
    else:
        root = script_skill(tmp_path / "s", SKILL_BODIES[what])
    out = run_child(HOST_SIGNALS, what, root, sigchld, timeout=60).stdout.rstrip("\n")
    if what == "ok":
        ignored = int(json.loads(out)["ignored"], 16)
        for sig in (signal.SIGPIPE, signal.SIGXFSZ, signal.SIGCHLD):
            assert not ignored & (1 << (sig - 1)), signal.Signals(sig).name
    else:
        assert out == {"exit3": "error: skill process exited with status Some(3): oops",
                       "killed": "error: skill process exited with status None: ",
                       "build": "py"}[what]


# ---- listing a skills directory that cannot be read -------------------------

LIST = """
import json, sys, dovek_native
try:
    print(dovek_native.runtime_list_skills_json(json.loads(sys.argv[1])))
except RuntimeError as e:
    print("error:", e)
"""


@pytest.mark.parametrize("case", ["missing", "dangling_link", "no_permission", "link_loop",
                                  "name_too_long", "nul_byte", "regular_file"])
def test_only_a_missing_skills_directory_lists_as_empty(tmp_path, case):
    skills = tmp_path / "skills"
    path = str(skills)
    if case == "dangling_link":
        skills.symlink_to(tmp_path / "nowhere")
    elif case == "no_permission":
        script_skill(skills / "echo", "echo '{}'")
        skills.chmod(0)
    elif case == "link_loop":
        skills.symlink_to(skills)
    elif case == "name_too_long":
        path = str(tmp_path / ("x" * 300))
    elif case == "nul_byte":
        path += "\0x"
    elif case == "regular_file":
        skills.write_text("")
    # Root reads any directory: the permission case drops that privilege.
    prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"] if IS_ROOT else []
    try:
        out = subprocess.run([*prefix, sys.executable, "-c", LIST, json.dumps(path)],
                             capture_output=True, text=True, timeout=60, check=True).stdout
    finally:
        if case == "no_permission":
            skills.chmod(0o755)
    expected = "[]" if case in ("missing", "dangling_link") else f"error: read {path}"
    assert out.rstrip("\n") == expected
