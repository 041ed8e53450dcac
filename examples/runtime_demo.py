"""The skill artifact runtime end to end: build the two example skills with
the real `cargo` and `uv`, install them into a temporary skills directory,
list them, run them, and show what a time limit looks like.

Needs `uv` and `cargo` on PATH: activate the virtual environment first
(`. .venv/bin/activate`, which holds the pinned `uv`), then run
`python examples/runtime_demo.py`. `make demo` puts .venv/bin on PATH itself.
"""

import json
import os
import re
import shutil
import sys
import tempfile
import time
from pathlib import Path

import dovek_native as dn

SKILLS = Path(__file__).resolve().parent / "skills"


REQUIREMENTS = Path(__file__).resolve().parent.parent / "requirements-dev.txt"


def pinned_uv() -> str:
    """`uv==VERSION` as requirements-dev.txt pins it, or `uv` without it."""
    try:
        match = re.search(r"^uv==\S+", REQUIREMENTS.read_text(), re.MULTILINE)
    except OSError:
        match = None
    return match.group(0) if match else "uv"


def missing_tools() -> list[str]:
    """One line for each skill tool that is not on PATH, saying how to get it.

    The runtime finds `uv` and `cargo` on PATH only, as the host's own
    processes would: a virtual environment's bin is not on it unless the
    environment is activated."""
    missing = []
    if shutil.which("uv") is None:
        # Only a checkout where `make test` or `make bootstrap` ran has .venv.
        venv = REQUIREMENTS.parent / ".venv"
        activate = (f"activate the virtual environment (. {venv}/bin/activate) or "
                    if (venv / "bin" / "uv").exists() else "")
        missing.append(f"`uv` not found on PATH (needed to build and run Python skills): "
                       f"{activate}pip install {pinned_uv()}")
    if shutil.which("cargo") is None:
        missing.append("`cargo` not found on PATH (needed to build Rust skills): install it "
                       "with rustup (https://rustup.rs, then add ~/.cargo/bin to PATH) "
                       "or Debian's package (apt-get install cargo)")
    return missing


def require_tools(program: str) -> None:
    """Exits with status 1 and one line per missing tool unless `uv` and `cargo` are on PATH."""
    missing = missing_tools()
    for line in missing:
        print(f"{program}: {line}", file=sys.stderr)
    if missing:
        sys.exit(1)


def runtime_demo(kinds: tuple[str, ...] = ("rust-echo", "python-echo")) -> None:
    """Builds, installs, lists and runs the example skills named in `kinds`."""
    # Offline, as the tests run: no interpreter downloads by uv, no crate
    # index updates by cargo (the example skills need neither).
    os.environ.setdefault("UV_PYTHON_DOWNLOADS", "never")
    os.environ.setdefault("CARGO_NET_OFFLINE", "true")
    with tempfile.TemporaryDirectory(prefix="dovek-demo-") as tmp:
        work = Path(tmp)
        skills_dir = work / "skills"
        # Build copies, so the examples directory stays clean. A Python
        # skill's folder must be writable when it first runs: uv keeps its
        # environment there.
        for name in kinds:
            shutil.copytree(SKILLS / name, work / name)
            print(f"manifest of {name}:", dn.runtime_load_artifact_json(str(work / name)))
            started = time.monotonic()
            target = str(work / "target") if name == "rust-echo" else None
            dn.runtime_build_skill_json(str(work / name), target)
            tool = "cargo" if name == "rust-echo" else "uv"
            print(f"built {name} with {tool} in {time.monotonic() - started:.1f}s")
            dn.runtime_install_local_skill_json(str(work / name), str(skills_dir), None, False)

        listing = json.loads(dn.runtime_list_skills_json(str(skills_dir)))
        print("installed:", [f"{a['id']} {a['version']} ({a['kind']})" for a in listing])
        for name in kinds:
            out = dn.runtime_run_skill_json(str(skills_dir / name), '{"text": "hello"}', 30)
            print(f"{name} ->", out)

        if "python-echo" in kinds:
            try:
                dn.runtime_run_skill_json(str(skills_dir / "python-echo"), '{"sleep": 10}', 1)
            except RuntimeError as error:
                print("with a 1 s limit a 10 s skill fails:", error)


if __name__ == "__main__":
    require_tools("runtime_demo.py")
    runtime_demo()
