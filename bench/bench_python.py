"""Core.handle_json measured from Python, in three parts (each printed as a
table; `--only` picks some):

table    per command: the module beside orjson and json loading the same
         command text and dumping the same response object, and beside the
         floor (the cheapest native call of the same shape, bench/python/
         floor.cc). Goals: module/orjson <= 1.0x (aim 0.8x), module/json
         <= 0.25x.
scaling  save_skill + chat_turn, chat_turn alone and save_skill alone with
         10, 10,000 and 100,000 stored skills, as ratios to 10 (goal <= 1.2x).
memory   heap growth per stored chat turn against the bytes of its two
         messages (user message + prompt) (goal <= 1.1x).

Times are thread CPU time (time.thread_time_ns), so other processes on the
machine cost little accuracy; each figure is the median of several rounds,
and the candidates are interleaved round by round so drift hits all alike.

The module is imported from --module-dir (or DOVEK_BENCH_MODULE_DIR), else
from the environment; the floor extension from --floor-dir (or
DOVEK_BENCH_FLOOR_DIR, default build/py/bench/python, built by
`meson compile -C build/py benchmarks`).
"""

import argparse
import ctypes
import gc
import json
import os
import statistics
import sys
import time
from typing import Callable

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(HERE, "python"))

import commands as cmds  # noqa: E402  (bench/python)
from turn_in_python import PythonTurn  # noqa: E402  (bench/python)

ORJSON_GOAL, ORJSON_AIM, JSON_GOAL, SCALING_GOAL, MEMORY_GOAL = 1.0, 0.8, 0.25, 1.2, 1.1


def verdict(ratio: float, goal: float) -> str:
    return "met" if ratio <= goal else "NOT met"


def batch_seconds(fn: Callable, arg, number: int) -> float:
    """Thread CPU seconds per call of `number` calls of fn(arg)."""
    start = time.thread_time_ns()
    for _ in range(number):
        fn(arg)
    return (time.thread_time_ns() - start) / 1e9 / number


def interleaved(candidates: dict, rounds: int, number: int | dict) -> dict:
    """Median seconds per call of each candidate (name -> (fn, arg)), timed
    round by round in turn, `number` calls per batch (one count, or one per
    name). The collector is off while timing, as in timeit."""
    counts = number if isinstance(number, dict) else {name: number for name in candidates}
    samples: dict = {name: [] for name in candidates}
    gc.collect()
    gc.disable()
    try:
        for _ in range(rounds):
            for name, (fn, arg) in candidates.items():
                samples[name].append(batch_seconds(fn, arg, counts[name]))
    finally:
        gc.enable()
    return {name: statistics.median(s) for name, s in samples.items()}


def calls_per_batch(fn: Callable, arg, target_seconds: float, cap: int) -> int:
    """How many calls of fn(arg) take about target_seconds (at least 1)."""
    fn(arg)  # warm up
    per_call = batch_seconds(fn, arg, 3)
    return max(1, min(cap, int(target_seconds / max(per_call, 1e-9))))


def us(seconds: float) -> str:
    return f"{seconds * 1e6:9.2f}us"


def command_table(dovek_native, floor: Callable, rounds: int) -> None:
    import orjson

    core = dovek_native.Core()
    cmds.prepare_core(core)
    print("== per command: median thread CPU time per call")
    print(f"{'command':<13}{'in/out B':>11} {'module':>11} {'orjson':>11} {'json':>11} {'floor':>11}"
          f"   {'mod/orjson':<22} {'mod/json':<22}")
    for name, text in cmds.commands().items():
        response = core.handle_json(text)
        response_obj = json.loads(response)

        def with_orjson(t, r=response_obj):
            orjson.loads(t)
            return orjson.dumps(r)

        def with_json(t, r=response_obj):
            json.loads(t)
            return json.dumps(r, separators=(",", ":"), ensure_ascii=False)

        candidates = {
            "module": (core.handle_json, text),
            "orjson": (with_orjson, text),
            "json": (with_json, text),
            "floor": (floor, text),
        }
        number = calls_per_batch(core.handle_json, text, 0.02, 5000)
        t = interleaved(candidates, rounds, number)
        vs_orjson, vs_json = t["module"] / t["orjson"], t["module"] / t["json"]
        sizes = f"{len(text.encode())}/{len(response.encode())}"
        print(f"{name:<13}{sizes:>11} {us(t['module'])} {us(t['orjson'])} {us(t['json'])} {us(t['floor'])}"
              f"   {vs_orjson:5.2f}x {verdict(vs_orjson, ORJSON_GOAL):<8}"
              f"{'aim met' if vs_orjson <= ORJSON_AIM else '':<8}"
              f" {vs_json:5.2f}x {verdict(vs_json, JSON_GOAL):<8}")
    print(f"goals: module/orjson <= {ORJSON_GOAL}x (aim {ORJSON_AIM}x), module/json <= {JSON_GOAL}x; "
          "floor = str in, thread state released, mutex, copy, str out")
    turn_reference(core, rounds)


def turn_reference(core, rounds: int) -> None:
    """chat_turn beside the same turn done in Python on orjson (no goal)."""
    text = cmds.chat_turn_text()
    python = PythonTurn()
    if python.turn(text) != core.handle_json(text).encode():
        print("chat_turn in Python: its response differs from the module's; not timed")
        return
    number = calls_per_batch(core.handle_json, text, 0.02, 5000)
    t = interleaved({"module": (core.handle_json, text), "python": (python.turn, text)}, rounds, number)
    print(f"chat_turn done in Python on orjson (same response bytes): {us(t['python']).strip()}, "
          f"module {us(t['module']).strip()}, module/python {t['module'] / t['python']:.2f}x")


def scaling_table(dovek_native, rounds: int, sizes: list) -> None:
    save_text, turn_text = cmds.save_skill_text(0), cmds.chat_turn_text()
    cores = {}
    for n in sizes:
        start = time.perf_counter()
        core = dovek_native.Core()
        cmds.prepare_core(core, n)
        cores[n] = core
        print(f"setup: {n} skills saved in {time.perf_counter() - start:.1f}s")

    def save_and_turn(core):
        core.handle_json(save_text)
        core.handle_json(turn_text)

    steps = {  # each takes the core it runs on
        "save+turn": save_and_turn,
        "chat_turn": lambda core: core.handle_json(turn_text),
        "save_skill": lambda core: core.handle_json(save_text),
    }
    print("== scaling: median thread CPU time per step, ratio to the fewest skills")
    print(f"{'step':<12}" + "".join(f"{f'{n} skills':>21}" for n in sizes) + "   worst")
    for step, fn in steps.items():
        # Each size gets the batch that takes about 20 ms, so a step that is
        # slow with many skills keeps the run short (down to one step).
        number = {n: calls_per_batch(fn, cores[n], 0.02, 2000) for n in sizes}
        t = interleaved({n: (fn, cores[n]) for n in sizes}, rounds, number)
        base = t[sizes[0]]
        cells = "".join(f"{us(t[n])} {t[n] / base:8.2f}x" for n in sizes)
        worst = max(t[n] / base for n in sizes)
        print(f"{step:<12}{cells}   {worst:.2f}x {verdict(worst, SCALING_GOAL)}")
    print(f"goal: every ratio <= {SCALING_GOAL}x")


def heap_bytes() -> tuple[int, str]:
    """Bytes the C heap has handed out (glibc mallinfo2), else resident size."""
    try:
        class MallInfo2(ctypes.Structure):
            _fields_ = [(f, ctypes.c_size_t) for f in
                        ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                         "uordblks", "fordblks", "keepcost")]

        mallinfo2 = ctypes.CDLL(None).mallinfo2
        mallinfo2.restype = MallInfo2
        info = mallinfo2()
        return info.uordblks + info.hblkhd, "mallinfo2 in-use bytes"
    except (AttributeError, OSError):
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE"), "resident set size"


def memory_table(dovek_native, turns: int) -> None:
    message = "Summarise the failing build log and name the step that broke, in one short paragraph, please."
    text = json.dumps({"type": "chat_turn", "session_id": "mem", "message": message, "assigned_skills": []})
    core = dovek_native.Core()
    prompt = json.loads(core.handle_json(text))["events"][0]["value"]
    stored = len(message.encode()) + len(prompt.encode())
    gc.collect()
    before, how = heap_bytes()
    for _ in range(turns - 1):
        core.handle_json(text)
    gc.collect()
    after, _ = heap_bytes()
    per_turn = (after - before) / (turns - 1)
    ratio = per_turn / stored
    print(f"== memory: {turns} chat turns into one session, no skills ({how})")
    print(f"{'per turn':>12} {'messages':>10} {'ratio':>7}")
    print(f"{per_turn:>10.1f} B {stored:>8} B {ratio:6.2f}x {verdict(ratio, MEMORY_GOAL)}")
    print(f"goal: heap growth per turn <= {MEMORY_GOAL}x the bytes of its user message and prompt")


def load_modules(module_dir: str | None, floor_dir: str):
    if module_dir:
        sys.path.insert(0, os.path.abspath(module_dir))
    import dovek_native

    sys.path.insert(0, os.path.abspath(floor_dir))
    try:
        import dovek_bench_floor
    except ImportError:
        sys.exit(f"bench_python: no dovek_bench_floor in {floor_dir}; build it with "
                 "`.venv/bin/meson compile -C build/py benchmarks` or pass --floor-dir")
    finally:
        sys.path.pop(0)
    return dovek_native, dovek_bench_floor.floor


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module-dir", default=os.environ.get("DOVEK_BENCH_MODULE_DIR"),
                        help="directory holding dovek_native.abi3.so (default: import from the environment)")
    parser.add_argument("--floor-dir", default=os.environ.get("DOVEK_BENCH_FLOOR_DIR",
                                                              os.path.join(ROOT, "build/py/bench/python")))
    parser.add_argument("--only", action="append", choices=["table", "scaling", "memory"])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--sizes", default="10,10000,100000", help="stored skills for the scaling part")
    parser.add_argument("--turns", type=int, default=20000, help="chat turns for the memory part")
    args = parser.parse_args()
    parts = args.only or ["table", "scaling", "memory"]

    dovek_native, floor = load_modules(args.module_dir, args.floor_dir)
    print(f"module: {dovek_native.__file__}")
    if "table" in parts:
        command_table(dovek_native, floor, args.rounds)
    if "scaling" in parts:
        scaling_table(dovek_native, args.rounds, [int(n) for n in args.sizes.split(",")])
    if "memory" in parts:
        memory_table(dovek_native, args.turns)


if __name__ == "__main__":
    main()
