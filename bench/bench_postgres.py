"""Cores on a PostgreSQL store (Core.open("postgresql://...")) measured from
Python against a server of the benchmark's own (Debian's binaries, started in
a temporary folder on a Unix socket; tests/python/pgserver.py). Parts (each
printed as a table; `--only` picks some):

table       chat_turn, save_skill and start_run on a PostgreSQL core beside
            the same command done in Python with orjson and psycopg: the same
            statements (the record's lock, the read, the rows written) in one
            transaction on the same server, the command loaded and the same
            response bytes dumped (checked before timing). Times are wall
            time per call (the server's work is in another process), the
            median of rounds interleaved round by round. With strace on
            PATH, the round trips (sends to the server) per command of both.
            Goal: module/python <= 1.0x (aim 0.7x), no more round trips.
scaling     chat_turn at turn N of a session against turn 10, and with N
            stored skills against 10; with N skills and another process
            saving a skill before every turn against the same with 10.
            Goal: each <= 1.2x.
throughput  turns per second of 4 processes taking turns on distinct
            sessions against 1 process. Goal: >= 1.5x.

The server runs with fsync on unless --no-fsync is given.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import orjson
import psycopg

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "python"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
sys.path.insert(0, HERE)

import commands as cmds  # noqa: E402  (bench/python)
import pgserver  # noqa: E402  (tests/python)
from bench_python import verdict  # noqa: E402
from turn_in_python import PythonTurn  # noqa: E402  (bench/python)

GOAL, AIM, SCALING_GOAL, THROUGHPUT_GOAL = 1.0, 0.7, 1.2, 1.5

SCHEMA = """
CREATE TABLE IF NOT EXISTS skills(key bytea PRIMARY KEY, id bytea, name bytea, source bigint,
  source_ref bytea, read_only bigint, description bytea, content bytea, suggested_tools bytea);
CREATE TABLE IF NOT EXISTS messages(session bytea, seq bigint, role bigint, content bytea,
  PRIMARY KEY(session, seq));
CREATE TABLE IF NOT EXISTS tasks(key bytea PRIMARY KEY, id bytea, title bytea, input bytea,
  agent_id bytea, session_id bytea, status bytea, schedule bytea, created_at bytea,
  updated_at bytea, error bytea);
CREATE TABLE IF NOT EXISTS runs(key bytea PRIMARY KEY, id bytea, task_id bytea, status bigint,
  raw_status bytea, session_id bytea, execution_id bytea, checkpoint_id bytea, error bytea,
  started_at bytea, updated_at bytea, ended_at bytea);
"""

RUN_KEYS = ["raw_status", "session_id", "execution_id", "checkpoint_id", "error", "started_at",
            "updated_at", "ended_at"]
TASK_KEYS = ["input", "agent_id", "session_id", "status", "schedule", "created_at", "updated_at", "error"]


def b(text):
    return None if text is None else text.encode()


class PythonStore:
    """The three commands in Python on orjson and psycopg, as a program that
    keeps its rows in the same kind of tables would write them: a writer
    locks the record it reads and writes (an advisory lock on its key), and
    each command is one transaction."""

    def __init__(self, conninfo: str) -> None:
        self.db = psycopg.connect(conninfo, autocommit=False, prepare_threshold=0)
        self.db.execute("CREATE SCHEMA IF NOT EXISTS baseline")
        self.db.execute("SET search_path TO baseline")
        for statement in filter(str.strip, SCHEMA.split(";")):
            self.db.execute(statement)
        self.db.commit()
        self.prompts = PythonTurn()

    def chat_turn(self, text: str) -> bytes:
        command = orjson.loads(text)
        message, session, p = command["message"], command["session_id"], self.prompts
        assigned = [p.summaries[i] for i in dict.fromkeys(command["assigned_skills"])]
        blocks = ["## Assigned skills\n" + "\n\n".join(assigned)] if assigned else []
        for name in dict.fromkeys(p._mentions(message)):
            blocks.append(f"## Mentioned skill: @{name}\n{p.mentioned[name]}")
        blocks.append("## User message\n" + message)
        prompt = "\n\n".join(blocks)
        key = session.encode()
        with self.db.transaction():
            cur = self.db.cursor()
            cur.execute("SELECT pg_advisory_xact_lock(hashtext(%s))", (session,))
            (last,) = cur.execute("SELECT max(seq) FROM messages WHERE session = %b",
                                  (key,)).fetchone()
            seq = 0 if last is None else last + 1
            cur.executemany("INSERT INTO messages VALUES (%b, %s, %s, %b)",
                            [(key, seq, 0, message.encode()), (key, seq + 1, 1, prompt.encode())])
        return orjson.dumps({"type": "chat_turn", "events": [{"type": "text", "value": prompt}]})

    def save_skill(self, text: str) -> bytes:
        s = orjson.loads(text)["skill"]
        with self.db.transaction():
            self.db.execute(
                "INSERT INTO skills VALUES (%b, %b, %b, 1, %b, %s, %b, %b, %b) ON CONFLICT (key) DO "
                "UPDATE SET id = EXCLUDED.id, name = EXCLUDED.name, source = EXCLUDED.source, "
                "source_ref = EXCLUDED.source_ref, read_only = EXCLUDED.read_only, description = "
                "EXCLUDED.description, content = EXCLUDED.content, suggested_tools = "
                "EXCLUDED.suggested_tools",
                (b(s["id"]), b(s["id"]), b(s["name"]), b(s.get("source_ref")), int(s["read_only"]),
                 b(s.get("description")), b(s["content"]), orjson.dumps(s["suggested_tools"])))
        return orjson.dumps({"type": "saved"})

    def start_run(self, text: str) -> bytes:
        command = orjson.loads(text)
        task = command["task"]
        run = {"id": command["run_id"], "task_id": task["id"], "status": "running",
               **{k: None for k in RUN_KEYS}}
        run["session_id"] = command["session_id"]
        with self.db.transaction():
            cur = self.db.cursor()
            cur.execute(
                "INSERT INTO tasks VALUES (%b, %b, %b, %b, %b, %b, %b, %b, %b, %b, %b) ON CONFLICT "
                "(key) DO UPDATE SET title = EXCLUDED.title",
                (b(task["id"]), b(task["id"]), b(task["title"]), *(b(task.get(k)) for k in TASK_KEYS)))
            cur.execute(
                "INSERT INTO runs VALUES (%b, %b, %b, 1, %b, %b, %b, %b, %b, %b, %b, %b) ON CONFLICT "
                "(key) DO UPDATE SET status = EXCLUDED.status",
                (b(run["id"]), b(run["id"]), b(run["task_id"]), *(b(run[k]) for k in RUN_KEYS)))
        return orjson.dumps({"type": "run_started", "run": run})


def wall(fn, arg, number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        fn(arg)
    return (time.perf_counter() - start) / number


def interleaved(candidates: dict, rounds: int, number: int) -> dict:
    samples = {name: [] for name in candidates}
    for _ in range(rounds):
        for name, (fn, arg) in candidates.items():
            samples[name].append(wall(fn, arg, number))
    return {name: statistics.median(s) for name, s in samples.items()}


def us(seconds: float) -> str:
    return f"{seconds * 1e6:9.1f}us"


COUNT = """
import os, sys
sys.path[:0] = sys.argv[1].split(os.pathsep)
import bench_postgres as bp, commands as cmds, dovek_native
kind, name, conninfo, url = sys.argv[2:6]
texts = cmds.commands()
if kind == "module":
    core = dovek_native.Core.open(url)
    cmds.prepare_core(core)
    fn = core.handle_json
else:
    fn = getattr(bp.PythonStore(conninfo), name)
for _ in range(3):
    fn(texts[name])
os.write(1, b"")  # nothing; the marker is the write below
os.write(2, b"--mark--\\n")
for _ in range(50):
    fn(texts[name])
"""


def round_trips(dovek_native, kind, name, server, url) -> str:
    """Sends to the server per command, counted with strace, or '-'."""
    if subprocess.run(["which", "strace"], capture_output=True).returncode != 0:
        return "-"
    paths = os.pathsep.join([HERE, os.path.join(HERE, "python"), os.path.join(HERE, "..", "tests", "python"),
                             os.path.dirname(dovek_native.__file__)])
    with tempfile.NamedTemporaryFile(mode="r", suffix=".strace") as log:
        subprocess.run(["strace", "-f", "-e", "trace=sendto,write", "-o", log.name, sys.executable,
                        "-c", COUNT, paths, kind, name, conninfo(server), url],
                       capture_output=True, timeout=300, check=True)
        lines = log.read().splitlines()
    marks = [i for i, line in enumerate(lines) if "--mark--" in line]
    sends = sum(1 for line in lines[marks[-1]:] if "sendto(" in line)
    return f"{sends / 50:.1f}"


def conninfo(server) -> str:
    return f"host={server.root} user=dovek dbname=postgres"


def command_table(dovek_native, server, rounds: int) -> None:
    url = server.url("bench_table")
    module = dovek_native.Core.open(url)
    memory = dovek_native.Core()
    python = PythonStore(conninfo(server))
    for core in (module, memory):
        cmds.prepare_core(core)
    texts = cmds.commands()
    print("== per command on PostgreSQL: median wall time per call")
    print(f"{'command':<12}{'module':>11}{'python':>11}{'memory':>11}   {'mod/python':<20}"
          f"{'round trips mod/py':>20}")
    for name in ("chat_turn", "save_skill", "start_run"):
        text = texts[name]
        fn = getattr(python, name)
        if fn(text) != module.handle_json(text).encode():
            print(f"{name:<12} the Python version's response differs from the module's; not timed")
            continue
        t = interleaved({"module": (module.handle_json, text), "python": (fn, text),
                         "memory": (memory.handle_json, text)}, rounds, 50)
        ratio = t["module"] / t["python"]
        trips = (f"{round_trips(dovek_native, 'module', name, server, server.url('bench_count'))} / "
                 f"{round_trips(dovek_native, 'python', name, server, '')}")
        print(f"{name:<12}{us(t['module'])}{us(t['python'])}{us(t['memory'])}   {ratio:5.2f}x "
              f"{verdict(ratio, GOAL):<8}{'aim met' if ratio <= AIM else '':<7}{trips:>20}")
    print(f"goal: module/python <= {GOAL}x (aim {AIM}x), no more round trips than the baseline")


def backend_pid(server, application_name: str) -> int:
    """The server process that serves the connection named `application_name`."""
    return int(server.psql("SELECT pid FROM pg_stat_activity "
                           f"WHERE application_name = '{application_name}'").strip())


def cpu_ns(pid: int) -> int:
    """Nanoseconds process `pid` has run on a CPU (the scheduler's own count)."""
    with open(f"/proc/{pid}/schedstat") as f:
        return int(f.read().split()[0])


def scaling_table(dovek_native, server, rounds: int, big: int) -> None:
    turn = cmds.chat_turn_text()
    cores = {}
    for name, skills, turns in (("10 turns", 10, 10), (f"{big} turns", 10, big),
                                (f"{big} skills", big, 10)):
        start = time.perf_counter()
        app = f"scaling_{skills}_{turns}"
        core = dovek_native.Core.open(server.url(app, application_name=app))
        cmds.prepare_core(core, skills)
        for _ in range(turns):
            core.handle_json(turn)
        cores[name] = (core, backend_pid(server, app))
        print(f"setup: {name} ({skills} skills, {turns} turns) in {time.perf_counter() - start:.1f}s")
    # Another process (standing in for another host) saves a skill before
    # each turn: the turn's catalog must catch up with that one row, not
    # read the N again. Its save is timed with the turn on both sides.
    env = dict(os.environ, PYTHONPATH=os.path.dirname(dovek_native.__file__))
    savers = {n: subprocess.Popen([sys.executable, "-c", SAVER, server.url(f"scaling_{n}_10")], env=env,
                                  text=True, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
              for n in (10, big)}

    def saved_then_turn(args):
        saver, core = args
        saver.stdin.write("\n")
        saver.stdin.flush()
        saver.stdout.readline()
        core.handle_json(turn)

    # This thread and the server processes of the timed connections share one
    # CPU: on a virtual machine a turn costs about twice as much when its
    # round trips wake the other CPU, and where each process lands otherwise
    # differs from one core to the next, whatever the store holds.
    pinned = {min(os.sched_getaffinity(0))}
    saved_affinity = os.sched_getaffinity(0)
    for _, pid in cores.values():
        os.sched_setaffinity(pid, pinned)
    os.sched_setaffinity(0, pinned)
    steps = {name: (lambda c: c.handle_json(turn), core, pid) for name, (core, pid) in cores.items()}
    steps["10 skills, saves between"] = (saved_then_turn, (savers[10], cores["10 turns"][0]),
                                         cores["10 turns"][1])
    steps[f"{big} skills, saves between"] = (saved_then_turn, (savers[big], cores[f"{big} skills"][0]),
                                             cores[f"{big} skills"][1])
    # Wall time, and the CPU time the turn costs: this thread's and that of
    # the server process serving the core's connection. Wall time on a busy
    # machine is mostly waiting for a CPU after each round trip; the CPU
    # time is the work, whatever else runs.
    number = 50
    samples = {name: ([], []) for name in steps}
    for _ in range(rounds):
        for name, (fn, arg, pid) in steps.items():
            start, thread, served = time.perf_counter(), time.thread_time_ns(), cpu_ns(pid)
            for _ in range(number):
                fn(arg)
            cpu = time.thread_time_ns() - thread + cpu_ns(pid) - served
            samples[name][0].append((time.perf_counter() - start) / number)
            samples[name][1].append(cpu / 1e9 / number)
    os.sched_setaffinity(0, saved_affinity)
    for saver in savers.values():
        saver.stdin.close()
        saver.wait(timeout=60)
    print("== scaling: chat_turn on PostgreSQL, medians per turn, ratios to turn 10 with 10 skills\n"
          "   (with saves between: to 10 skills with saves between); cpu = this thread + its server process")
    wall_t = {name: statistics.median(s[0]) for name, s in samples.items()}
    cpu_t = {name: statistics.median(s[1]) for name, s in samples.items()}
    print(f"{'':<28}{'wall':>11} {'ratio':>6}  {'cpu':>11} {'ratio':>6}")
    for name in steps:
        base = "10 skills, saves between" if "saves" in name else "10 turns"
        wr, cr = wall_t[name] / wall_t[base], cpu_t[name] / cpu_t[base]
        print(f"{name:<28}{us(wall_t[name])} {wr:5.2f}x  {us(cpu_t[name])} {cr:5.2f}x "
              f"{verdict(cr, SCALING_GOAL)}")
    print(f"goal: every cpu ratio <= {SCALING_GOAL}x (wall ratios shown: they follow the cpu ones "
          "on an idle machine)")


SAVER = """
import json, sys, dovek_native
core = dovek_native.Core.open(sys.argv[1])
skill = {"id": "other", "name": "n", "source": "user", "read_only": False, "content": "c",
         "suggested_tools": []}
for line in sys.stdin:
    core.handle_json(json.dumps({"type": "save_skill", "skill": skill}))
    print("saved", flush=True)
"""


TURNER = """
import json, sys, time, dovek_native
core = dovek_native.Core.open(sys.argv[1])
for i in range(10):
    core.handle_json(json.dumps({"type": "save_skill", "skill": {"id": f"skill-{i}", "name": "n",
        "source": "user", "read_only": False, "content": "c", "suggested_tools": []}}))
text = json.dumps({"type": "chat_turn", "session_id": "s" + sys.argv[3],
                   "message": "a message of some length, @skill-3 " * 8, "assigned_skills": ["skill-1"]})
core.handle_json(text)
print("ready", flush=True)
sys.stdin.readline()
deadline = time.monotonic() + float(sys.argv[2])
n = 0
while time.monotonic() < deadline:
    core.handle_json(text)
    n += 1
print(n, flush=True)
"""


def throughput(dovek_native, server, seconds: float) -> None:
    env = dict(os.environ, PYTHONPATH=os.path.dirname(dovek_native.__file__))
    url = server.url("bench_throughput")
    dovek_native.Core.open(url)
    rates = {}
    for procs in (1, 4):
        children = [subprocess.Popen([sys.executable, "-c", TURNER, url, str(seconds), f"{procs}-{i}"],
                                     env=env, text=True, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
                    for i in range(procs)]
        for c in children:
            assert c.stdout.readline().strip() == "ready"
        for c in children:
            c.stdin.write("go\n")
            c.stdin.flush()
        total = sum(int(c.communicate(timeout=seconds + 120)[0]) for c in children)
        rates[procs] = total / seconds
    ratio = rates[4] / rates[1]
    print(f"== throughput: chat turns on distinct sessions, {seconds:.0f}s each")
    print(f"1 process {rates[1]:8.0f}/s   4 processes {rates[4]:8.0f}/s   {ratio:5.2f}x "
          f"{'ok' if ratio >= THROUGHPUT_GOAL else 'MISSED'} (goal >= {THROUGHPUT_GOAL}x; "
          f"{os.cpu_count()} cores, shared with the server)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module-dir", default=os.environ.get("DOVEK_BENCH_MODULE_DIR"))
    parser.add_argument("--only", action="append", choices=["table", "scaling", "throughput"])
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--big", type=int, default=10000, help="turns and skills of the scaling part")
    parser.add_argument("--seconds", type=float, default=5, help="length of each throughput run")
    parser.add_argument("--no-fsync", action="store_true", help="run the server with fsync off")
    args = parser.parse_args()
    parts = args.only or ["table", "scaling", "throughput"]
    if args.module_dir:
        sys.path.insert(0, os.path.abspath(args.module_dir))
    import dovek_native

    bin_dir = pgserver.find_bin_dir()
    if bin_dir is None:
        sys.exit(pgserver.INSTALL_HINT)
    server = pgserver.Server(bin_dir, fsync=not args.no_fsync)
    try:
        print(f"module: {dovek_native.__file__}; server {bin_dir} (fsync {'off' if args.no_fsync else 'on'}); "
              f"psycopg {psycopg.__version__} ({psycopg.pq.__impl__})")
        if "table" in parts:
            command_table(dovek_native, server, args.rounds)
        if "scaling" in parts:
            scaling_table(dovek_native, server, args.rounds, args.big)
        if "throughput" in parts:
            throughput(dovek_native, server, args.seconds)
    finally:
        server.close()


if __name__ == "__main__":
    main()
