"""Core.delete and Core.close on every store: a deleted record is gone for
every reader (another process's caches too) and from a SQLite file's bytes;
a closed core refuses every call, also in a forked child apart from its
parent, and waits for the commands of other threads."""

import json
import subprocess
import sys
import time

import pytest

import dovek_native
from conftest import SKILL_WRITER, cmd
from stores import KINDS, records, run_children, turn

KEYS = dict(zip(KINDS, ["writer", "s", "t", "r", "p"]))


def fill(core) -> None:
    core.handle_json(cmd(type="save_skill", skill=SKILL_WRITER))
    turn(core, "s", "hello")
    core.handle_json(cmd(type="start_run", task={"id": "t", "title": "T"}, run_id="r", session_id="x"))
    core.handle_json(cmd(type="save_profile", profile={"provider": {"id": "p"}, "secret": {"key": "K"}}))


@pytest.mark.parametrize("kind", KINDS)
def test_delete_removes_one_record(kind, core):
    fill(core)
    before, i = records(core), KINDS.index(kind)
    assert core.delete(kind, KEYS[kind]) is True
    after = records(core)
    assert core.read_json(kind, KEYS[kind]) == "null" and after[i] == "[]"
    assert after[:i] + after[i + 1:] == before[:i] + before[i + 1:]
    assert core.delete(kind, KEYS[kind]) is False
    with pytest.raises(ValueError, match="unknown record kind `sessions`"):
        core.delete("sessions", "s")


OTHER = """
import json, sys, dovek_native
core = dovek_native.Core.open(sys.argv[1])
for _ in range(2):  # the catalog and the session cached, then used again
    reply = core.handle_json(json.dumps({"type": "chat_turn", "session_id": "o", "message": "@writer",
                                         "assigned_skills": []}))
    print(json.dumps(["Write well." in reply, core.read_json("session", "s")]), flush=True)
    sys.stdin.readline()
"""


def test_delete_is_seen_by_another_process(store):
    core = dovek_native.Core.open(store.url)
    fill(core)
    other = subprocess.Popen([sys.executable, "-c", OTHER, store.url], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True)
    try:
        assert json.loads(other.stdout.readline())[0] is True
        assert core.delete("skill", "writer") and core.delete("session", "s")
        other.stdin.write("\n")
        other.stdin.flush()
        assert json.loads(other.stdout.readline()) == [False, "null"]
    finally:
        other.communicate("\n", timeout=60)
    assert other.returncode == 0


@pytest.mark.parametrize("size", [20, 20000], ids=["in_page", "overflow_pages"])
def test_deleted_message_leaves_no_bytes_in_sqlite_files(size, tmp_path):
    db, wal = tmp_path / "agent.db", tmp_path / "agent.db-wal"
    core = dovek_native.Core.open(f"sqlite:///{db}")
    keeper = dovek_native.Core.open(f"sqlite:///{db}")  # keeps the log from going at close
    for i in range(30):
        turn(core, f"k{i}", f"kept {i} " * 50)
    turn(core, "secret", "MARKER-7f3a9c" + "x" * size)
    contents = lambda: db.read_bytes() + (wal.read_bytes() if wal.exists() else b"")
    assert b"MARKER-7f3a9c" in contents()
    assert core.delete("session", "secret")
    assert b"MARKER-7f3a9c" not in contents() and b"kept 29" in contents()
    assert keeper.read_json("session", "secret") == "null"


def test_closed_core_refuses_every_call(core):
    fill(core)
    core.close()
    for call in [lambda: turn(core, "s", "m"), core.reset, lambda: core.add_tool("t", print),
                 lambda: core.remove_tool("t"), core.tools_json, lambda: core.read_json("nope"),
                 core.model_json, lambda: core.delete("session", "s"), core.__enter__]:
        with pytest.raises(RuntimeError, match="^core is closed$"):
            call()
    core.close()  # again: harmless
    core.__exit__(None, None, None)


def test_with_block_closes_and_keeps_the_exception(store):
    backends = lambda: store.name == "postgresql" and store.server.psql(
        "SELECT count(*) FROM pg_stat_activity WHERE backend_type = 'client backend'")
    before = backends()
    with pytest.raises(KeyError):
        with dovek_native.Core.open(store.url) as core:
            turn(core, "s", "kept")
            assert backends() != before or store.name == "sqlite"
            raise KeyError("mine")
    with pytest.raises(RuntimeError, match="^core is closed$"):
        core.model_json()
    store.check_clean()  # SQLite: the last connection closed, the log gone
    deadline = time.monotonic() + 30  # PostgreSQL: the connection ends (its server process soon)
    while backends() != before and time.monotonic() < deadline:
        time.sleep(0.05)
    assert backends() == before
    with dovek_native.Core.open(store.url) as again:
        assert json.loads(again.read_json("session", "s"))["messages"][0]["content"] == "kept"


CHILD = """
import json, os, sys, threading, dovek_native
core = dovek_native.Core.open(sys.argv[1]) if sys.argv[1] else dovek_native.Core()
def turn(m):
    return core.handle_json(json.dumps({"type": "chat_turn", "session_id": "s", "message": m,
                                        "assigned_skills": []}))
turn("before fork")
pid = os.fork()
if pid == 0:  # the child closes its copy and goes
    turn("child")
    core.close()
    os._exit(0)
assert os.waitpid(pid, 0)[1] == 0
turn("parent")
print(json.dumps([m["content"] for m in json.loads(core.read_json("session", "s"))["messages"][0::2]]))
started, errors = threading.Event(), []
def worker():
    try:
        while True:
            turn("t")
            started.set()
    except RuntimeError as e:
        errors.append(str(e))
threads = [threading.Thread(target=worker) for _ in range(3)]
for t in threads:
    t.start()
started.wait()
core.close()  # waits for the command in flight
for t in threads:
    t.join()
print(json.dumps(errors))
"""


@pytest.mark.parametrize("where", ["memory", "sqlite", "postgres"])
def test_fork_close_in_child_and_close_beside_threads(where, request, tmp_path):
    url = ("" if where == "memory" else f"sqlite:///{tmp_path}/c.db" if where == "sqlite"
           else request.getfixturevalue("pg_url"))
    kept, errors = map(json.loads, run_children(CHILD, url, count=1, timeout=120)[0].splitlines())
    assert kept == (["before fork", "parent"] if where == "memory" else ["before fork", "child", "parent"])
    assert errors == ["core is closed"] * 3
