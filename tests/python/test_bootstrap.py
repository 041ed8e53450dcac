"""scripts/bootstrap.sh's choice of interpreter for a new .venv, against fake
interpreters (shell scripts answering the probe), so nothing is installed."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]


def fake_python(path: Path, version: str, impl: str = "cpython", gil_disabled: int = 0) -> Path:
    major, minor, micro = version.split(".")
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(f"#!/bin/sh\necho {impl} {major} {minor} {micro} {gil_disabled}\n")
    path.chmod(0o755)
    return path


@pytest.fixture
def machine(tmp_path):
    """A machine of fake interpreters: HOME without ~/.pyenv, an empty
    system directory, and a PATH holding only the commands the scripts need."""
    tools = tmp_path / "tools"
    tools.mkdir()
    for name in ("dirname", "basename", "cut"):
        found = shutil.which(name)
        if found:
            (tools / name).symlink_to(found)
    home = tmp_path / "home"
    home.mkdir()
    system = tmp_path / "system"
    system.mkdir()
    # Built from scratch: no LD_PRELOAD of a sanitizer run reaches bash.
    env = {"HOME": str(home), "PATH": str(tools), "DOVEK_SYSTEM_PYTHON_DIR": str(system)}
    return tmp_path, env


def add_to_path(env: dict, directory: Path) -> None:
    env["PATH"] = f"{env['PATH']}:{directory}"


def bootstrap(env: dict, *args: str, repo: Path = REPO) -> subprocess.CompletedProcess:
    return subprocess.run(["/bin/bash", str(repo / "scripts" / "bootstrap.sh"), *args],
                          env=env, capture_output=True, text=True, timeout=60)


def test_prefers_313_to_newer_and_older_versions(machine):
    tmp, env = machine
    fake_python(tmp / "a" / "python3.12", "3.12.4")
    fake_python(tmp / "b" / "python3.14", "3.14.0")
    want = fake_python(tmp / "b" / "python3.13", "3.13.2")
    add_to_path(env, tmp / "a")
    add_to_path(env, tmp / "b")
    result = bootstrap(env, "--print-python")
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{want}\n"
    assert result.stderr == f"bootstrap: using CPython 3.13.2 at {want}\n"


def test_without_313_takes_the_newest_cpython_from_311(machine):
    tmp, env = machine
    fake_python(tmp / "a" / "python3", "3.11.7")
    want = fake_python(tmp / "a" / "python3.12", "3.12.1")
    fake_python(tmp / "b" / "python3.10", "3.10.13")
    fake_python(tmp / "b" / "python3.14", "3.14.0", impl="pypy")
    fake_python(tmp / "b" / "python3.13t", "3.13.0", gil_disabled=1)
    broken = tmp / "b" / "python3.15"
    broken.write_text("#!/bin/sh\nexit 1\n")
    broken.chmod(0o755)
    fake_python(tmp / "b" / "python3.12-config", "3.12.9")
    add_to_path(env, tmp / "a")
    add_to_path(env, tmp / "b")
    result = bootstrap(env, "--print-python")
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{want}\n"
    assert result.stderr == ("bootstrap: CPython 3.13 not found\n"
                             f"bootstrap: using CPython 3.12.1 at {want}\n")


def test_searches_pyenv_and_the_system_directory(machine):
    tmp, env = machine
    fake_python(Path(env["DOVEK_SYSTEM_PYTHON_DIR"]) / "python3.11", "3.11.2")
    want = fake_python(Path(env["HOME"]) / ".pyenv" / "versions" / "3.13.0" / "bin" / "python3.13",
                       "3.13.0")
    result = bootstrap(env, "--print-python")
    assert result.stdout == f"{want}\n", result.stderr
    os.remove(want)
    result = bootstrap(env, "--print-python")
    assert result.stdout == f"{env['DOVEK_SYSTEM_PYTHON_DIR']}/python3.11\n", result.stderr


def test_override_wins_and_must_be_cpython_311_or_later(machine):
    tmp, env = machine
    add_to_path(env, fake_python(tmp / "a" / "python3.13", "3.13.0").parent)
    old = fake_python(tmp / "o" / "python", "3.11.9")
    result = bootstrap({**env, "DOVEK_PYTHON": str(old)}, "--print-python")
    assert result.stdout == f"{old}\n", result.stderr
    fake_python(old, "3.10.13")
    result = bootstrap({**env, "DOVEK_PYTHON": str(old)}, "--print-python")
    assert result.returncode == 1
    assert result.stdout == ""
    assert "is not a CPython 3.11 or later" in result.stderr


def test_no_interpreter_fails_before_installing_anything(machine):
    tmp, env = machine
    fake_python(tmp / "a" / "python3.10", "3.10.13")
    add_to_path(env, tmp / "a")
    # A copy of the scripts in an empty tree: no .venv, so bootstrap looks
    # for an interpreter, and must stop there with status 1 (not 127 from
    # running an empty command name) before apt-get or pip.
    repo = tmp / "repo"
    (repo / "scripts").mkdir(parents=True)
    for name in ("bootstrap.sh", "lib.sh"):
        shutil.copy(REPO / "scripts" / name, repo / "scripts" / name)
    result = bootstrap(env, repo=repo)
    assert result.returncode == 1, result.stderr
    assert result.stderr.startswith("bootstrap: no CPython 3.11 or later found"), result.stderr
    assert "DOVEK_PYTHON=" in result.stderr
    assert "command not found" not in result.stderr
    assert not (repo / ".venv").exists()
