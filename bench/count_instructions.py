"""Instructions per command, counted by valgrind's callgrind: unlike times,
the counts repeat exactly whatever else the machine is doing.

For each command of bench_python.py's table and each candidate (the module's
Core.handle_json; orjson loading the command text and dumping the response
object; the floor extension) a driver, bench/python/count_driver.py, runs
under callgrind twice, making K and then 2K calls after a warm-up; the difference of the two totals over K is
the count per call, start-up and set-up cancelled out.

Needs valgrind on PATH. The module and the floor are found as in
bench_python.py (--module-dir / DOVEK_BENCH_MODULE_DIR, --floor-dir /
DOVEK_BENCH_FLOOR_DIR, default build/py/bench/python).
"""

import argparse
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(HERE, "python"))

import commands as cmds  # noqa: E402  (bench/python)

CANDIDATES = ("module", "orjson", "floor")
DRIVER = os.path.join(HERE, "python", "count_driver.py")


def total_instructions(candidate: str, command: str, calls: int, env: dict) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable,
             DRIVER, candidate, command, str(calls)],
            env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            match = re.search(r"^(?:totals|summary): (\d+)", f.read(), re.MULTILINE)
        if not match:
            sys.exit(f"count_instructions: no total in callgrind's output for {candidate} {command}")
        return int(match.group(1))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module-dir", default=os.environ.get("DOVEK_BENCH_MODULE_DIR"))
    parser.add_argument("--floor-dir", default=os.environ.get("DOVEK_BENCH_FLOOR_DIR",
                                                              os.path.join(ROOT, "build/py/bench/python")))
    parser.add_argument("-k", "--calls", type=int, default=200, help="K: calls in the shorter run")
    parser.add_argument("-j", "--jobs", type=int, default=2, help="callgrind runs at once")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        sys.exit("count_instructions: valgrind not found (apt-get install valgrind)")
    floor_dir = os.path.abspath(args.floor_dir)
    if not any(name.startswith("dovek_bench_floor") for name in os.listdir(floor_dir) if os.path.isdir(floor_dir)):
        sys.exit(f"count_instructions: no dovek_bench_floor in {floor_dir}; build it with "
                 "`.venv/bin/meson compile -C build/py benchmarks` or pass --floor-dir")

    env = dict(os.environ, PYTHONHASHSEED="0", DOVEK_BENCH_FLOOR_DIR=floor_dir)
    if args.module_dir:
        env["DOVEK_BENCH_MODULE_DIR"] = os.path.abspath(args.module_dir)
    names = list(cmds.commands())
    jobs = {(c, n, k): None for n in names for c in CANDIDATES for k in (args.calls, 2 * args.calls)}
    with concurrent.futures.ThreadPoolExecutor(args.jobs) as pool:
        futures = {key: pool.submit(total_instructions, *key, env) for key in jobs}
        totals = {key: f.result() for key, f in futures.items()}

    k = args.calls
    print(f"== instructions per call (callgrind; ({k * 2} calls - {k} calls) / {k})")
    print(f"{'command':<13}{'module':>10}{'orjson':>10}{'floor':>10}{'mod/orjson':>12}")
    for n in names:
        per = {c: (totals[(c, n, 2 * k)] - totals[(c, n, k)]) / k for c in CANDIDATES}
        print(f"{n:<13}{per['module']:>10.0f}{per['orjson']:>10.0f}{per['floor']:>10.0f}"
              f"{per['module'] / per['orjson']:>11.2f}x")


if __name__ == "__main__":
    main()
