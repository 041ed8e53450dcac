"""Reading a session's history by pages (read_json's `last` and `before`) and
the keys of a kind (keys_json), on every store: in memory, SQLite and
PostgreSQL (conftest's `core` and `store` fixtures)."""

import json

import pytest

import dovek_native
from conftest import cmd
from stores import turn

TURNS = 30  # 60 messages


def chat(core, session="s", turns=TURNS):
    for i in range(turns):
        turn(core, session, f"message {i}")
    return json.loads(core.read_json("session", session))


def test_paging_back_rebuilds_the_history(core):
    """Pages of 7 from the end, each before the previous one's first, give
    the whole history in order, the last one cut at the start."""
    whole = chat(core)
    pages, before = [], None
    while before != 0:
        page = json.loads(core.read_json("session", "s", last=7, before=before))
        assert page["total"] == len(whole["messages"])
        assert {k: v for k, v in page.items() if k not in ("messages", "first", "total")} == \
            {k: v for k, v in whole.items() if k != "messages"}
        pages.insert(0, page["messages"])
        before = page["first"]
    assert [len(p) for p in pages] == [4] + [7] * 8
    assert sum(pages, []) == whole["messages"]
    assert core.read_json("session", "s", last=None, before=None) == core.read_json("session", "s")


@pytest.mark.parametrize("last, before, first, count", [
    (10, None, 50, 10),   # the newest
    (10, 25, 15, 10),     # the middle
    (10, 4, 0, 4),        # past the start
    (0, None, 60, 0),     # counts only
    (10, 10**30, 50, 10), # before past the end
    (10**30, None, 0, 60),
])
def test_page_of_a_long_history(core, last, before, first, count):
    whole = chat(core)["messages"]
    page = json.loads(core.read_json("session", "s", last=last, before=before))
    assert (page["first"], page["total"]) == (first, 60)
    assert page["messages"] == whole[first:first + count]


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(last=-1), ValueError, "argument 'last' must not be negative, got -1"),
    (dict(last=3, before=-2), ValueError, "argument 'before' must not be negative"),
    (dict(last="3"), TypeError, "argument 'last': expected int, got str"),
    (dict(last=True), TypeError, "argument 'last': expected int, got bool"),
    (dict(last=1.0), TypeError, "argument 'last': expected int, got float"),
    (dict(before=3), ValueError, "`before` needs `last`"),
    (dict(key=None, last=3), ValueError, "`last` needs a key"),
    (dict(kind="skill", last=3), ValueError, "kind `skill` has none"),
    (dict(kind="sessions", last=3), ValueError, "unknown record kind `sessions`"),
])
def test_bad_page_arguments(core, kwargs, error, match):
    turn(core, "s", "hello")
    args = dict(kind="session", key="s") | kwargs
    with pytest.raises(error, match=match):
        core.read_json(args.pop("kind"), args.pop("key"), **args)


def test_keys_of_every_kind(core):
    assert core.read_json("session", "none", last=5) == "null"
    for key in ("b", "a", "B", "é"):
        turn(core, key, "hi")
        core.handle_json(cmd(type="start_run", task={"id": key, "title": "T"}, run_id=key, session_id=key))
    for kind in ("session", "task", "run"):
        assert json.loads(core.keys_json(kind)) == ["B", "a", "b", "é"]
    assert core.keys_json("skill") == core.keys_json("profile") == "[]"
    with pytest.raises(ValueError, match="unknown record kind `sessions`"):
        core.keys_json("sessions")


def test_keys_of_a_thousand_sessions_read_no_message(store):
    """keys_json reads the sessions' table alone: it still answers once the
    messages' table is gone, where reading the sessions fails."""
    core = dovek_native.Core.open(store.url)
    for i in range(1000):
        turn(core, f"s{i:04}", "hi")
    keys = [s["id"] for s in json.loads(core.read_json("session"))]
    assert len(keys) == 1000
    store.drop("messages")
    with pytest.raises(RuntimeError, match="messages"):
        core.read_json("session", "s0001")
    assert json.loads(core.keys_json("session")) == keys
