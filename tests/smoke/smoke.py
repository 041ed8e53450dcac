"""Smoke test of an installed dovek_native wheel: every public function once.

    python tests/smoke/smoke.py EXAMPLES_SKILLS_DIR

Run it with the interpreter of a clean virtual environment that has only the
wheel installed, from a directory outside the source tree, so the module
under test is the installed one. Prints one line per function and exits
non-zero on the first failure. Builds the Rust example skill with `cargo`
(offline) into a temporary target directory; Python skills are not used, so
`uv` is not needed.
"""

import json
import os
import shutil
import sys
import sysconfig
import tempfile
from pathlib import Path

import dovek_native as dn


def check(name: str, condition: bool, detail: str) -> None:
    if not condition:
        raise SystemExit(f"smoke: {name}: unexpected result: {detail}")
    print(f"ok {name}: {detail}")


def core_commands() -> None:
    skill = {"id": "writer", "name": "Writer", "source": "user", "read_only": False,
             "content": "Write well.", "suggested_tools": []}
    save = json.dumps({"type": "save_skill", "skill": skill})
    turn = json.dumps({"type": "chat_turn", "session_id": "s1", "message": "use @writer",
                       "assigned_skills": []})

    out = dn.handle_json(save)
    check("handle_json", out == '{"type":"saved"}', out)
    dn.reset()
    prompt = json.loads(dn.handle_json(turn))["events"][0]["value"]
    check("reset", "unknown mentioned skill: writer" in prompt, "the process-wide core forgot its skills")

    core = dn.Core()
    out = core.handle_json(save)
    prompt = json.loads(core.handle_json(turn))["events"][0]["value"]
    check("Core().handle_json", out == '{"type":"saved"}' and "Write well." in prompt, out)
    core.reset()
    prompt = json.loads(core.handle_json(turn))["events"][0]["value"]
    check("Core().reset", "unknown mentioned skill: writer" in prompt, "the core forgot its skills")

    # A durable core: the SQLite library the wheel carries.
    with tempfile.TemporaryDirectory(prefix="dovek-smoke-") as tmp:
        url = f"sqlite:///{tmp}/agent.db"
        dn.Core.open(url).handle_json(save)
        prompt = json.loads(dn.Core.open(url).handle_json(turn))["events"][0]["value"]
        check("Core.open", "Write well." in prompt, "a second core on the file missed the skill")


def skill_runtime(skills: Path) -> None:
    with tempfile.TemporaryDirectory(prefix="dovek-smoke-") as tmp:
        work = Path(tmp)
        source = work / "rust-echo"
        shutil.copytree(skills / "rust-echo", source)

        manifest = json.loads(dn.runtime_load_artifact_json(str(source)))
        check("runtime_load_artifact_json", manifest["id"] == "rust-echo", f"id {manifest['id']}")

        built = dn.runtime_build_skill_json(str(source), str(work / "target"))
        check("runtime_build_skill_json", (source / manifest["entry"]).is_file(), built)

        installed = json.loads(
            dn.runtime_install_local_skill_json(str(source), str(work / "skills"), None, False))
        check("runtime_install_local_skill_json", installed["id"] == "rust-echo", f"id {installed['id']}")

        listing = json.loads(dn.runtime_list_skills_json(str(work / "skills")))
        ids = [a["id"] for a in listing]
        check("runtime_list_skills_json", ids == ["rust-echo"], f"ids {ids}")

        out = dn.runtime_run_skill_json(str(work / "skills" / "rust-echo"), '{"text":"hello"}', 60)
        check("runtime_run_skill_json", "hello" in out, out)


def main() -> None:
    if len(sys.argv) != 2:
        raise SystemExit("usage: smoke.py EXAMPLES_SKILLS_DIR")
    module = Path(dn.__file__).resolve()
    site = Path(sysconfig.get_paths()["platlib"]).resolve()
    if site not in module.parents:
        raise SystemExit(f"smoke: dovek_native comes from {module}, not from {site}")
    print(f"python {sys.version.split()[0]}: {module.name} from {site}")
    os.environ.setdefault("CARGO_NET_OFFLINE", "true")
    core_commands()
    skill_runtime(Path(sys.argv[1]).resolve())


if __name__ == "__main__":
    main()
