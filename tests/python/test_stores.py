"""What every database store does alike (the `store` fixture: a SQLite file
and a PostgreSQL schema): the same responses as in memory, records shared by
cores and processes, atomic commands, a busy store that fails clearly and
recovers, forks. What is particular to one database is in test_durable.py
(SQLite) and test_postgres.py."""

import json
import random
import subprocess
import sys

import pytest

import dovek_native
from conftest import SKILL_WRITER, cmd
from stores import TURNS, check_turns, command_mix, messages, outcome, records, run_children, turn


def test_responses_match_memory_across_connections_reopen_and_reset(store):
    """Two cores on one store, taking commands in random turns, answer as one
    in-memory core does: each sees the other's skills, turns and model."""
    memory = dovek_native.Core()
    rng = random.Random(7)
    for round_ in range(3):
        durable = [dovek_native.Core.open(store.url) for _ in range(2)]  # new connections
        for text in command_mix(rng, 150):
            assert outcome(rng.choice(durable), text) == outcome(memory, text)
        assert records(durable[0]) == records(durable[1]) == records(memory)
        if round_ == 1:
            rng.choice(durable).reset()
            memory.reset()
        del durable
    store.check_clean()


def test_records_shared_between_cores_and_reset_empties_them(store):
    a, b = dovek_native.Core.open(store.url), dovek_native.Core.open(store.url)
    a.handle_json(cmd(type="save_skill", skill=SKILL_WRITER))
    a.handle_json(cmd(type="switch_model", model={"provider": {"id": "p"}, "id": "m"}))
    assert "Writes prose" in turn(b, "s", "use @writer")
    assert b.model_json() == '{"provider":{"id":"p"},"id":"m"}'
    a.handle_json(cmd(type="save_profile", profile={"provider": {"id": "p"}, "secret": {"key": "K"}}))
    a.handle_json(cmd(type="start_run", task={"id": "t", "title": "T"}, run_id="r", session_id="s"))
    assert json.loads(b.read_json("run", "r"))["session_id"] == "s"
    assert records(a) == records(b)
    b.reset()
    assert records(a) == records(b) == records(dovek_native.Core())
    for table in ("skills", "sessions", "messages", "tasks", "runs", "profiles"):
        assert store.count(table) == 0, table
    assert "unknown mentioned skill: writer" in turn(a, "s", "use @writer")


@pytest.mark.parametrize("table, when, command, unchanged", [
    ("messages", "NEW.role = 1", cmd(type="chat_turn", session_id="s", message="m", assigned_skills=[]),
     ["sessions", "messages"]),
    ("runs", "1 = 1", cmd(type="start_run", task={"id": "t", "title": "T"}, run_id="r", session_id="s"),
     ["tasks", "runs"]),
    ("runs", "1 = 1", cmd(type="run_task", run_id="r", task={"id": "t", "title": "T"}, message="m",
                          assigned_skills=[]), ["tasks", "runs"]),
    ("models", "1 = 1", cmd(type="switch_model", model={"provider": {"id": "p"}, "id": "m"}), ["models"]),
    ("skills", "1 = 1", cmd(type="save_skill", skill=SKILL_WRITER), ["skills", "counters"]),
], ids=["chat_turn", "start_run", "run_task", "switch_model", "save_skill"])
def test_failed_command_changes_nothing(table, when, command, unchanged, store):
    """The command's last write fails (a trigger refuses it): the writes
    before it are rolled back too, and the core keeps working."""
    core = dovek_native.Core.open(store.url)
    before = store.snapshot(unchanged)
    store.refuse_inserts(table, when)
    for _ in range(2):  # the core is not poisoned by the failure
        with pytest.raises(RuntimeError, match="^store error: refused$"):
            core.handle_json(command)
        assert store.snapshot(unchanged) == before
    store.allow_inserts(table)
    core.handle_json(command)
    assert store.snapshot(unchanged) != before


def test_busy_store_fails_clearly_and_recovers(store):
    """Another connection holds what a turn needs: the turn fails after the
    store's timeout, naming it, and the next one works."""
    for options, error in zip(store.busy_options, store.busy_errors):
        core = dovek_native.Core.open(store.with_options(options))
        session = f"s{options}"
        turn(core, session, "first")
        with store.held():
            with pytest.raises(RuntimeError, match=error):
                turn(core, session, "blocked")
        turn(core, session, "second")
        assert [m[1] for m in messages(store.url, session)[0::2]] == ["first", "second"]


def test_processes_taking_turns_lose_no_message(store):
    n, procs = 60, 4
    run_children(TURNS, store.url, n, count=procs)
    users = check_turns(messages(store.url, "shared0")) + check_turns(messages(store.url, "shared1"))
    assert sorted(users) == sorted(f"p{p} turn {i}" for p in range(procs) for i in range(n))
    for p in range(procs):  # each process's turns on a session in its own order
        for s in range(2):
            mine = [u for u in check_turns(messages(store.url, f"shared{s}")) if u.startswith(f"p{p} ")]
            assert mine == [f"p{p} turn {i}" for i in range(s, n, 2)]
    assert store.count("skills") == procs * ((n + 9) // 10)
    catalog = json.loads(dovek_native.Core.open(store.url).read_json("skill"))
    assert len(catalog) == procs * ((n + 9) // 10)
    store.check_clean()


RACING = """
import json, os, sys, dovek_native
url, mode, stop = sys.argv[1], sys.argv[2], sys.argv[3]
core = dovek_native.Core.open(url)
def do(**command):
    return core.handle_json(json.dumps(command))
task = {"id": mode, "title": "T"}  # a task of each process's own
if mode == "start_run":  # each start_run read back at once: its session must show
    for i in range(150):
        run = f"r{i % 2}"
        do(type="start_run", task=task, run_id=run, session_id=f"s{i}")
        stored = json.loads(core.read_json("run", run))
        assert stored["session_id"] == f"s{i}", (i, stored)
elif mode == "reset":
    for i in range(400):
        core.reset()
else:  # run_task on the same runs until the other is done
    do(type="run_task", run_id="r0", task=task, message="m", assigned_skills=[])
    print("running", flush=True)
    for i in range(3000):
        if os.path.exists(stop):
            break
        do(type="run_task", run_id=f"r{i % 2}", task=task, message="m", assigned_skills=[])
        if i % 3 == 0:
            do(type="chat_turn", session_id="c", message="m", assigned_skills=[])
print("ok", flush=True)
"""


@pytest.mark.parametrize("mode", ["start_run", "reset"])
def test_commands_beside_run_task_in_another_process(mode, store, tmp_path):
    """start_run's run is never written back older by a run_task that read
    it before; a reset neither deadlocks with run_task nor makes it fail."""
    dovek_native.Core.open(store.url)  # the schema, before the children start
    stop = tmp_path / "stop"
    runner = subprocess.Popen([sys.executable, "-c", RACING, store.url, "run_task", str(stop)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert runner.stdout.readline() == "running\n"
        racer = subprocess.run([sys.executable, "-c", RACING, store.url, mode, str(stop)],
                               capture_output=True, text=True, timeout=180)
        assert racer.stdout.strip() == "ok", racer.stderr
    finally:
        stop.touch()
        out, err = runner.communicate(timeout=180)
    assert out == "ok\n", err


FORK = """
import json, os, sys, dovek_native
os.chdir(sys.argv[2])
core = dovek_native.Core.open(sys.argv[1])
os.chdir("/")  # the connections reopened after the fork still find the store
def turn(m):
    core.handle_json(json.dumps({"type": "chat_turn", "session_id": "s", "message": m, "assigned_skills": []}))
turn("parent 0")
pid = os.fork()
if pid == 0:
    for i in range(20):
        turn(f"child {i}")
    os._exit(0)
for i in range(1, 21):
    turn(f"parent {i}")
_, status = os.waitpid(pid, 0)
print("ok" if status == 0 else f"child status {status}")
"""


def test_fork_child_uses_a_fresh_connection(store, tmp_path):
    # A SQLite store by a path relative to the folder the core was opened in.
    url = "sqlite:///agent.db" if store.name == "sqlite" else store.url
    assert run_children(FORK, url, tmp_path, count=1)[0].strip() == "ok"
    assert len(check_turns(messages(store.url, "s"))) == 41
    store.check_clean()
