"""Reading parts of the stored records from Python: a page of a session's
history (`read_json("session", key, last=10)`) and the keys of a kind
(`keys_json("session")`), on a SQLite core and an in-memory one.

pages   last=10 of a 10,000-message session against last=10 of a
        20-message one. Goal: <= 1.2x (a page costs what it returns).
keys    keys_json("session") of 10,000 sessions of 100 messages each against
        read_json("session") of them. Goal: <= 0.1x.

On SQLite the sessions are written into the store file with Python's sqlite3
module (after a core has created the tables), which is quicker than taking
half a million turns; in memory they are chat turns. Times are thread CPU
time, the median of several rounds with the candidates interleaved round by
round (bench_python.py's method).
"""

import argparse
import json
import os
import sqlite3
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_python import calls_per_batch, interleaved, us, verdict  # noqa: E402

PAGE_GOAL, KEYS_GOAL = 1.2, 0.1


def history(messages: int):
    """(seq, role, content) of a chat of `messages` messages."""
    for seq in range(messages):
        text = f"message {seq // 2} of a conversation about the weather and the trains"
        yield seq, seq % 2, text if seq % 2 == 0 else "## User message\n" + text


def fill_sqlite(dovek_native, path: str, sessions: dict) -> None:
    """Writes sessions (key -> message count) straight into the store file."""
    dovek_native.Core.open(f"sqlite:///{path}")  # creates the tables
    db = sqlite3.connect(path)
    with db:
        db.executemany("INSERT INTO sessions (key, gen, id) VALUES (?, ?, ?)",
                       [(key, i, key) for i, key in enumerate(sessions)])
        for key, count in sessions.items():
            db.executemany("INSERT INTO messages (session, seq, role, content) VALUES (?, ?, ?, ?)",
                           ((key, *m) for m in history(count)))
    db.close()


def fill_memory(dovek_native, sessions: dict):
    core = dovek_native.Core()
    for key, count in sessions.items():
        for i in range(count // 2):
            core.handle_json(json.dumps({"type": "chat_turn", "session_id": key,
                                         "message": f"message {i} about the weather",
                                         "assigned_skills": []}))
    return core


def compare(title: str, ours, baseline, rounds: int, goal: float) -> None:
    candidates = {"ours": (lambda _: ours(), None), "baseline": (lambda _: baseline(), None)}
    counts = {name: calls_per_batch(fn, arg, 0.05, 10000) for name, (fn, arg) in candidates.items()}
    times = interleaved(candidates, rounds, counts)
    ratio = times["ours"] / times["baseline"]
    print(f"{title:<58}{us(times['ours'])} {us(times['baseline'])}   {ratio:6.3f}x  "
          f"goal <= {goal}x: {verdict(ratio, goal)}")


def run(name: str, core, rounds: int, long: int) -> None:
    print(f"== {name}: median thread CPU time per call (ours, baseline, ratio)")
    compare(f"last=10 of {long:,} messages vs of 20",
            lambda: core.read_json("session", "long", last=10),
            lambda: core.read_json("session", "short", last=10), rounds, PAGE_GOAL)


def run_keys(name: str, core, rounds: int, sessions: int, messages: int) -> None:
    keys = json.loads(core.keys_json("session"))
    assert keys == [s["id"] for s in json.loads(core.read_json("session"))]
    compare(f"keys_json vs read_json of {sessions:,} sessions x {messages}",
            lambda: core.keys_json("session"), lambda: core.read_json("session"),
            max(3, rounds // 3), KEYS_GOAL)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module-dir", default=os.environ.get("DOVEK_BENCH_MODULE_DIR"))
    parser.add_argument("--only", action="append", choices=["sqlite", "memory"])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--long", type=int, default=10000, help="messages of the long session")
    parser.add_argument("--sessions", type=int, default=10000, help="sessions of the keys part")
    parser.add_argument("--messages", type=int, default=100, help="messages of each of them")
    args = parser.parse_args()
    if args.module_dir:
        sys.path.insert(0, os.path.abspath(args.module_dir))
    import dovek_native

    print(f"module: {dovek_native.__file__}")
    pages = {"long": args.long, "short": 20}
    many = {f"s{i:06}": args.messages for i in range(args.sessions)}
    for store in args.only or ["sqlite", "memory"]:
        if store == "sqlite":
            with tempfile.TemporaryDirectory(prefix="dovek-bench-") as folder:
                fill_sqlite(dovek_native, os.path.join(folder, "pages.db"), pages)
                run("SQLite", dovek_native.Core.open(f"sqlite:///{folder}/pages.db"), args.rounds,
                    args.long)
                fill_sqlite(dovek_native, os.path.join(folder, "keys.db"), many)
                run_keys("SQLite", dovek_native.Core.open(f"sqlite:///{folder}/keys.db"),
                         args.rounds, args.sessions, args.messages)
        else:
            run("memory", fill_memory(dovek_native, pages), args.rounds, args.long)
            run_keys("memory", fill_memory(dovek_native, many), args.rounds, args.sessions,
                     args.messages)


if __name__ == "__main__":
    main()
