"""Leak checks through the installed module: many commands and many skill runs
keep the process's resident memory, its Python allocations and its open
descriptors flat, measured after a warm-up.

DOVEK_LEAK_COMMANDS (default 100,000) and DOVEK_LEAK_RUNS (default 1,000)
set the counts."""

import gc
import json
import os
import sys
import threading
from pathlib import Path

import pytest

import dovek_native as dn
from conftest import cmd, skill

N_COMMANDS = int(os.environ.get("DOVEK_LEAK_COMMANDS", "100000"))
N_RUNS = int(os.environ.get("DOVEK_LEAK_RUNS", "1000"))
BATCH = 1000  # commands between two resets: sessions legitimately grow in between

# Growth allowed between the end of the warm-up and the end of the run. A leak
# of one small allocation per command would exceed each of them many times over.
RSS_KB = 1024
BLOCKS = 200
OBJECTS = 20


def rss_kb() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS")


def snapshot() -> dict:
    gc.collect()
    return {"rss_kb": rss_kb(), "blocks": sys.getallocatedblocks(), "objects": len(gc.get_objects()),
            "fds": len(os.listdir("/proc/self/fd"))}


def sanitized() -> bool:
    """Under AddressSanitizer freed memory waits in a quarantine, so resident
    memory grows by design; LeakSanitizer checks native leaks there instead."""
    with open("/proc/self/maps") as f:
        maps = f.read()
    return any(lib in maps for lib in ("libasan", "libclang_rt.asan"))


def assert_flat(before: dict, after: dict, what: str) -> None:
    delta = {k: after[k] - before[k] for k in before}
    print(f"\n{what}: growth after warm-up {delta}")
    assert delta["fds"] == 0, delta
    if not sanitized():
        assert delta["rss_kb"] <= RSS_KB, delta
    assert delta["blocks"] <= BLOCKS, delta
    assert delta["objects"] <= OBJECTS, delta


def command_mix() -> list:
    """(text, expected outcome): a response prefix, or an exception type."""
    big = "w" * 2000
    mix = []
    for i in range(40):
        mix.append((cmd(type="save_skill", skill=skill(f"s{i % 16}", content=f"{big} {i}",
                                                       suggested_tools=["edit"])), '{"type":"saved"}'))
        mix.append((cmd(type="chat_turn", session_id=f"sess{i % 5}", message=f"use @s{i % 16} @ghost {big}",
                        assigned_skills=[f"s{(i + 3) % 16}", "missing"]), '{"type":"chat_turn"'))
        mix.append((cmd(type="run_task", run_id=f"r{i % 4}", task={"id": f"t{i}", "title": "T"},
                        message=f"see @s{i % 16}", assigned_skills=[]), '{"type":"run_task"'))
        mix.append((json.dumps(["call_tool", {"id": f"c{i}", "name": "n",
                                              "input": {"b": [1, -2, 3.5, None, True], "a": {"x": "\x00é"}}}]),
                    '{"type":"tool_events"'))
        mix.append(('{"type":"call_tool","call":{"id":"c","name":"n","input":' + "[" * 200 + "]" * 200 + "}}",
                    RuntimeError))
        mix.append((cmd(type="save_skill", skill=skill("x"))[:-1] + ',"skill":null}', RuntimeError))
        mix.append((cmd(type="save_skill", skill=skill("x")) + "trailing", RuntimeError))
    for i in range(10):
        mix.append((cmd(type="start_run", task={"id": f"t{i}", "title": "T"}, run_id=f"r{i % 4}",
                        session_id="s"), '{"type":"run_started"'))
        mix.append((cmd(type="switch_model", model={"provider": {"id": f"p{i}"}, "id": "m"}),
                    '{"type":"model_switched"'))
        mix.append((cmd(type="save_profile", profile={"provider": {"id": f"p{i}"}, "secret": {"key": f"K{i}"}}),
                    '{"type":"saved"}'))
        mix.append((b'{"type":"saved"}', TypeError))
        mix.append((cmd(type="chat_turn", session_id="s", message="\ud800", assigned_skills=[])
                    .replace("\\ud800", "\ud800"), UnicodeEncodeError))
    return mix


def run_commands(core, mix, n: int) -> None:
    for k in range(n):
        text, expected = mix[k % len(mix)]
        # A new argument object each time, so a reference the module kept to
        # its argument would keep memory alive and show.
        text = text + (b" " if isinstance(text, bytes) else " ") * (1 + k % 2)
        if isinstance(expected, str):
            assert core.handle_json(text).startswith(expected)
        else:
            with pytest.raises(expected):
                core.handle_json(text)
        if k % BATCH == BATCH - 1:
            core.reset()
            # A core of its own holding records, destroyed with its Python object.
            other = dn.Core()
            other.handle_json(mix[0][0])
            other.handle_json(mix[1][0])
            del other


@pytest.mark.slow
@pytest.mark.parametrize("which", ["instance", "module"])
def test_commands_keep_memory_and_descriptors_flat(which):
    core = dn.Core() if which == "instance" else dn
    mix = command_mix()
    warm_up = max(N_COMMANDS // 10, 2 * BATCH)
    run_commands(core, mix, warm_up)
    before = snapshot()
    refs = sys.getrefcount(core)
    run_commands(core, mix, N_COMMANDS - warm_up)
    assert sys.getrefcount(core) == refs
    assert_flat(before, snapshot(), f"{N_COMMANDS} commands ({which})")
    core.reset()


SCRIPT = """#!/bin/sh
read -r line
case "$line" in
  *fail*) echo "failed: $line" >&2; exit 3;;
  *bad*) echo "not json";;
  *sleep*) sleep 30;;
  *) echo "log" >&2; echo "{\\"got\\":$line}";;
esac
"""


def make_skill(root: Path) -> Path:
    root.mkdir(parents=True)
    (root / "artifact.json").write_text(json.dumps(
        {"schema_version": 1, "kind": "rust_binary", "id": "leak", "name": "L", "version": "1",
         "entry": "run.sh"}))
    (root / "run.sh").write_text(SCRIPT)
    (root / "run.sh").chmod(0o755)
    return root


def run_skills(root: Path, n: int, threads: int = 4) -> None:
    errors: list = []

    def worker(t):
        try:
            for i in range(t, n, threads):
                kind = ("ok", "ok", "ok", "ok", "ok", "ok", "fail", "bad", "sleep", "load")[i % 10]
                if kind == "ok":
                    assert dn.runtime_run_skill_json(str(root), json.dumps([i, "é"]), 30) == f'{{"got":[{i},"é"]}}'
                elif kind == "load":
                    assert json.loads(dn.runtime_load_artifact_json(str(root)))["id"] == "leak"
                    assert json.loads(dn.runtime_list_skills_json(str(root.parent)))[0]["id"] == "leak"
                    with pytest.raises(RuntimeError):
                        dn.runtime_load_artifact_json(str(root / "missing"))
                    # Installs (a replacement, a refusal) open and close directories.
                    installed = root.parent.parent / "installed"
                    dn.runtime_install_local_skill_json(str(root), str(installed), f"c{t}", True)
                    with pytest.raises(RuntimeError):
                        dn.runtime_install_local_skill_json(str(root), str(installed), f"c{t}", False)
                else:
                    with pytest.raises(RuntimeError) as info:
                        dn.runtime_run_skill_json(str(root), json.dumps(kind), 0 if kind == "sleep" else 30)
                    assert info.value.args[0] == {
                        "fail": 'skill process exited with status Some(3): failed: "fail"',
                        "bad": "decode skill output JSON from stdout: not json",
                        "sleep": "run skill `leak`"}[kind]
        except BaseException as e:
            errors.append(e)

    pool = [threading.Thread(target=worker, args=(t,)) for t in range(threads)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert errors == []


@pytest.mark.slow
def test_skill_runs_keep_memory_and_descriptors_flat(tmp_path):
    root = make_skill(tmp_path / "skills" / "leak")
    warm_up = max(N_RUNS // 10, 40)
    run_skills(root, warm_up)
    before = snapshot()
    run_skills(root, N_RUNS - warm_up)
    assert_flat(before, snapshot(), f"{N_RUNS} skill runs")
