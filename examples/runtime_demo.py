"""The skill artifact runtime end to end: build the two example skills with
the real `cargo` and `uv`, install them into a temporary skills directory,
list them, run them, and show what a time limit looks like.

Run from the repository: `.venv/bin/python examples/runtime_demo.py`
(`make demo` puts .venv/bin on PATH so the bare name `uv` is found).
"""

import json
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

import dovek_native as dn

SKILLS = Path(__file__).resolve().parent / "skills"


def prepare_environment() -> None:
    # `uv` lives in the virtual environment; `cargo` usually in ~/.cargo/bin.
    extra = [str(Path(sys.executable).parent), str(Path.home() / ".cargo" / "bin")]
    os.environ["PATH"] = os.pathsep.join(extra + [os.environ.get("PATH", "")])
    os.environ.setdefault("UV_PYTHON_DOWNLOADS", "never")
    os.environ.setdefault("CARGO_NET_OFFLINE", "true")


def runtime_demo() -> None:
    prepare_environment()
    with tempfile.TemporaryDirectory(prefix="dovek-demo-") as tmp:
        work = Path(tmp)
        skills_dir = work / "skills"
        # Build copies, so the examples directory stays clean.
        for name in ("rust-echo", "python-echo"):
            shutil.copytree(SKILLS / name, work / name)

        print("manifest:", dn.runtime_load_artifact_json(str(work / "rust-echo")))

        started = time.monotonic()
        dn.runtime_build_skill_json(str(work / "rust-echo"), str(work / "target"))
        print(f"built rust-echo with cargo in {time.monotonic() - started:.1f}s")
        started = time.monotonic()
        dn.runtime_build_skill_json(str(work / "python-echo"), None)
        print(f"built python-echo with uv in {time.monotonic() - started:.1f}s")

        for name in ("rust-echo", "python-echo"):
            dn.runtime_install_local_skill_json(str(work / name), str(skills_dir), None, False)
        listing = json.loads(dn.runtime_list_skills_json(str(skills_dir)))
        print("installed:", [f"{a['id']} {a['version']} ({a['kind']})" for a in listing])

        for name in ("rust-echo", "python-echo"):
            out = dn.runtime_run_skill_json(str(skills_dir / name), '{"text": "hello"}', 30)
            print(f"{name} ->", out)

        try:
            dn.runtime_run_skill_json(str(skills_dir / "python-echo"), '{"sleep": 10}', 1)
        except RuntimeError as error:
            print("with a 1 s limit a 10 s skill fails:", error)


if __name__ == "__main__":
    runtime_demo()
