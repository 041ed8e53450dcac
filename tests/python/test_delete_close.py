"""Core.delete and Core.close on every store: a deleted record is gone for
every reader (another process's caches too) and, in a SQLite file, from the
bytes on disk; a closed core refuses every call and lets go of its
connection, also in a forked child apart from its parent."""

import json
import subprocess
import sys

import pytest

import dovek_native
from conftest import SKILL_WRITER, cmd
from stores import KINDS, records, run_children, turn


def fill(core) -> None:
    """One record of each kind: skill `writer`, session `s`, task `t`, run
    `r`, profile `p`."""
    core.handle_json(cmd(type="save_skill", skill=SKILL_WRITER))
    turn(core, "s", "hello @writer")
    core.handle_json(cmd(type="start_run", task={"id": "t", "title": "T"}, run_id="r", session_id="x"))
    core.handle_json(cmd(type="save_profile", profile={"provider": {"id": "p"}, "secret": {"key": "K"}}))


KEYS = dict(zip(KINDS, ["writer", "s", "t", "r", "p"]))


@pytest.mark.parametrize("kind", KINDS)
def test_delete_removes_one_record(kind, core):
    fill(core)
    before = records(core)
    assert core.delete(kind, KEYS[kind]) is True
    assert core.read_json(kind, KEYS[kind]) == "null"
    after = records(core)
    i = KINDS.index(kind)
    assert json.loads(after[i]) == [r for r in json.loads(before[i]) if r.get("id") != KEYS[kind]
                                    and r.get("provider", {}).get("id") != KEYS[kind]]
    assert after[:i] + after[i + 1:] == before[:i] + before[i + 1:]  # nothing else changed
    assert core.delete(kind, KEYS[kind]) is False
    if kind == "skill":
        assert "unknown mentioned skill: writer" in turn(core, "s", "use @writer")
    if kind == "session":  # a new session of that key starts empty
        turn(core, "s", "again")
        assert [m["content"] for m in json.loads(core.read_json("session", "s"))["messages"]][0] == "again"
    with pytest.raises(ValueError, match="unknown record kind `sessions`"):
        core.delete("sessions", "s")


OTHER = """
import json, sys, dovek_native
core = dovek_native.Core.open(sys.argv[1])
def turn(m):
    return core.handle_json(json.dumps({"type": "chat_turn", "session_id": "other", "message": m,
                                        "assigned_skills": []}))
for step in range(2):  # the catalog and the session cached, then read again
    print(json.dumps(["Write well." in turn("use @writer"), core.read_json("session", "s") != "null",
                      len(json.loads(core.read_json("skill")))]), flush=True)
    sys.stdin.readline()
"""


def test_delete_is_seen_by_another_process(store):
    core = dovek_native.Core.open(store.url)
    fill(core)
    other = subprocess.Popen([sys.executable, "-c", OTHER, store.url], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert json.loads(other.stdout.readline()) == [True, True, 1]
        assert core.delete("skill", "writer") and core.delete("session", "s")
        other.stdin.write("\n")
        other.stdin.flush()
        assert json.loads(other.stdout.readline()) == [False, False, 0]
    finally:
        out, err = other.communicate("\n", timeout=60)
    assert other.returncode == 0, err


@pytest.mark.parametrize("size", [20, 20000], ids=["in_page", "overflow_pages"])
def test_deleted_message_leaves_no_bytes_in_sqlite_files(size, tmp_path):
    db, wal = tmp_path / "agent.db", tmp_path / "agent.db-wal"
    marker = b"MARKER-7f3a9c"
    text = (marker.decode() + "x" * size)[:max(size, len(marker))]
    core = dovek_native.Core.open(f"sqlite:///{db}")
    keeper = dovek_native.Core.open(f"sqlite:///{db}")  # keeps the log from going at close
    for i in range(30):
        turn(core, f"k{i}", f"kept {i} " * 50)
    turn(core, "secret", text)
    turn(core, "secret", "more " + text)
    contents = lambda: db.read_bytes() + (wal.read_bytes() if wal.exists() else b"")
    assert marker in contents()
    assert core.delete("session", "secret")
    assert marker not in contents()
    assert b"kept 29" in contents() and keeper.read_json("session", "secret") == "null"


def test_close_refuses_every_later_call(core):
    fill(core)
    core.close()
    calls = [lambda: core.handle_json(cmd(type="chat_turn", session_id="s", message="m", assigned_skills=[])),
             core.reset, lambda: core.add_tool("t", print), lambda: core.remove_tool("t"), core.tools_json,
             lambda: core.read_json("skill"), lambda: core.read_json("nope"), core.model_json,
             lambda: core.delete("session", "s"), core.__enter__]
    for call in calls:
        with pytest.raises(RuntimeError, match="^core is closed$"):
            call()
    core.close()  # twice: nothing happens
    core.__exit__(None, None, None)


def test_with_block_closes_and_keeps_the_exception(store):
    with pytest.raises(KeyError):
        with dovek_native.Core.open(store.url) as core:
            turn(core, "s", "kept")
            raise KeyError("mine")
    with pytest.raises(RuntimeError, match="^core is closed$"):
        core.model_json()
    store.check_clean()  # SQLite: the last connection closed, the log gone
    with dovek_native.Core.open(store.url) as again:
        assert json.loads(again.read_json("session", "s"))["messages"][0]["content"] == "kept"


FORK_CLOSE = """
import json, os, sys, dovek_native
core = dovek_native.Core.open(sys.argv[1]) if sys.argv[1] else dovek_native.Core()
def turn(m):
    return core.handle_json(json.dumps({"type": "chat_turn", "session_id": "s", "message": m,
                                        "assigned_skills": []}))
turn("before fork")
pid = os.fork()
if pid == 0:
    turn("child")
    core.close()
    try:
        turn("after close")
        os._exit(3)
    except RuntimeError:
        os._exit(0)
_, status = os.waitpid(pid, 0)
assert status == 0, status
turn("parent")
stored = [m["content"] for m in json.loads(core.read_json("session", "s"))["messages"][0::2]]
print(json.dumps(stored))
"""


def test_fork_then_close_in_the_child(core_url):
    out = run_children(FORK_CLOSE, core_url, count=1, timeout=60)[0]
    expected = ["before fork", "parent"] if core_url == "" else ["before fork", "child", "parent"]
    assert json.loads(out) == expected


THREADS = """
import json, sys, threading, dovek_native
core = dovek_native.Core.open(sys.argv[1]) if sys.argv[1] else dovek_native.Core()
started, outcomes = threading.Event(), []
def worker(n):
    for i in range(100000):
        try:
            core.handle_json(json.dumps({"type": "chat_turn", "session_id": f"s{n}", "message": f"m{i}",
                                         "assigned_skills": []}))
        except RuntimeError as e:
            outcomes.append(str(e))
            return
        started.set()
threads = [threading.Thread(target=worker, args=(n,)) for n in range(3)]
for t in threads:
    t.start()
started.wait()
core.close()
for t in threads:
    t.join()
print(json.dumps(outcomes))
"""


def test_close_waits_for_commands_in_other_threads(core_url):
    assert json.loads(run_children(THREADS, core_url, count=1, timeout=120)[0]) == ["core is closed"] * 3


@pytest.fixture(params=["memory", "sqlite", "postgres"])
def core_url(request, tmp_path) -> str:
    """A store URL for a child process; "" for an in-memory core."""
    if request.param == "memory":
        return ""
    if request.param == "postgres":
        return request.getfixturevalue("pg_url")
    return f"sqlite:///{tmp_path}/core.db"
