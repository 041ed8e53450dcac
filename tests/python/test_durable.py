"""Cores on a SQLite store file (Core.open), what is particular to SQLite:
URLs, files refused and left unchanged (another's, another user's, a link, a
read-only one), private modes, a held file, a file moved under a core, killed
writers, forks beside opening stores, closing at exit. What every database
store does alike is in test_stores.py. Stored rows are checked with Python's
sqlite3 module."""

import json
import os
import pwd
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time

import pytest

import dovek_native
import stores
from conftest import SKILL_WRITER, cmd
from stores import (NOT_UTF8, TURNS, check_not_utf8_record, check_turns, run_children,
                    store_good_and_bad, turn)


def url(path, **options) -> str:
    query = "&".join(f"{k}={v}" for k, v in options.items())
    return f"sqlite:///{path}" + (f"?{query}" if query else "")


def rows(path, sql: str, *args) -> list:
    db = sqlite3.connect(path)
    try:
        return db.execute(sql, args).fetchall()
    finally:
        db.close()


def messages(path, session: str) -> list:
    return stores.messages(url(path), session)


# ---- text written by another program ----------------------------------------------

@pytest.mark.parametrize("kind, table, column, key, text", NOT_UTF8, ids=[c[0] for c in NOT_UTF8])
def test_stored_text_that_is_not_utf8_fails_naming_its_record(kind, table, column, key, text,
                                                              tmp_path):
    path = tmp_path / "agent.db"
    store_good_and_bad(dovek_native.Core.open(url(path)))
    db = sqlite3.connect(path)
    db.execute(f"UPDATE {table} SET {column} = CAST(? AS TEXT) WHERE {key} = 'bad'", (text,))
    db.commit()
    db.close()
    check_not_utf8_record(dovek_native.Core.open(url(path)), kind)


def test_a_stored_key_that_is_not_utf8_is_named_with_replacement_characters(tmp_path):
    path = tmp_path / "agent.db"
    store_good_and_bad(dovek_native.Core.open(url(path)))
    db = sqlite3.connect(path)
    db.execute("UPDATE skills SET key = CAST(?1 AS TEXT), id = CAST(?1 AS TEXT) WHERE key = 'bad'",
               (b"b\xffd",))
    db.commit()
    db.close()
    with pytest.raises(RuntimeError, match="^stored skill `b\ufffdd` is not valid UTF-8$"):
        dovek_native.Core.open(url(path)).read_json("skill")


# ---- opening: URLs, refused files, modes ----------------------------------------

@pytest.mark.parametrize("arg, error, text", [
    (5, TypeError, "argument 'url': expected str, got int"),
    ("mysql://h/db", RuntimeError, "unsupported store URL scheme: `mysql`"),
    ("agent.db", RuntimeError, "unsupported store URL scheme: `agent.db`"),
    ("sqlite://agent.db", RuntimeError, "bad store URL: expected sqlite:///PATH"),
    ("sqlite:///", RuntimeError, "bad store URL: the path is empty"),
    ("sqlite:///x.db?synchronous=off", RuntimeError, "bad store URL: synchronous must be normal or full"),
    ("sqlite:///x.db?busy_timeout_ms=-1", RuntimeError, "bad store URL: busy_timeout_ms must be"),
    ("sqlite:///x.db?cache=1", RuntimeError, "bad store URL: unknown option `cache`"),
])
def test_bad_urls(arg, error, text, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error) as e:
        dovek_native.Core.open(arg)
    assert str(e.value).startswith(text)
    assert os.listdir(tmp_path) == []


def newer_db(path):
    db = sqlite3.connect(path)
    db.execute("PRAGMA user_version = 99")
    db.close()


def foreign_db(path):
    db = sqlite3.connect(path)
    db.execute("CREATE TABLE mine(x)")
    db.commit()
    db.close()


@pytest.mark.parametrize("make", [
    "missing folder", "folder", "not a database", "bad header", newer_db, foreign_db,
], ids=["missing-folder", "folder", "not-db", "bad-header", "newer", "foreign"])
def test_refused_files_are_left_unchanged(make, tmp_path):
    path = tmp_path / "store.db"
    if make == "missing folder":
        path = tmp_path / "nowhere" / "store.db"
    elif make == "folder":
        path.mkdir()
    elif make == "not a database":
        path.write_bytes(b"not a database\n" * 200)
    elif make == "bad header":
        foreign_db(path)
        data = bytearray(path.read_bytes())
        data[16:18] = b"\x00\x03"  # an impossible page size
        path.write_bytes(bytes(data))
    else:
        make(path)
    before = path.read_bytes() if path.is_file() else None
    with pytest.raises(RuntimeError) as e:
        dovek_native.Core.open(url(path))
    assert str(e.value) == f"open store {path}"
    assert (path.read_bytes() if path.is_file() else None) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ([] if make == "missing folder" else [path.name])


@pytest.mark.parametrize("umask", [0o000, 0o022, 0o777])
def test_files_are_private_whatever_the_umask(umask, tmp_path):
    path = tmp_path / "agent.db"
    old = os.umask(umask)
    try:
        core = dovek_native.Core.open(url(path))
        turn(core, "s", "hello")
        modes = {p.name: p.stat().st_mode & 0o777 for p in tmp_path.iterdir()}
    finally:
        os.umask(old)
    assert modes == {"agent.db": 0o600, "agent.db-wal": 0o600, "agent.db-shm": 0o600}
    del core
    assert sorted(p.name for p in tmp_path.iterdir()) == ["agent.db"]  # closed cleanly


@pytest.mark.skipif(os.geteuid() != 0, reason="another user's files: needs root")
@pytest.mark.parametrize("planted", ["agent.db", "agent.db-wal", "agent.db-shm"])
def test_store_files_owned_by_another_user_are_refused(planted, tmp_path):
    path = tmp_path / "agent.db"
    if planted != "agent.db":
        turn(dovek_native.Core.open(url(path)), "s", "mine")  # closed: no -wal, no -shm
    stored = path.read_bytes() if path.exists() else b""
    (tmp_path / planted).write_bytes(b"")
    os.chmod(tmp_path / planted, 0o666)
    os.chown(tmp_path / planted, pwd.getpwnam("nobody").pw_uid, -1)
    with pytest.raises(RuntimeError) as e:
        dovek_native.Core.open(url(path))
    assert (str(e.value), str(e.value.__cause__)) == (f"open store {path}", "owned by another user")
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted({"agent.db", planted})
    assert (tmp_path / planted).stat().st_size == 0
    assert path.read_bytes() == stored


@pytest.mark.parametrize("target", ["missing", "empty", "store"])
def test_a_symbolic_link_at_the_store_path_is_refused_and_its_target_untouched(target, tmp_path):
    (tmp_path / "theirs").mkdir()
    aim = tmp_path / "theirs" / "target.db"
    if target == "empty":
        aim.write_bytes(b"")
    elif target == "store":
        turn(dovek_native.Core.open(url(aim)), "s", "theirs")
    before = {p.name: p.read_bytes() for p in aim.parent.iterdir()}
    path = tmp_path / "agent.db"
    path.symlink_to(aim)
    with pytest.raises(RuntimeError) as e:
        dovek_native.Core.open(url(path))
    assert (str(e.value), str(e.value.__cause__)) == (f"open store {path}", "is a symbolic link")
    assert {p.name: p.read_bytes() for p in aim.parent.iterdir()} == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["agent.db", "theirs"]


READ_ONLY = """
import json, os, pwd, sys, dovek_native
path = sys.argv[1] + "/agent.db"
if os.geteuid() == 0:  # root may write any file: the store's user here is another
    nobody = pwd.getpwnam("nobody")
    os.setgroups([])
    os.setresgid(nobody.pw_gid, nobody.pw_gid, nobody.pw_gid)
    os.setresuid(nobody.pw_uid, nobody.pw_uid, nobody.pw_uid)
core = dovek_native.Core.open(f"sqlite:///{path}")
os.chmod(path, 0o444)
def outcome(attempt):
    try:
        attempt()
    except RuntimeError as e:
        return [str(e), str(e.__cause__)]
    return "succeeded"
switch = json.dumps({"type": "switch_model", "model": {"provider": {"id": "p"}, "id": "m"}})
pid = os.fork()
if pid == 0:
    print(json.dumps(outcome(lambda: core.handle_json(switch))), flush=True)
    os._exit(0)
os.waitpid(pid, 0)
print(json.dumps(outcome(lambda: dovek_native.Core.open(f"sqlite:///{path}"))))
"""


def test_a_store_only_readable_fails_to_open_and_to_reopen_after_fork(tmp_path):
    folder = tempfile.mkdtemp()  # beyond tmp_path, which only root may enter
    try:
        if os.geteuid() == 0:
            os.chown(folder, pwd.getpwnam("nobody").pw_uid, -1)
        path = f"{folder}/agent.db"
        env = dict(os.environ)
        if "ASAN_OPTIONS" in env:
            # As `nobody` the leak check can neither read the interpreter's
            # library to match its suppressions nor write its report.
            env["ASAN_OPTIONS"] += ":detect_leaks=0"
        lines = run_children(READ_ONLY, folder, count=1, env=env)[0].splitlines()
        child, opened = map(json.loads, lines)
    finally:
        shutil.rmtree(folder)
    assert child == [f"store error: cannot reopen {path}", "read-only"]
    assert opened == [f"open store {path}", "read-only"]


# ---- busy: another connection holds the write lock ------------------------------

def test_a_held_file_fails_every_writer_and_reset(tmp_path):
    """Skills are written under the same file lock as turns, and reset keeps
    the records it could not remove (test_stores.py has the turn's case)."""
    path = tmp_path / "agent.db"
    core = dovek_native.Core.open(url(path, busy_timeout_ms=50))
    turn(core, "s", "first")
    other = sqlite3.connect(path, isolation_level=None)
    other.execute("BEGIN IMMEDIATE")
    with pytest.raises(RuntimeError, match=r"^store busy: database locked by another connection for over 50 ms$"):
        core.handle_json(cmd(type="save_skill", skill=SKILL_WRITER))
    with pytest.raises(RuntimeError, match=r"^store busy: "):
        core.reset()
    other.execute("ROLLBACK")
    other.close()
    assert [m[1] for m in messages(path, "s")[0::2]] == ["first"]


@pytest.mark.parametrize("how", ["deleted", "moved", "replaced"])
def test_store_file_moved_or_deleted_under_a_core_fails_every_command(how, tmp_path):
    path = tmp_path / "agent.db"
    core = dovek_native.Core.open(url(path))
    turn(core, "s", "kept")
    if how == "deleted":
        path.unlink()
    else:
        for suffix in ("", "-wal", "-shm"):
            (tmp_path / f"agent.db{suffix}").rename(tmp_path / f"moved.db{suffix}")
        if how == "replaced":
            dovek_native.Core.open(url(path))
    lost = f"store file was moved or deleted: {path}"
    for attempt in (lambda: turn(core, "s", "lost"), lambda: core.read_json("session", "s"),
                    lambda: core.handle_json(cmd(type="save_skill", skill=SKILL_WRITER))):
        with pytest.raises(RuntimeError) as e:
            attempt()
        assert str(e.value) == lost
    if how != "deleted":  # nothing reached the old file either
        moved = tmp_path / "moved.db"
        assert [text for role, text in messages(moved, "s") if role == "user"] == ["kept"]
        assert rows(moved, "SELECT count(*) FROM skills") == [(0,)]
    assert not path.exists() or messages(path, "s") == []


# ---- several processes ------------------------------------------------------------

def test_processes_creating_one_file_at_once_all_succeed(tmp_path):
    path = tmp_path / "new.db"
    run_children(TURNS, url(path), 4, count=4)
    assert len(check_turns(messages(path, "shared0")) + check_turns(messages(path, "shared1"))) == 16


WRITER = """
import json, sys, dovek_native
core = dovek_native.Core.open(sys.argv[1])
for i in range(10**6):
    message = f"w{sys.argv[2]}-{i}"
    core.handle_json(json.dumps({"type": "chat_turn", "session_id": "s", "message": message,
                                 "assigned_skills": []}))
    print(message, flush=True)
"""


def test_killed_writers_lose_no_returned_turn(tmp_path):
    path = tmp_path / "agent.db"
    dovek_native.Core.open(url(path))  # created before the writers race
    rng = random.Random(3)
    returned = []
    for k in range(20):
        writers = [subprocess.Popen([sys.executable, "-c", WRITER, url(path), f"{k}.{w}"],
                                    stdout=subprocess.PIPE, text=True) for w in range(2)]
        for w in writers:  # each has taken a turn (or died: then the line is empty)
            first = w.stdout.readline().strip()
            assert first, "a writer ended before its first turn"
            returned.append(first)
        time.sleep(rng.uniform(0.0, 0.2))
        for w in writers:
            w.send_signal(signal.SIGKILL)
        for w in writers:
            # Read through the same text stream as readline() above:
            # communicate() would read the pipe beneath it and lose what that
            # stream had buffered already, tearing lines.
            returned += w.stdout.read().split()
            w.stdout.close()
            w.wait(timeout=60)
        assert rows(path, "PRAGMA integrity_check") == [("ok",)]
    stored = check_turns(messages(path, "s"))
    assert set(returned) <= set(stored)
    assert len(returned) >= 40


FORK_BESIDE_OPENS = """
import json, os, sys, threading, time, dovek_native
folder = sys.argv[1]
core = dovek_native.Core.open(f"sqlite:///{folder}/agent.db")
others = [f"sqlite:///{folder}/other{i}.db" for i in range(3)]
for other in others:
    dovek_native.Core.open(other)  # the files exist before the thread starts
stop = threading.Event()
def open_and_drop():
    i = 0
    while not stop.is_set():
        dovek_native.Core.open(others[i % len(others)])  # dropped at once: closed
        i += 1
opener = threading.Thread(target=open_and_drop)
opener.start()
try:
    for n in range(40):
        pid = os.fork()
        if pid == 0:
            code = 3
            try:
                reply = core.handle_json(json.dumps({"type": "chat_turn", "session_id": f"c{n}",
                                                     "message": "hi", "assigned_skills": []}))
                fresh = dovek_native.Core.open(others[0])
                code = 0 if reply.startswith('{"type":"chat_turn",') and fresh else 4
            finally:
                os._exit(code)
        deadline = time.monotonic() + 30
        while (done := os.waitpid(pid, os.WNOHANG)) == (0, 0):
            if time.monotonic() > deadline:
                os.kill(pid, 9)
                os.waitpid(pid, 0)
                sys.exit(f"child {n} hangs")
            time.sleep(0.001)
        if done[1] != 0:
            sys.exit(f"child {n} ended with status {done[1]}")
finally:
    stop.set()
    opener.join()
print("ok")
"""


def test_fork_beside_a_thread_opening_and_dropping_stores_gives_working_children(tmp_path):
    assert run_children(FORK_BESIDE_OPENS, tmp_path, count=1, timeout=300)[0].strip() == "ok"
    assert len(check_turns(messages(tmp_path / "agent.db", "c39"))) == 1


EXIT = """
import ctypes, json, sys, dovek_native
core = dovek_native.Core.open(sys.argv[1])
core.handle_json(json.dumps({"type": "chat_turn", "session_id": "s", "message": "bye", "assigned_skills": []}))
if sys.argv[2] == "leaked":  # never deallocated: only the exit hook can close it
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(core))
print("ok")
"""


@pytest.mark.parametrize("how", ["dropped", "leaked"])
def test_interpreter_exit_closes_the_store_cleanly(how, tmp_path):
    path = tmp_path / "agent.db"
    run_children(EXIT, url(path), how, count=1)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["agent.db"]
    assert [m[1] for m in messages(path, "s")][0] == "bye"
