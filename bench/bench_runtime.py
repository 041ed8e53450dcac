"""Skill runs through the module beside Python's own way of doing the same.

1. `runtime_run_skill_json` of the compiled example skill (examples/skills/
   rust-echo) beside `subprocess.run(..., input=..., capture_output=True)` of
   the same executable plus `json.loads`, interleaved in one run; prints the
   medians and their ratio. Goal: at most 1.05x.
2. The largest limit, 2**64-1 seconds, with a quick skill: must succeed.
3. Ctrl-C during a long skill: KeyboardInterrupt within 200 ms and no process
   left behind.

Needs `cargo` (CARGO_NET_OFFLINE=true is enough: the skill has no dependencies).
"""

import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import dovek_native as dn

SKILLS = Path(__file__).resolve().parents[1] / "examples" / "skills"
ROUNDS = int(os.environ.get("BENCH_ROUNDS", "400"))


def build_echo(work: Path) -> Path:
    os.environ["PATH"] = f"{Path.home() / '.cargo' / 'bin'}:{os.environ.get('PATH', '')}"
    os.environ.setdefault("CARGO_NET_OFFLINE", "true")
    root = work / "rust-echo"
    shutil.copytree(SKILLS / "rust-echo", root)
    dn.runtime_build_skill_json(str(root), str(work / "target"))
    return root


def bench_run(root: Path) -> None:
    exe = str(root / "bin" / "rust-echo")
    payload = {"text": "hello", "numbers": list(range(20)), "nested": {"a": [True, None]}}
    text = json.dumps(payload, separators=(",", ":"), sort_keys=True)

    def ours():
        return json.loads(dn.runtime_run_skill_json(str(root), text, 60))

    def baseline():
        done = subprocess.run([exe], input=(text + "\n").encode(), capture_output=True, cwd=root,
                              timeout=60)
        return json.loads(done.stdout)

    assert ours() == baseline()
    for _ in range(20):  # warm up caches and the page cache
        ours(), baseline()
    t_ours, t_base = [], []
    for _ in range(ROUNDS):
        for f, sink in ((ours, t_ours), (baseline, t_base)):
            start = time.perf_counter()
            f()
            sink.append(time.perf_counter() - start)
    m_ours, m_base = statistics.median(t_ours), statistics.median(t_base)
    print(f"run compiled skill     ours {m_ours * 1e6:8.0f} us   subprocess.run+json.loads "
          f"{m_base * 1e6:8.0f} us   ratio {m_ours / m_base:.3f}x  (goal <= 1.05x)")


def bench_unbounded_limit(root: Path) -> None:
    start = time.perf_counter()
    out = dn.runtime_run_skill_json(str(root), "1", 2**64 - 1)
    print(f"limit 2**64-1 s        ok in {(time.perf_counter() - start) * 1e3:.1f} ms: {out}")


def bench_ctrl_c(work: Path) -> None:
    long = work / "long"
    long.mkdir()
    (long / "artifact.json").write_text(json.dumps({
        "schema_version": 1, "kind": "rust_binary", "id": "long", "name": "Long",
        "version": "1", "entry": "run.sh"}))
    (long / "run.sh").write_text(f"#!/bin/sh\necho $$ > '{work}/pid'\nsleep 60\n")
    (long / "run.sh").chmod(0o755)
    code = (
        "import dovek_native, sys, time\n"
        "try:\n"
        f"    dovek_native.runtime_run_skill_json({str(long)!r}, '{{}}', 120)\n"
        "except KeyboardInterrupt:\n"
        "    print(time.monotonic(), flush=True)\n"
    )
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, text=True)
    pid_file = work / "pid"
    while not (pid_file.exists() and pid_file.read_text().strip()):
        time.sleep(0.005)
    time.sleep(0.2)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=30)
    pid = int(pid_file.read_text())
    left = os.path.exists(f"/proc/{pid}") and open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()[0] != "Z"
    if out.strip():
        latency = (float(out) - sent) * 1e3
        print(f"Ctrl-C during a skill  KeyboardInterrupt after {latency:.0f} ms (goal <= 200 ms); "
              f"skill process left: {left}")
    else:
        print(f"Ctrl-C during a skill  no KeyboardInterrupt (exit {proc.returncode}); left: {left}")


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="dovek-bench-") as tmp:
        work = Path(tmp)
        root = build_echo(work)
        bench_run(root)
        bench_unbounded_limit(root)
        bench_ctrl_c(work)


if __name__ == "__main__":
    main()
