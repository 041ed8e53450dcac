"""Tools on a Core, measured beside what a Python application would do
without them, interleaved in one run; prints medians and ratios.

1. call_tool with an identity Python function on the 1 KB input of
   bench/python/commands.py, beside the same call done in Python on orjson:
   load the command, call the function, dump the response (checked byte for
   byte against the module's first). Goal: at most 1.0x.
2. call_tool of the compiled example skill (examples/skills/rust-echo) as a
   skill tool, beside runtime_run_skill_json of the same skill and input.
   Goal: at most 1.05x. Needs `cargo` (skipped, saying so, without it).

    python bench/bench_tools.py        (the installed module; `make bench` runs it)
"""

import json
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import orjson

import dovek_native as dn

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "python"))
import commands as cmds  # noqa: E402  (bench/python)
from bench_runtime import build_echo  # noqa: E402

ROUNDS = int(os.environ.get("BENCH_ROUNDS", "31"))


def median_seconds(candidates: dict, rounds: int, number: int) -> dict:
    """Median thread CPU seconds per call of each candidate, round by round."""
    samples = {name: [] for name in candidates}
    for _ in range(rounds):
        for name, fn in candidates.items():
            start = time.thread_time_ns()
            for _ in range(number):
                fn()
            samples[name].append((time.thread_time_ns() - start) / 1e9 / number)
    return {name: statistics.median(s) for name, s in samples.items()}


def bench_python_tool() -> None:
    # The command's objects are written with their keys sorted, as the module
    # writes every JSON object, so that orjson keeps that order from loads to
    # dumps and the two responses can be the same bytes.
    text = json.dumps(json.loads(cmds.commands()["call_tool"]), sort_keys=True,
                      separators=(",", ":"))
    core = dn.Core()
    identity = lambda value: value  # noqa: E731
    core.add_tool("echo", identity)

    def in_python():
        call = orjson.loads(text)["call"]
        value = identity(call["input"])
        return orjson.dumps({"type": "tool_events", "events": [
            {"type": "tool_call", "id": call["id"], "name": call["name"], "input": call["input"]},
            {"type": "tool_result", "id": call["id"], "value": value}]}).decode()

    assert core.handle_json(text) == in_python(), "the responses differ"
    t = median_seconds({"module": lambda: core.handle_json(text), "python+orjson": in_python},
                       ROUNDS, 2000)
    print(f"call_tool, Python identity tool, {len(text)} B command: module {t['module'] * 1e6:.2f} us"
          f"   python+orjson {t['python+orjson'] * 1e6:.2f} us"
          f"   ratio {t['module'] / t['python+orjson']:.2f}x  (goal <= 1.0x)")


def bench_skill_tool() -> None:
    if shutil.which("cargo") is None and not (Path.home() / ".cargo" / "bin" / "cargo").exists():
        print("skill tool: skipped (cargo not found)")
        return
    with tempfile.TemporaryDirectory() as tmp:
        root = build_echo(Path(tmp))
        value = {"text": "hello", "numbers": list(range(20)), "nested": {"a": [True, None]}}
        text = json.dumps(value, separators=(",", ":"), sort_keys=True)
        command = json.dumps({"type": "call_tool", "call": {"id": "c", "name": "echo", "input": value}})
        core = dn.Core()
        core.add_skill_tool("echo", str(root), 60)
        direct = json.loads(dn.runtime_run_skill_json(str(root), text, 60))
        assert json.loads(core.handle_json(command))["events"][1]["value"] == direct
        samples = {"tool": [], "runtime": []}
        for _ in range(20):
            core.handle_json(command), dn.runtime_run_skill_json(str(root), text, 60)
        for _ in range(int(os.environ.get("BENCH_SKILL_ROUNDS", "300"))):
            for name, fn in (("tool", lambda: core.handle_json(command)),
                             ("runtime", lambda: dn.runtime_run_skill_json(str(root), text, 60))):
                start = time.perf_counter()
                fn()
                samples[name].append(time.perf_counter() - start)
        tool, runtime = (statistics.median(samples[n]) for n in ("tool", "runtime"))
        print(f"call_tool, skill tool: module {tool * 1e6:.0f} us   runtime_run_skill_json "
              f"{runtime * 1e6:.0f} us   ratio {tool / runtime:.3f}x  (goal <= 1.05x)")


if __name__ == "__main__":
    bench_python_tool()
    bench_skill_tool()
