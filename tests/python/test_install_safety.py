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


def run_python(code: str, timeout=120) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout)


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
