"""Cores on a SQLite store file (Core.open) measured from Python, in three
parts (each printed as a table; `--only` picks some):

table     chat_turn, save_skill and start_run on a SQLite core beside the
          same command done in Python with orjson and the sqlite3 module: the
          same journal mode and synchronous setting, one BEGIN IMMEDIATE
          transaction writing the same rows, the command loaded and the same
          response bytes dumped (checked before timing). The in-memory core's
          time is shown too: what the command costs without a store, so the
          rest is SQLite and the store's code. Goal: module/python <= 1.0x
          (aim 0.7x).
scaling   chat_turn at turn 10,000 of a session against turn 10; with 10,000
          stored skills against 10; with 10,000 skills and another connection
          saving a skill before every turn. Goal: each <= 1.2x.
fairness  one process takes chat turns back to back while another saves
          skills one after another: how long the second one's saves wait
          (median, 99th percentile, worst) against the busy timeout.

Times are thread CPU time, the median of several rounds with the candidates
interleaved round by round (bench_python.py's method); the fairness part
measures wall time. The store files live in a temporary directory.
"""

import argparse
import os
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time

import orjson

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "python"))
sys.path.insert(0, HERE)

import commands as cmds  # noqa: E402  (bench/python)
from bench_python import calls_per_batch, interleaved, us, verdict  # noqa: E402
from turn_in_python import PythonTurn  # noqa: E402  (bench/python)

GOAL, AIM, SCALING_GOAL = 1.0, 0.7, 1.2

SCHEMA = """
CREATE TABLE IF NOT EXISTS skills(key TEXT PRIMARY KEY, id TEXT, name TEXT, source INTEGER,
  source_ref TEXT, read_only INTEGER, description TEXT, content TEXT, suggested_tools TEXT);
CREATE TABLE IF NOT EXISTS messages(session TEXT, seq INTEGER, role INTEGER, content TEXT,
  PRIMARY KEY(session, seq));
CREATE TABLE IF NOT EXISTS tasks(key TEXT PRIMARY KEY, id TEXT, title TEXT, input TEXT, agent_id TEXT,
  session_id TEXT, status TEXT, schedule TEXT, created_at TEXT, updated_at TEXT, error TEXT);
CREATE TABLE IF NOT EXISTS runs(key TEXT PRIMARY KEY, id TEXT, task_id TEXT, status INTEGER,
  raw_status TEXT, session_id TEXT, execution_id TEXT, checkpoint_id TEXT, error TEXT,
  started_at TEXT, updated_at TEXT, ended_at TEXT);
"""

RUN_KEYS = ["raw_status", "session_id", "execution_id", "checkpoint_id", "error", "started_at",
            "updated_at", "ended_at"]
TASK_KEYS = ["input", "agent_id", "session_id", "status", "schedule", "created_at", "updated_at", "error"]


class PythonStore:
    """The three commands in Python on orjson and sqlite3, as a program that
    keeps its rows in the same kind of tables would write them."""

    def __init__(self, path: str, synchronous: str) -> None:
        self.db = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
        self.db.execute("PRAGMA journal_mode=WAL")
        self.db.execute(f"PRAGMA synchronous={synchronous}")
        self.db.executescript(SCHEMA)
        self.prompts = PythonTurn()

    def chat_turn(self, text: str) -> bytes:
        # PythonTurn.turn's rendering, with the history kept in the database.
        command = orjson.loads(text)
        message, session, p = command["message"], command["session_id"], self.prompts
        assigned = [p.summaries[i] for i in dict.fromkeys(command["assigned_skills"])]
        blocks = ["## Assigned skills\n" + "\n\n".join(assigned)] if assigned else []
        for name in dict.fromkeys(p._mentions(message)):
            blocks.append(f"## Mentioned skill: @{name}\n{p.mentioned[name]}")
        blocks.append("## User message\n" + message)
        prompt = "\n\n".join(blocks)
        db = self.db
        db.execute("BEGIN IMMEDIATE")
        (last,) = db.execute("SELECT max(seq) FROM messages WHERE session = ?", (session,)).fetchone()
        seq = 0 if last is None else last + 1
        db.execute("INSERT INTO messages VALUES (?, ?, 0, ?)", (session, seq, message))
        db.execute("INSERT INTO messages VALUES (?, ?, 1, ?)", (session, seq + 1, prompt))
        db.execute("COMMIT")
        return orjson.dumps({"type": "chat_turn", "events": [{"type": "text", "value": prompt}]})

    def save_skill(self, text: str) -> bytes:
        s = orjson.loads(text)["skill"]
        db = self.db
        db.execute("BEGIN IMMEDIATE")
        db.execute("INSERT OR REPLACE INTO skills VALUES (?, ?, ?, 1, ?, ?, ?, ?, ?)",
                   (s["id"], s["id"], s["name"], s.get("source_ref"), int(s["read_only"]),
                    s.get("description"), s["content"], orjson.dumps(s["suggested_tools"])))
        db.execute("COMMIT")
        return orjson.dumps({"type": "saved"})

    def start_run(self, text: str) -> bytes:
        command = orjson.loads(text)
        task = command["task"]
        run = {"id": command["run_id"], "task_id": task["id"], "status": "running",
               **{k: None for k in RUN_KEYS}}
        run["session_id"] = command["session_id"]
        db = self.db
        db.execute("BEGIN IMMEDIATE")
        db.execute("INSERT OR REPLACE INTO tasks VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                   (task["id"], task["id"], task["title"], *(task.get(k) for k in TASK_KEYS)))
        db.execute("INSERT OR REPLACE INTO runs VALUES (?, ?, ?, 1, ?, ?, ?, ?, ?, ?, ?, ?)",
                   (run["id"], run["id"], run["task_id"], *(run[k] for k in RUN_KEYS)))
        db.execute("COMMIT")
        return orjson.dumps({"type": "run_started", "run": run})


def child(dovek_native, script: str, *args: str, **kwargs) -> subprocess.Popen:
    """A Python process running `script` with this same module."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(dovek_native.__file__))
    return subprocess.Popen([sys.executable, "-c", script, *args], env=env, text=True, **kwargs)


def store_url(path: str, synchronous: str) -> str:
    return f"sqlite:///{path}?synchronous={synchronous}"


def command_table(dovek_native, folder: str, rounds: int, synchronous: str) -> None:
    durable = dovek_native.Core.open(store_url(os.path.join(folder, "table.db"), synchronous))
    memory = dovek_native.Core()
    python = PythonStore(os.path.join(folder, "python.db"), synchronous)
    for core in (durable, memory):
        cmds.prepare_core(core)
    texts = cmds.commands()
    print(f"== per command on SQLite (synchronous={synchronous}): median thread CPU time per call")
    print(f"{'command':<12}{'module':>11}{'python':>11}{'memory':>11}   {'mod/python':<20}{'store share':>12}")
    for name in ("chat_turn", "save_skill", "start_run"):
        text = texts[name]
        fn = getattr(python, name)
        if fn(text) != durable.handle_json(text).encode():
            print(f"{name:<12} the Python version's response differs from the module's; not timed")
            continue
        number = calls_per_batch(durable.handle_json, text, 0.02, 2000)
        t = interleaved({"module": (durable.handle_json, text), "python": (fn, text),
                         "memory": (memory.handle_json, text)}, rounds, number)
        ratio = t["module"] / t["python"]
        share = (t["module"] - t["memory"]) / t["module"]
        print(f"{name:<12}{us(t['module'])}{us(t['python'])}{us(t['memory'])}   {ratio:5.2f}x "
              f"{verdict(ratio, GOAL):<8}{'aim met' if ratio <= AIM else '':<7}{share:11.0%}")
    print(f"goal: module/python <= {GOAL}x (aim {AIM}x); store share: the part of the module's "
          "time that the in-memory core does not spend (SQLite and the store's code)")


SAVER = """
import json, sys, dovek_native
core = dovek_native.Core.open(sys.argv[1])
skill = {"id": "other", "name": "n", "source": "user", "read_only": False, "content": "c",
         "suggested_tools": []}
for line in sys.stdin:
    core.handle_json(json.dumps({"type": "save_skill", "skill": skill}))
    print("saved", flush=True)
"""


def scaling_table(dovek_native, folder: str, rounds: int, big: int) -> None:
    turn = cmds.chat_turn_text()
    cores = {}
    for name, skills, turns in (("10 turns", 10, 10), (f"{big} turns", 10, big),
                                (f"{big} skills", big, 10)):
        start = time.perf_counter()
        core = dovek_native.Core.open(f"sqlite:///{folder}/scaling-{skills}-{turns}.db")
        cmds.prepare_core(core, skills)
        for _ in range(turns):
            core.handle_json(turn)
        cores[name] = core
        print(f"setup: {name} ({skills} skills, {turns} turns) in {time.perf_counter() - start:.1f}s")
    # Another process saves a skill before each turn: the turn's catalog
    # must catch up with that one row, not read the 10,000 again. (Any
    # commit by another connection also empties this connection's page
    # cache, whatever it holds, so this compares with 10 skills likewise.)
    savers = {n: child(dovek_native, SAVER, f"sqlite:///{folder}/scaling-{n}-10.db",
                       stdin=subprocess.PIPE, stdout=subprocess.PIPE) for n in (10, big)}

    def saved_then_turn(args):
        saver, core = args
        saver.stdin.write("\n")
        saver.stdin.flush()
        saver.stdout.readline()
        core.handle_json(turn)

    steps = {name: (lambda c: c.handle_json(turn), core) for name, core in cores.items()}
    steps["10 skills, saves between"] = (saved_then_turn, (savers[10], cores["10 turns"]))
    steps[f"{big} skills, saves between"] = (saved_then_turn, (savers[big], cores[f"{big} skills"]))
    number = calls_per_batch(steps["10 turns"][0], cores["10 turns"], 0.02, 500)
    t = interleaved(steps, rounds, number)
    for saver in savers.values():
        saver.stdin.close()
        saver.wait(timeout=60)
    base_saves = t["10 skills, saves between"]
    base = t["10 turns"]
    print("== scaling: chat_turn on SQLite, median thread CPU time, ratio to turn 10 with 10 skills\n"
          "   (with saves between: to 10 skills with saves between)")
    for name, seconds in t.items():
        ratio = seconds / (base_saves if "saves" in name else base)
        print(f"{name:<28}{us(seconds)} {ratio:6.2f}x {verdict(ratio, SCALING_GOAL)}")
    print(f"goal: every ratio <= {SCALING_GOAL}x (the saving process's own time is not counted)")


TURNER = """
import json, sys, time, dovek_native
core = dovek_native.Core.open(sys.argv[1])
text = json.dumps({"type": "chat_turn", "session_id": "busy", "message": "m", "assigned_skills": []})
deadline = time.monotonic() + float(sys.argv[2])
n = 0
while time.monotonic() < deadline:
    core.handle_json(text)
    n += 1
print(n)
"""


def fairness(dovek_native, folder: str, seconds: float) -> None:
    path = f"{folder}/fair.db"
    core = dovek_native.Core.open(f"sqlite:///{path}")
    turner = child(dovek_native, TURNER, f"sqlite:///{path}", str(seconds), stdout=subprocess.PIPE)
    time.sleep(0.3)  # let it get going
    waits = []
    failures = 0
    save = cmds.save_skill_text(0)
    deadline = time.monotonic() + seconds - 0.6
    while time.monotonic() < deadline:
        start = time.perf_counter()
        try:
            core.handle_json(save)
        except RuntimeError:
            failures += 1
        waits.append(time.perf_counter() - start)
    turns = int(turner.communicate(timeout=120)[0])
    waits.sort()
    p99 = waits[int(len(waits) * 0.99)]
    print(f"== fairness: saves of one process while another takes chat turns back to back ({seconds:.0f}s)")
    print(f"turns {turns}, saves {len(waits)}, failed saves {failures}; save wall time: median "
          f"{statistics.median(waits) * 1e6:.0f} us, p99 {p99 * 1e6:.0f} us, mean "
          f"{statistics.mean(waits) * 1e6:.0f} us, worst {waits[-1] * 1e3:.1f} ms "
          "(busy timeout 5000 ms)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module-dir", default=os.environ.get("DOVEK_BENCH_MODULE_DIR"))
    parser.add_argument("--only", action="append", choices=["table", "scaling", "fairness"])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--synchronous", default="normal", choices=["normal", "full"])
    parser.add_argument("--big", type=int, default=10000, help="turns and skills of the scaling part")
    parser.add_argument("--seconds", type=float, default=5, help="length of the fairness part")
    args = parser.parse_args()
    parts = args.only or ["table", "scaling", "fairness"]
    if args.module_dir:
        sys.path.insert(0, os.path.abspath(args.module_dir))
    import dovek_native

    print(f"module: {dovek_native.__file__}; SQLite {sqlite3.sqlite_version} (Python's)")
    with tempfile.TemporaryDirectory(prefix="dovek-bench-") as folder:
        if "table" in parts:
            command_table(dovek_native, folder, args.rounds, args.synchronous)
        if "scaling" in parts:
            scaling_table(dovek_native, folder, args.rounds, args.big)
        if "fairness" in parts:
            fairness(dovek_native, folder, args.seconds)


if __name__ == "__main__":
    main()
