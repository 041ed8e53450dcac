"""Installing and reading skills when the files are hostile or the callers
concurrent: oversized manifests, replacements racing listings and other
installers, trees deeper than the descriptor and path limits, Ctrl-C."""

import json
import os
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import dovek_native as dn

CAP = 16 * 1024 * 1024


def manifest(id="echo") -> str:
    return json.dumps({"schema_version": 1, "kind": "rust_binary", "id": id, "name": "Test",
                       "version": "0.1.0", "entry": "run.sh"})


def script_skill(root: Path, version: int, id="echo") -> Path:
    """An artifact root whose "rust_binary" entry is a shell script printing
    {"v": version}."""
    root.mkdir(parents=True, exist_ok=True)
    (root / "run.sh").write_text(f"#!/bin/sh\ncat >/dev/null\necho '{{\"v\":{version}}}'\n")
    (root / "run.sh").chmod(0o755)
    (root / "artifact.json").write_text(manifest(id))
    return root


def raises(message: str):
    return pytest.raises(RuntimeError, match="^" + re.escape(message) + "$")


def leftovers(skills: Path) -> list:
    return sorted(n for n in os.listdir(skills) if n.startswith(".dovek-"))


# ---- manifest size ----------------------------------------------------------


def oversized_manifest(path: Path, how: str) -> None:
    if how == "sparse":
        # A terabyte that costs nothing on disk: only the reported size is huge.
        with open(path, "wb") as f:
            f.truncate(1 << 40)
    else:
        # A valid manifest padded with white space to one byte over the cap:
        # only the size is wrong with it.
        text = manifest().encode()
        path.write_bytes(text + b" " * (CAP + 1 - len(text)))


@pytest.mark.parametrize("how", ["sparse", "one_byte_over"])
@pytest.mark.parametrize("call", ["load", "run", "install"])
def test_oversized_manifest_is_an_ordinary_error(tmp_path, how, call):
    src = script_skill(tmp_path / "src", 1)
    oversized_manifest(src / "artifact.json", how)
    with raises(f"read {src}/artifact.json"):
        if call == "load":
            dn.runtime_load_artifact_json(str(src))
        elif call == "run":
            dn.runtime_run_skill_json(str(src), "{}", 5)
        else:
            dn.runtime_install_local_skill_json(str(src), str(tmp_path / "skills"), None, False)
    assert not (tmp_path / "skills").exists() or os.listdir(tmp_path / "skills") == []


@pytest.mark.parametrize("how", ["sparse", "one_byte_over"])
def test_listing_skips_an_oversized_manifest(tmp_path, how):
    skills = tmp_path / "skills"
    script_skill(skills / "good", 1, id="good")
    script_skill(skills / "big", 1, id="big")
    oversized_manifest(skills / "big" / "artifact.json", how)
    assert [a["id"] for a in json.loads(dn.runtime_list_skills_json(str(skills)))] == ["good"]


def test_manifest_exactly_at_the_cap_is_read(tmp_path):
    src = script_skill(tmp_path / "src", 1)
    text = manifest().encode()
    (src / "artifact.json").write_bytes(text + b" " * (CAP - len(text)))
    assert json.loads(dn.runtime_load_artifact_json(str(src)))["id"] == "echo"


# ---- replacing an installation ----------------------------------------------


def test_listings_never_miss_a_skill_being_replaced(tmp_path):
    skills = tmp_path / "skills"
    sources = [script_skill(tmp_path / f"v{v}", v) for v in (1, 2)]
    dn.runtime_install_local_skill_json(str(sources[0]), str(skills), None, False)
    done = threading.Event()
    errors = []

    def overwrite():
        try:
            for i in range(40):
                dn.runtime_install_local_skill_json(str(sources[i % 2]), str(skills), None, True)
        except Exception as e:  # reported by the main thread
            errors.append(e)
        finally:
            done.set()

    writer = threading.Thread(target=overwrite)
    writer.start()
    listings = misses = 0
    while not done.is_set() or listings == 0:
        if [a["id"] for a in json.loads(dn.runtime_list_skills_json(str(skills)))] != ["echo"]:
            misses += 1
        listings += 1
    writer.join()
    assert not errors, errors
    assert misses == 0, f"{misses} of {listings} listings missed the skill"
    assert leftovers(skills) == []


INSTALLER = """
import json, sys, dovek_native
src, skills, name, rounds = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
for _ in range(rounds):
    installed = json.loads(dovek_native.runtime_install_local_skill_json(src, skills, "echo", True))
    assert installed["name"] == name, installed
print("ok")
"""


def test_racing_overwrites_all_succeed_and_return_their_own_copy(tmp_path):
    skills = tmp_path / "skills"
    sources = {}
    for name in ("A", "B"):
        src = script_skill(tmp_path / name, 1)
        (src / "artifact.json").write_text(manifest().replace('"Test"', json.dumps(name)))
        sources[name] = src
    procs = [subprocess.Popen([sys.executable, "-c", INSTALLER, str(src), str(skills), name, "25"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for name, src in sources.items()]
    for proc in procs:
        out, err = proc.communicate(timeout=120)
        assert (proc.returncode, out) == (0, "ok\n"), err
    listed = json.loads(dn.runtime_list_skills_json(str(skills)))
    assert [a["name"] for a in listed] in (["A"], ["B"])
    assert leftovers(skills) == []


@pytest.mark.parametrize("occupant", ["file", "dangling_link", "empty_dir"])
def test_overwrite_replaces_whatever_holds_the_name(tmp_path, occupant):
    skills = tmp_path / "skills"
    skills.mkdir()
    dest = skills / "echo"
    if occupant == "file":
        dest.write_text("x")
    elif occupant == "dangling_link":
        dest.symlink_to(tmp_path / "nowhere")
    else:
        dest.mkdir()
    src = script_skill(tmp_path / "src", 2)
    with raises(f"installed skill already exists: {dest}"):
        dn.runtime_install_local_skill_json(str(src), str(skills), None, False)
    dn.runtime_install_local_skill_json(str(src), str(skills), None, True)
    assert dn.runtime_run_skill_json(str(dest), "{}", 5) == '{"v":2}'
    assert os.listdir(skills) == ["echo"]


# ---- deep trees -------------------------------------------------------------


def make_chain(root: Path, depth: int) -> None:
    """A chain of `depth` nested directories "d" below `root`, with a file at
    the bottom, built through descriptors so that no path grows long."""
    fd = os.open(root, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(depth):
            os.mkdir("d", dir_fd=fd)
            child = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = child
        with open(os.open("bottom", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "w") as f:
            f.write("deep")
    finally:
        os.close(fd)


def remove_chain(root: Path) -> None:
    """Undoes make_chain one level at a time from the top, without long paths
    or a descriptor per level (which the test's own clean-up would need)."""
    while (root / "d").exists():
        for name in os.listdir(root / "d"):
            os.rename(root / "d" / name, root / ("lifted-" + name))
        os.rmdir(root / "d")
        if (root / "lifted-d").exists():
            os.rename(root / "lifted-d", root / "d")
        if (root / "lifted-bottom").exists():
            os.unlink(root / "lifted-bottom")


LOW_DESCRIPTOR_LIMIT = """
import resource, sys, dovek_native
_, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
src, skills, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
try:
    for _ in range(rounds):
        dovek_native.runtime_install_local_skill_json(src, skills, None, True)
    print("ok")
except RuntimeError as e:
    print(e)
"""


@pytest.mark.parametrize("depth", ["400", "beyond_path_max"])
def test_deep_trees_under_a_low_descriptor_limit_leave_no_hidden_copies(tmp_path, depth):
    """An installation 400 levels deep is replaced twice; a source deeper than
    the path length limit fails with an error. Neither leaves a hidden copy,
    with fewer descriptors allowed than the trees have levels."""
    skills = tmp_path / "skills"
    src = script_skill(tmp_path / "src", 1)
    levels = 400 if depth == "400" else os.pathconf(tmp_path, "PC_PATH_MAX") // 2 + 10
    make_chain(src, levels)
    try:
        result = subprocess.run([sys.executable, "-c", LOW_DESCRIPTOR_LIMIT, str(src),
                                 str(skills), "2"], capture_output=True, text=True, timeout=120)
        if depth == "400":
            assert result.stdout == "ok\n", result.stderr
            assert (skills / "echo" / ("d/" * levels) / "bottom").read_text() == "deep"
            assert os.listdir(skills) == ["echo"]
            remove_chain(skills / "echo")
        else:
            assert result.stdout == f"install skill into {skills}/echo\n", result.stderr
            assert os.listdir(skills) == []
    finally:
        remove_chain(src)


# ---- Ctrl-C -----------------------------------------------------------------


CTRL_C_INSTALL = """
import sys, dovek_native
try:
    dovek_native.runtime_install_local_skill_json(sys.argv[1], sys.argv[2], None, True)
    print("finished")
except KeyboardInterrupt:
    print("interrupted")
"""


def test_ctrl_c_stops_an_install_and_keeps_the_previous_one(tmp_path):
    skills = tmp_path / "skills"
    src = script_skill(tmp_path / "src", 1)
    dn.runtime_install_local_skill_json(str(src), str(skills), None, False)
    script_skill(src, 2)
    for d in range(40):
        (src / "data" / str(d)).mkdir(parents=True)
        for f in range(100):
            (src / "data" / str(d) / str(f)).write_text("x")
    proc = subprocess.Popen([sys.executable, "-c", CTRL_C_INSTALL, str(src), str(skills)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while (not any(n.startswith(".dovek-install.") for n in os.listdir(skills))
           and proc.poll() is None and time.monotonic() < deadline):
        time.sleep(0.001)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    assert out == "interrupted\n", err
    assert os.listdir(skills) == ["echo"]
    assert dn.runtime_run_skill_json(str(skills / "echo"), "{}", 5) == '{"v":1}'
