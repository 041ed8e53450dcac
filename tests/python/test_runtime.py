"""The skill artifact runtime through the module: manifests, runs, builds,
installs and listings, with real child processes in temporary directories."""

import inspect
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import dovek_native as dn
from conftest import drop_sanitizer_preload

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples" / "skills"
VENV_BIN = Path(sys.executable).parent

DEFAULT_PROTOCOL = '{"transport":"stdio-json","input":"single-json-value","output":"single-json-value"}'


def manifest(id="echo", entry="run.sh", kind="rust_binary", **extra) -> str:
    m = {"schema_version": 1, "kind": kind, "id": id, "name": "Test", "version": "0.1.0",
         "entry": entry}
    m.update(extra)
    return json.dumps(m)


def script_skill(root: Path, body: str, id="echo", read_input=True) -> Path:
    """An artifact root whose "rust_binary" entry is a shell script."""
    root.mkdir(parents=True, exist_ok=True)
    (root / "artifact.json").write_text(manifest(id))
    prefix = "cat >/dev/null\n" if read_input else ""
    (root / "run.sh").write_text("#!/bin/sh\n" + prefix + body + "\n")
    (root / "run.sh").chmod(0o755)
    return root


def tool(bin_dir: Path, name: str, action: str, log: Path) -> None:
    """A stand-in build tool that records its argument vector, one call a line."""
    bin_dir.mkdir(parents=True, exist_ok=True)
    path = bin_dir / name
    path.write_text(
        "#!/bin/sh\n"
        f"for a in \"$@\"; do printf '%s|' \"$a\"; done >> '{log}'\n"
        f"echo >> '{log}'\n{action}\n"
    )
    path.chmod(0o755)


def process_gone(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def wait_gone(pid: int, seconds=5.0) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process_gone(pid):
            return True
        time.sleep(0.01)
    return process_gone(pid)


def raises(message: str):
    return pytest.raises(RuntimeError, match="^" + __import__("re").escape(message) + "$")


# ---- surface ----------------------------------------------------------------


def test_signatures():
    assert [str(inspect.signature(f)) for f in (
        dn.runtime_run_skill_json, dn.runtime_build_skill_json, dn.runtime_list_skills_json,
        dn.runtime_load_artifact_json, dn.runtime_install_local_skill_json)] == [
        "(root, input_json, timeout_seconds)", "(root, target_dir)", "(root)", "(root)",
        "(source, root, skill_id, overwrite)"]


@pytest.mark.parametrize("call", [
    lambda: dn.runtime_build_skill_json("/nonexistent"),
    lambda: dn.runtime_run_skill_json("/x", "{}", -1),
    lambda: dn.runtime_run_skill_json("/x", "{}", 2**64),
    lambda: dn.runtime_install_local_skill_json("/x", None, None, 1),
    lambda: dn.runtime_load_artifact_json(Path("/x")),
])
def test_argument_errors_happen_before_anything_runs(call):
    with pytest.raises((TypeError, OverflowError)):
        call()


# ---- manifest ---------------------------------------------------------------


def test_load_minimal_manifest_text(tmp_path):
    (tmp_path / "artifact.json").write_text(manifest(entry="bin/x", description="ignored"))
    assert dn.runtime_load_artifact_json(str(tmp_path)) == (
        '{"schema_version":1,"kind":"rust_binary","id":"echo","name":"Test","version":"0.1.0",'
        f'"entry":"bin/x","protocol":{DEFAULT_PROTOCOL},"schema":{{}}}}')


def test_load_full_manifest_text(tmp_path):
    (tmp_path / "artifact.json").write_text(manifest(
        kind={"python_uv": None}, entry="./main.py", source={"ref": None, "type": "git"},
        schema={"input": None, "output": "o.json"},
        protocol={"output": "o", "input": "i", "transport": "stdio-json", "extra": 1}))
    assert dn.runtime_load_artifact_json(str(tmp_path)) == (
        '{"schema_version":1,"kind":"python_uv","id":"echo","name":"Test","version":"0.1.0",'
        '"entry":"./main.py","protocol":{"transport":"stdio-json","input":"i","output":"o"},'
        '"schema":{"output":"o.json"},"source":{"type":"git"}}')


@pytest.mark.parametrize("fields,message", [
    ({"schema_version": 2, "id": ""}, "unsupported artifact schema version: 2"),
    ({"id": "a.b", "entry": "/x"}, "artifact id must contain only ASCII letters, numbers, '-' or '_'"),
    ({"id": "é"}, "artifact id must contain only ASCII letters, numbers, '-' or '_'"),
    ({"id": "_a"}, "artifact id must start with an ASCII letter or number"),
    ({"entry": ""}, "entry cannot be empty"),
    ({"entry": "/bin/sh"}, "entry must be relative"),
    ({"entry": "a/../b"}, "entry must not escape the artifact directory"),
    ({"protocol": {"transport": "STDIO-JSON", "input": "", "output": ""}},
     "unsupported artifact protocol transport"),
    ({"schema": {"output": "../o"}}, "schema.output must not escape the artifact directory"),
])
def test_validation_messages(tmp_path, fields, message):
    m = json.loads(manifest())
    m.update(fields)
    (tmp_path / "artifact.json").write_text(json.dumps(m))
    with raises(message):
        dn.runtime_load_artifact_json(str(tmp_path))


@pytest.mark.parametrize("text", [
    '{"schema_version":1.0}', '{"kind":"go"}', '[1,"rust_binary","a","n","v"]',
    manifest()[:-1] + ',"protocol":{"transport":"stdio-json"}}', manifest()[:-1] + ',"schema":null}',
    manifest() + "x",
])
def test_decode_errors_name_the_manifest(tmp_path, text):
    (tmp_path / "artifact.json").write_text(text)
    with raises(f"decode {tmp_path}/artifact.json"):
        dn.runtime_load_artifact_json(str(tmp_path))


def test_read_errors_and_fifo_does_not_block(tmp_path):
    with raises(f"read {tmp_path}/artifact.json"):
        dn.runtime_load_artifact_json(str(tmp_path))
    os.mkfifo(tmp_path / "artifact.json")
    with raises(f"read {tmp_path}/artifact.json"):
        dn.runtime_load_artifact_json(str(tmp_path))
    (tmp_path / "artifact.json").unlink()
    (tmp_path / "artifact.json").write_bytes(b'{"id":"\xff"}')
    with raises(f"read {tmp_path}/artifact.json"):
        dn.runtime_load_artifact_json(str(tmp_path))


def test_unreadable_manifest_without_privileges(tmp_path):
    (tmp_path / "artifact.json").write_text(manifest())
    (tmp_path / "artifact.json").chmod(0)
    code = f"""
import dovek_native
try:
    dovek_native.runtime_load_artifact_json({str(tmp_path)!r})
except RuntimeError as e:
    print(e)
"""
    out = subprocess.run(
        ["setpriv", "--bounding-set=-dac_override,-dac_read_search", sys.executable, "-c", code],
        capture_output=True, text=True, check=True).stdout
    assert out == f"read {tmp_path}/artifact.json\n"


# ---- running ----------------------------------------------------------------


@pytest.mark.parametrize("input_json,sent", [
    ("null", "null\n"),
    (' "x" ', '"x"\n'),
    ('{"z": 1, "a": {"d": [1.5, -2], "c": true}}', '{"a":{"c":true,"d":[1.5,-2]},"z":1}\n'),
])
def test_input_is_sent_compact_and_output_sorted(tmp_path, input_json, sent):
    root = script_skill(tmp_path / "s", "cat > got.txt; echo '\n  {\"b\":1,\"a\":2}  \n'",
                        read_input=False)
    assert dn.runtime_run_skill_json(str(root), input_json, 10) == '{"a":2,"b":1}'
    assert (root / "got.txt").read_text() == sent


@pytest.mark.parametrize("body,message", [
    ("echo '[1]'", "skill output must be a JSON object"),
    ("echo null", "skill output must be a JSON object"),
    ("echo starting; echo '{}'", "decode skill output JSON from stdout: starting\n{}"),
    ("echo " + "y" * 150, "decode skill output JSON from stdout: " + "y" * 120),
    ("echo word >&2; exit 3", "skill process exited with status Some(3): word"),
    ("echo '{}'; kill -9 $$", "skill process exited with status None: "),
    ("printf 'a\\377b' >&2; exit 1", "skill process exited with status Some(1): a\ufffdb"),
])
def test_run_failures(tmp_path, body, message):
    root = script_skill(tmp_path / "s", body)
    with raises(message):
        dn.runtime_run_skill_json(str(root), "{}", 10)


def test_bad_input_json_fails_before_the_file_system():
    with pytest.raises(RuntimeError) as e:
        dn.runtime_run_skill_json("/does/not/exist", "{} x", 1)
    assert "trailing characters at line 1 column 4" in str(e.value)
    with pytest.raises(RuntimeError, match="^recursion limit exceeded at line 1 column 128$"):
        dn.runtime_run_skill_json("/does/not/exist", "[" * 128 + "]" * 128, 1)
    with raises("read /does/not/exist/artifact.json"):
        dn.runtime_run_skill_json("/does/not/exist", "[" * 127 + "]" * 127, 1)


def test_timeouts(tmp_path):
    # The skill never ends by itself: a run that returns was ended by its
    # limit, and its process is gone. A limit of 1 s is never cut short.
    root = script_skill(tmp_path / "slow", f"echo $$ > '{tmp_path}/pid'; exec sleep 600", id="slow")
    for limit in (1, 0):
        outcome = []

        def run():
            started = time.monotonic()
            try:
                dn.runtime_run_skill_json(str(root), "{}", limit)
            except RuntimeError as e:
                outcome.append((str(e), time.monotonic() - started))

        t = threading.Thread(target=run, daemon=True)
        t.start()
        t.join(120)
        assert not t.is_alive(), f"a run with a {limit} s limit was not ended"
        (message, elapsed), = outcome
        assert message == "run skill `slow`" and elapsed >= limit
        if (tmp_path / "pid").exists():
            assert wait_gone(int((tmp_path / "pid").read_text()), 30)
            (tmp_path / "pid").unlink()
    quick = script_skill(tmp_path / "quick", "echo '{}'")
    assert dn.runtime_run_skill_json(str(quick), "{}", 2**64 - 1) == "{}"


def test_executable_checks_and_relative_root(tmp_path, monkeypatch):
    (tmp_path / "s").mkdir()
    (tmp_path / "s" / "artifact.json").write_text(manifest(entry="bin/tool"))
    with raises(f"skill executable not found: {tmp_path}/s/bin/tool"):
        dn.runtime_run_skill_json(str(tmp_path / "s"), "{}", 5)
    (tmp_path / "s" / "bin" / "tool").mkdir(parents=True)
    monkeypatch.chdir(tmp_path)
    with raises("skill executable not found: s/bin/tool"):
        dn.runtime_run_skill_json("s", "{}", 5)
    # A relative root runs the same program the check found, in the root.
    script_skill(tmp_path / "r", 'echo "{\\"cwd\\":\\"$(pwd)\\"}"')
    assert json.loads(dn.runtime_run_skill_json("r", "{}", 5)) == {"cwd": str(tmp_path / "r")}


def test_python_uv_command_line_and_missing_uv(tmp_path, monkeypatch):
    root = tmp_path / "py"
    root.mkdir()
    (root / "artifact.json").write_text(manifest(kind="python_uv", entry="main.py", id="py"))
    log = tmp_path / "log"
    tool(tmp_path / "bin", "uv", "cat >/dev/null; echo '{\"ok\":1}'", log)
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:/usr/bin:/bin")
    assert dn.runtime_run_skill_json(str(root), "{}", 5) == '{"ok":1}'
    assert log.read_text() == f"run|--project|{root}|python|main.py|\n"
    monkeypatch.setenv("PATH", str(tmp_path / "nowhere"))
    with raises("run skill `py`"):
        dn.runtime_run_skill_json(str(root), "{}", 5)


def test_large_output_early_logging_and_ignored_input(tmp_path):
    big = script_skill(tmp_path / "big", "head -c 300000 /dev/zero >&2; printf '{\"s\":\"';"
                       " head -c 10000000 /dev/zero | tr '\\0' a; printf '\",\"n\":'; wc -c; echo '}'",
                       read_input=False)
    payload = json.dumps("q" * 3_000_000)
    out = json.loads(dn.runtime_run_skill_json(str(big), payload, 60))
    assert len(out["s"]) == 10_000_000 and out["n"] == len(payload) + 1

    deaf = script_skill(tmp_path / "deaf", "sleep 30", id="deaf", read_input=False)
    with raises("run skill `deaf`"):
        dn.runtime_run_skill_json(str(deaf), payload, 1)
    quitter = script_skill(tmp_path / "quit", "exit 0", id="quit", read_input=False)
    with raises("run skill `quit`"):
        dn.runtime_run_skill_json(str(quitter), payload, 10)


def test_grandchild_holding_the_pipes(tmp_path):
    root = script_skill(tmp_path / "s", 'sleep 30 & echo "{\\"pid\\":$!}"')
    pid = json.loads(dn.runtime_run_skill_json(str(root), "{}", 10))["pid"]
    os.kill(pid, signal.SIGKILL)


def test_timeout_kills_the_process_group(tmp_path):
    root = script_skill(tmp_path / "s", f"sleep 30 & echo $! > '{tmp_path}/pid'; sleep 30",
                        id="grp")
    with raises("run skill `grp`"):
        dn.runtime_run_skill_json(str(root), "{}", 1)
    assert wait_gone(int((tmp_path / "pid").read_text()))


def test_many_runs_keep_the_descriptor_count(tmp_path):
    root = script_skill(tmp_path / "s", "echo '{}'")
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(1000):
        dn.runtime_run_skill_json(str(root), "1", 10)
    assert len(os.listdir("/proc/self/fd")) == before


def test_threads_get_their_own_outputs(tmp_path):
    root = script_skill(tmp_path / "s", 'read line; echo "{\\"got\\":$line}"', read_input=False)
    results = {}

    def worker(n):
        results[n] = [json.loads(dn.runtime_run_skill_json(str(root), str(n * 100 + i), 10))["got"]
                      for i in range(20)]

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == {n: [n * 100 + i for i in range(20)] for n in range(8)}


def test_ctrl_c_interrupts_a_run_and_kills_the_group(tmp_path):
    root = script_skill(tmp_path / "s", f"echo $$ > '{tmp_path}/pid'; sleep 30", id="long")
    code = f"""
import dovek_native, time
try:
    dovek_native.runtime_run_skill_json({str(root)!r}, "{{}}", 60)
except KeyboardInterrupt:
    print("interrupted")
"""
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    pid_file = tmp_path / "pid"
    deadline = time.monotonic() + 10
    while not (pid_file.exists() and pid_file.read_text().strip()) and time.monotonic() < deadline:
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=10)
    assert out == "interrupted\n"
    assert wait_gone(int(pid_file.read_text()))


# ---- installing and listing -------------------------------------------------


@pytest.fixture
def skills(tmp_path, monkeypatch) -> Path:
    d = tmp_path / "skills"
    monkeypatch.setenv("DOVEK_SKILLS_DIR", str(d))
    return d


def ids(listing: str) -> list:
    return [a["id"] for a in json.loads(listing)]


def test_default_skills_dir(tmp_path, monkeypatch):
    monkeypatch.delenv("DOVEK_SKILLS_DIR", raising=False)
    monkeypatch.setenv("HOME", str(tmp_path))
    src = script_skill(tmp_path / "src", "echo '{}'")
    dn.runtime_install_local_skill_json(str(src), None, None, False)
    assert (tmp_path / ".dovek" / "skills" / "echo" / "artifact.json").is_file()
    assert ids(dn.runtime_list_skills_json(None)) == ids(dn.runtime_list_skills_json("")) == ["echo"]
    monkeypatch.delenv("HOME")
    for call in (lambda: dn.runtime_list_skills_json(None),
                 lambda: dn.runtime_install_local_skill_json("/nonexistent", "", None, False)):
        with raises("HOME is not set"):
            call()


def test_listing(skills, tmp_path):
    assert dn.runtime_list_skills_json(None) == "[]"
    for name, id in [("z", "alpha"), ("a", "beta"), ("b", "alph"), ("c", "beta")]:
        (skills / name).mkdir(parents=True)
        (skills / name / "artifact.json").write_text(manifest(id))
    (skills / "broken").mkdir()
    (skills / "broken" / "artifact.json").write_text("{")
    (skills / "empty").mkdir()
    (skills / "file").write_text("x")
    assert ids(dn.runtime_list_skills_json(str(skills))) == ["alph", "alpha", "beta", "beta"]
    with raises(f"read {skills}/file"):
        dn.runtime_list_skills_json(str(skills / "file"))


def test_install_lifecycle(skills, tmp_path):
    src = script_skill(tmp_path / "src", "echo '{\"v\":1}'")
    first = json.loads(dn.runtime_install_local_skill_json(str(src), None, None, False))
    assert first["id"] == "echo"
    assert stat.S_IMODE((skills / "echo" / "run.sh").stat().st_mode) == 0o755
    assert dn.runtime_run_skill_json(str(skills / "echo"), "{}", 5) == '{"v":1}'
    with raises(f"installed skill already exists: {skills}/echo"):
        dn.runtime_install_local_skill_json(str(src), None, None, False)

    script_skill(src, "echo '{\"v\":2}'")
    (skills / "echo" / "stale").write_text("old")
    dn.runtime_install_local_skill_json(str(src), None, None, True)
    assert dn.runtime_run_skill_json(str(skills / "echo"), "{}", 5) == '{"v":2}'
    assert sorted(os.listdir(skills)) == ["echo"]

    (skills / "echo" / "marker").write_text("m")
    dn.runtime_install_local_skill_json(str(skills / "echo"), None, None, True)
    assert (skills / "echo" / "marker").read_text() == "m"
    with raises(f"installed skill already exists: {skills}/echo"):
        dn.runtime_install_local_skill_json(str(skills / "echo"), str(skills), None, False)

    renamed = json.loads(dn.runtime_install_local_skill_json(str(src), None, "other", False))
    assert renamed["id"] == "echo" and (skills / "other" / "artifact.json").is_file()
    assert ids(dn.runtime_list_skills_json(None)) == ["echo", "echo"]


@pytest.mark.parametrize("skill_id,message", [
    ("", "artifact id cannot be empty"),
    ("a/b", "artifact id must contain only ASCII letters, numbers, '-' or '_'"),
    ("a.b", "artifact id must contain only ASCII letters, numbers, '-' or '_'"),
])
def test_bad_installed_name_creates_nothing(skills, tmp_path, skill_id, message):
    src = script_skill(tmp_path / "src", "")
    with raises(message):
        dn.runtime_install_local_skill_json(str(src), None, skill_id, False)
    assert not skills.exists()


def test_overwrite_accepts_numpy_bool(skills, tmp_path):
    np = pytest.importorskip("numpy")
    src = script_skill(tmp_path / "src", "")
    dn.runtime_install_local_skill_json(str(src), None, None, np.bool_(False))
    dn.runtime_install_local_skill_json(str(src), None, None, np.bool_(True))


@pytest.mark.parametrize("breakage", ["dangling", "fifo", "unreadable"])
@pytest.mark.parametrize("overwrite", [False, True])
def test_failed_copy_keeps_previous_state(skills, tmp_path, breakage, overwrite):
    src = script_skill(tmp_path / "src", "echo '{\"v\":1}'")
    if overwrite:
        dn.runtime_install_local_skill_json(str(src), None, None, False)
        script_skill(src, "echo '{\"v\":2}'")
    if breakage == "dangling":
        (src / "link").symlink_to("/nonexistent/target")
    elif breakage == "fifo":
        os.mkfifo(src / "fifo")
    else:
        (src / "secret").write_text("s")
        (src / "secret").chmod(0)
    code = (f"import dovek_native\ntry:\n    dovek_native.runtime_install_local_skill_json("
            f"{str(src)!r}, {str(skills)!r}, None, {overwrite})\nexcept RuntimeError as e:\n"
            "    print(e)\n")
    prefix = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]
    out = subprocess.run(prefix + [sys.executable, "-c", code], capture_output=True, text=True,
                         check=True, timeout=30).stdout
    assert out == f"install skill into {skills}/echo\n"
    if overwrite:
        assert sorted(os.listdir(skills)) == ["echo"]
        assert dn.runtime_run_skill_json(str(skills / "echo"), "{}", 5) == '{"v":1}'
    else:
        assert os.listdir(skills) == []


def test_symlink_cycle_and_skills_dir_inside_source(skills, tmp_path):
    src = script_skill(tmp_path / "src", "")
    (src / "data").mkdir()
    (src / "data" / "up").symlink_to("..")
    with raises(f"install skill into {skills}/echo"):
        dn.runtime_install_local_skill_json(str(src), None, None, False)
    assert os.listdir(skills) == []
    (src / "data" / "up").unlink()
    (src / "alias").symlink_to("data")  # two links to one directory are fine
    dn.runtime_install_local_skill_json(str(src), None, None, False)

    inner = src / "skills"
    with raises(f"install skill into {inner}/echo"):
        dn.runtime_install_local_skill_json(str(src), str(inner), None, False)
    assert os.listdir(inner) == []


def test_overwrite_from_inside_the_old_installation(skills, tmp_path):
    src = script_skill(tmp_path / "src", "echo '{\"v\":1}'", id="x")
    script_skill(src / "v2", "echo '{\"v\":2}'", id="x")
    dn.runtime_install_local_skill_json(str(src), None, None, False)
    dn.runtime_install_local_skill_json(str(skills / "x" / "v2"), None, None, True)
    assert dn.runtime_run_skill_json(str(skills / "x"), "{}", 5) == '{"v":2}'
    assert not (skills / "x" / "v2").exists()


# ---- building ---------------------------------------------------------------


def test_build_python_uv_steps_with_stand_in(tmp_path, monkeypatch):
    root = tmp_path / "py"
    root.mkdir()
    (root / "artifact.json").write_text(manifest(kind="python_uv", entry="main.py", id="py"))
    log = tmp_path / "log"
    tool(tmp_path / "bin", "uv", '[ "$1" = lock ] && touch "$3/uv.lock"; exit 0', log)
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:/usr/bin:/bin")
    assert json.loads(dn.runtime_build_skill_json(str(root), None))["id"] == "py"
    dn.runtime_build_skill_json(str(root), "")
    assert log.read_text() == (f"lock|--project|{root}|\nsync|--project|{root}|--locked|\n"
                               f"sync|--project|{root}|--locked|\n")
    tool(tmp_path / "bin", "uv", "echo ' sync broke ' >&2; exit 1", log)
    with raises("sync python uv skill failed with status Some(1): sync broke"):
        dn.runtime_build_skill_json(str(root), None)
    monkeypatch.setenv("PATH", str(tmp_path / "nowhere"))
    with raises("sync python uv skill: spawn command"):
        dn.runtime_build_skill_json(str(root), None)
    (root / "uv.lock").unlink()
    with raises("lock python uv skill: spawn command"):
        dn.runtime_build_skill_json(str(root), None)


def test_build_rust_binary_with_stand_in(tmp_path, monkeypatch):
    root = tmp_path / "rs"
    root.mkdir()
    (root / "artifact.json").write_text(manifest(id="tool", entry="bin/tool"))
    log = tmp_path / "log"
    tool(tmp_path / "bin", "cargo",
         "mkdir -p $5/release && printf '#!/bin/sh\\necho \"{}\"\\n' > $5/release/tool"
         " && chmod 755 $5/release/tool", log)
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:/usr/bin:/bin")
    monkeypatch.setenv("TMPDIR", str(tmp_path / "tmp"))
    dn.runtime_build_skill_json(str(root), None)
    target = tmp_path / "tmp" / "dovek-skill-targets" / "tool"
    assert log.read_text() == (
        f"build|--manifest-path|{root}/Cargo.toml|--target-dir|{target}|--release|\n")
    assert os.access(root / "bin" / "tool", os.X_OK)
    with raises(f"copy built skill binary from {tmp_path}/t/release/tool to {root}/bin/tool"):
        tool(tmp_path / "bin", "cargo", "exit 0", log)
        dn.runtime_build_skill_json(str(root), str(tmp_path / "t"))


@pytest.fixture
def real_tools(monkeypatch):
    drop_sanitizer_preload(monkeypatch)
    monkeypatch.setenv("PATH", f"{VENV_BIN}:{Path.home() / '.cargo' / 'bin'}:{os.environ['PATH']}")
    monkeypatch.setenv("UV_PYTHON_DOWNLOADS", "never")
    monkeypatch.setenv("CARGO_NET_OFFLINE", "true")


@pytest.mark.skipif(shutil.which("uv", path=str(VENV_BIN)) is None, reason="uv not installed")
def test_real_python_skill_build_install_run(tmp_path, real_tools, skills):
    root = tmp_path / "python-echo"
    shutil.copytree(EXAMPLES / "python-echo", root)
    built = json.loads(dn.runtime_build_skill_json(str(root), None))
    assert built["kind"] == "python_uv" and (root / "uv.lock").is_file()
    dn.runtime_install_local_skill_json(str(root), None, None, False)
    assert ids(dn.runtime_list_skills_json(None)) == ["python-echo"]
    out = json.loads(dn.runtime_run_skill_json(str(skills / "python-echo"), '[1,"a"]', 60))
    assert out == {"input": [1, "a"], "skill": "python-echo", "type": "list"}
    with raises("run skill `python-echo`"):
        dn.runtime_run_skill_json(str(root), '{"sleep": 30}', 1)


@pytest.mark.skipif(shutil.which("cargo") is None and
                    not (Path.home() / ".cargo" / "bin" / "cargo").exists(),
                    reason="cargo not installed")
def test_real_rust_skill_build_install_run(tmp_path, real_tools, skills):
    root = tmp_path / "rust-echo"
    shutil.copytree(EXAMPLES / "rust-echo", root)
    dn.runtime_build_skill_json(str(root), str(tmp_path / "target"))
    assert os.access(root / "bin" / "rust-echo", os.X_OK)
    dn.runtime_install_local_skill_json(str(root), None, None, False)
    assert ids(dn.runtime_list_skills_json(None)) == ["rust-echo"]
    out = json.loads(dn.runtime_run_skill_json(str(skills / "rust-echo"), '{"b":1,"a":[null]}', 10))
    assert out == {"input": {"a": [None], "b": 1}, "input_bytes": 18, "skill": "rust-echo"}
