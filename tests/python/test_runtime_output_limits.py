"""Skills that flood their standard output or standard error: the host's
memory stays bounded and the failure says what happened. Each run happens in
a Python subprocess of its own, so its peak resident size is the run's."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

MIB = 1 << 20
PART = 512 << 10  # head and tail of standard error that a failure quotes

MEASURE = """
import json, resource, sys
import dovek_native

def peak_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

before = peak_kib()
try:
    dovek_native.runtime_run_skill_json(sys.argv[1], "{}", int(sys.argv[2]))
    message = None
except RuntimeError as e:
    message = e.args[0]
print(json.dumps({"grew": (peak_kib() - before) * 1024, "message": message}))
"""


def flood_skill(root: Path, body: str) -> Path:
    root.mkdir(parents=True)
    (root / "artifact.json").write_text(json.dumps(
        {"schema_version": 1, "kind": "rust_binary", "id": "flood", "name": "Flood",
         "version": "0.1.0", "entry": "run.sh"}))
    (root / "run.sh").write_text("#!/bin/sh\ncat >/dev/null\n" + body + "\n")
    (root / "run.sh").chmod(0o755)
    return root


def run_measured(root: Path, timeout_seconds: int) -> dict:
    out = subprocess.run([sys.executable, "-c", MEASURE, str(root), str(timeout_seconds)],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def seq_lines(n: int) -> str:
    return "".join(f"{i}\n" for i in range(1, n + 1))


@pytest.mark.parametrize("body, timeout, message, bound", [
    # Killed at 64 MiB of output: the buffer never grows past that.
    ("exec cat /dev/zero", 60, "run skill `flood`", 160 * MIB),
    # Drained until the time limit, only 1 MiB of it kept.
    ("exec cat /dev/zero >&2", 2, "run skill `flood`", 24 * MIB),
], ids=["stdout", "stderr"])
def test_floods_keep_the_host_memory_bounded(tmp_path, body, timeout, message, bound):
    result = run_measured(flood_skill(tmp_path / "s", body), timeout)
    print(f"\npeak resident size grew by {result['grew'] / MIB:.1f} MiB")
    assert result["message"] == message
    assert result["grew"] < bound


def test_long_standard_error_is_quoted_by_head_and_tail(tmp_path):
    whole = seq_lines(400_000)
    root = flood_skill(tmp_path / "s", "seq 1 400000 >&2; exit 5")
    result = run_measured(root, 60)
    left_out = len(whole) - 2 * PART
    kept = (whole[:PART] + f"\n[... {left_out} bytes of standard error left out ...]\n" +
            whole[-PART:]).rstrip("\n")
    assert result["message"] == "skill process exited with status Some(5): " + kept

