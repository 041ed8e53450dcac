"""Stress through the installed module: threads issuing mixed commands on one
core and on separate cores, threads running skills at once, and resets under
load. Every response is checked against a model of what the thread itself
did; the final state is checked at the end.

The duration of each run is DOVEK_STRESS_SECONDS (default 3, so CI runs a
short version; 30 gives the full stress)."""

import json
import os
import random
import re
import threading
import time
from pathlib import Path

import pytest

import dovek_native as dn
from conftest import cmd

SECONDS = float(os.environ.get("DOVEK_STRESS_SECONDS", "3"))
THREADS = 8
DECODE = "decode CoreCommand JSON"

MALFORMED = [
    "",
    '{"type":"save_skill"}',
    '{"type":"chat_turn","session_id":"s","message":"m","assigned_skills":null}',
    '["call_tool"]',
    '{"type":"call_tool","call":{"id":"c","name":"n","input":' + "[" * 128 + "]" * 128 + "}}",
    '{"type":"switch_model","model":{"provider":{"id":"p"},"id":"m"}} x',
    '{"type":"save_skill","skill":{"id":"x","name":"X","source":"user","read_only":false,'
    '"content":"\\ud800","suggested_tools":[]}}',
]


def compact(value) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def mention_name(word: str) -> str:
    return re.sub(r"^[^A-Za-z0-9_-]+|[^A-Za-z0-9_-]+$", "", word[1:])


def render(skills: dict, assigned: list, message: str, user_message: str) -> str:
    """The prompt text for a catalog of user skills {id: (name, tools, content)}."""
    blocks, issues, seen = [], [], set()
    summaries = []
    for a in assigned:
        if a in seen:
            continue
        seen.add(a)
        if a in skills:
            name, tools, _ = skills[a]
            summaries.append(f"- @{a}: {name} [user]" + (f"\n  Suggested tools: {', '.join(tools)}" if tools else ""))
        else:
            issues.append(f"- @{a}: assigned skill is missing: {a}")
    if summaries:
        blocks.append("## Assigned skills\n" + "\n\n".join(summaries))
    names = []
    for word in message.split(" "):
        if word.startswith("@") and (n := mention_name(word)) and n not in names:
            names.append(n)
    for n in names:
        if n in skills:
            name, tools, content = skills[n]
            body = f"@{n}: {name} [user]"
            if tools:
                body += f"\nSuggested tools: {', '.join(tools)}"
            if content.strip():
                body += f"\nInstructions:\n{content}"
            blocks.append(f"## Mentioned skill: @{n}\n{body}")
        else:
            issues.append(f"- @{n}: unknown mentioned skill: {n}")
    if issues:
        blocks.append("## Skill context issues\n" + "\n".join(issues))
    text = "\n\n".join(blocks)
    return (text + "\n\n" if text else "") + "## User message\n" + user_message


def text_event(response: str, kind: str) -> str:
    out = json.loads(response)
    assert out["type"] == kind and len(out["events"]) == 1 and out["events"][0]["type"] == "text", out
    return out["events"][0]["value"]


COMMON = re.compile(r"## Mentioned skill: @common\n@common: Common \[user\]\nInstructions:\n"
                    r"common (t\d+) v(\d+)\n\n## User message\n@common")
COMMON_UNKNOWN = "## Skill context issues\n- @common: unknown mentioned skill: common\n\n## User message\n@common"


class Worker:
    """One thread's commands, checked against a model of its own records.

    Its skills, session, runs and tool calls carry the thread's tag, so on a
    shared core only the skill `common` is written by several threads; for
    that one each thread checks that every writer's versions only move
    forward. With `resets`, a record may vanish at any time, but never come
    back older, and records saved later never vanish while earlier ones stay."""

    def __init__(self, handle, tag: str, seed: int, resets=False):
        self.handle, self.tag, self.resets = handle, tag, resets
        self.rng = random.Random(seed)
        self.skills: dict = {}       # id -> (name, tools, content), as last saved
        self.saved_at: dict = {}     # id -> sequence number of its last save
        self.seq = 0
        self.common_last = 0         # version of this thread's last `common` save
        self.common_seen: dict = {}  # writer -> highest version seen
        self.ops = 0

    def own_id(self) -> str:
        return f"{self.tag}-{self.rng.randrange(12)}"

    def save(self):
        sid = self.own_id()
        self.seq += 1
        tools = ["edit", "search"][: self.rng.randrange(3)]
        content = f"body of {sid} v{self.seq}\n\t\"quoted\" é😀 \\ \x01"
        rec = {"id": sid, "name": f"N {sid}", "source": "user", "read_only": False,
               "content": content, "suggested_tools": tools, "ignored": [1, {"x": None}]}
        assert self.handle(cmd(type="save_skill", skill=rec)) == '{"type":"saved"}'
        self.skills[sid] = (rec["name"], tools, content)
        self.saved_at[sid] = self.seq

    def message(self):
        words = [f"@{self.own_id()}" + self.rng.choice(["", ",", ".", ")"]) for _ in range(self.rng.randrange(4))]
        words += ["plain", "mail@x", "@"]
        self.rng.shuffle(words)
        assigned = [self.own_id() for _ in range(self.rng.randrange(3))]
        return " ".join(words), assigned

    def check_prompt(self, text: str, assigned, message, user_message):
        if not self.resets:
            assert text == render(self.skills, assigned, message, user_message)
            return
        # Some of our skills may have been wiped by a reset: the prompt must be
        # that of the model restricted to a consistent subset of them.
        referenced = set(assigned) | {mention_name(w) for w in message.split(" ") if w.startswith("@")}
        present = {s for s in referenced & self.skills.keys()
                   if f"@{s}: {self.skills[s][0]} [user]" in text}
        missing = (referenced & self.skills.keys()) - present
        assert text == render({s: self.skills[s] for s in present}, assigned, message, user_message)
        if present and missing:
            assert min(self.saved_at[s] for s in present) > max(self.saved_at[s] for s in missing)

    def chat(self):
        message, assigned = self.message()
        text = text_event(self.handle(cmd(type="chat_turn", session_id=self.tag, message=message,
                                          assigned_skills=assigned)), "chat_turn")
        self.check_prompt(text, assigned, message, message)

    def run_task(self):
        message, assigned = self.message()
        task = {"id": f"{self.tag}-task", "title": f"Title {self.tag}", "status": "open"}
        if self.rng.random() < 0.5:
            out = self.handle(cmd(type="start_run", task=task, run_id=f"{self.tag}-r", session_id=self.tag))
            assert out == ('{"type":"run_started","run":{"id":"%s-r","task_id":"%s-task","status":"running",'
                           '"raw_status":null,"session_id":"%s","execution_id":null,"checkpoint_id":null,'
                           '"error":null,"started_at":null,"updated_at":null,"ended_at":null}}'
                           % (self.tag, self.tag, self.tag))
        text = text_event(self.handle(cmd(type="run_task", run_id=f"{self.tag}-r", task=task,
                                          message=message, assigned_skills=assigned)), "run_task")
        self.check_prompt(text, assigned, message, f"Task: Title {self.tag}\n\n{message}")

    def misc(self):
        r = self.rng.randrange(4)
        if r == 0:
            model = {"provider": {"id": self.tag}, "id": f"m{self.ops}"}
            assert self.handle(cmd(type="switch_model", model=model)) == (
                '{"type":"model_switched","model":' + json.dumps(model, separators=(",", ":")) + "}")
        elif r == 1:
            profile = {"provider": {"id": self.tag}, "secret": {"key": f"K{self.ops}"}}
            assert self.handle(cmd(type="save_profile", profile=profile)) == '{"type":"saved"}'
        elif r == 2:
            value = {"n": self.ops, "s": self.tag + "\x00\n", "a": [None, True, -5, {"z": 1, "b": []}]}
            out = self.handle(json.dumps(["call_tool", {"id": self.tag, "name": "t", "input": value}]))
            assert out == ('{"type":"tool_events","events":[{"type":"tool_call","id":"%s","name":"t","input":%s},'
                           '{"type":"error","message":"tool not found: t"}]}' % (self.tag, compact(value)))
        else:
            with pytest.raises(RuntimeError) as info:
                self.handle(self.rng.choice(MALFORMED))
            assert info.value.args == (DECODE,)

    def common(self):
        if self.rng.random() < 0.5:
            self.common_last += 1
            rec = {"id": "common", "name": "Common", "source": "user", "read_only": False,
                   "content": f"common {self.tag} v{self.common_last}", "suggested_tools": []}
            assert self.handle(cmd(type="save_skill", skill=rec)) == '{"type":"saved"}'
            self.common_seen[self.tag] = self.common_last
            return
        text = text_event(self.handle(cmd(type="chat_turn", session_id=self.tag, message="@common",
                                          assigned_skills=[])), "chat_turn")
        m = COMMON.fullmatch(text)
        if m is None:
            assert text == COMMON_UNKNOWN
            assert self.resets or not self.common_seen, "a saved skill disappeared"
            return
        writer, version = m.group(1), int(m.group(2))
        # Versions only grow, and a reset only removes: never an older one.
        assert version >= self.common_seen.get(writer, 0), "an older version came back"
        self.common_seen[writer] = max(version, self.common_seen.get(writer, 0))

    def step(self):
        self.ops += 1
        op = self.rng.choices([self.save, self.chat, self.run_task, self.misc, self.common],
                              weights=[3, 4, 2, 3, 2])[0]
        op()

    def run_for(self, seconds: float, failures: list, stop: threading.Event, min_ops=50):
        """Steps for `seconds`, and on until `min_ops` steps on a slow machine."""
        deadline = time.monotonic() + seconds
        try:
            while (time.monotonic() < deadline or self.ops < min_ops) and not stop.is_set():
                self.step()
        except BaseException as e:  # reported on the main thread
            failures.append((self.tag, e))
            stop.set()


def run_threads(targets) -> None:
    failures: list = []
    stop = threading.Event()
    threads = [threading.Thread(target=t, args=(failures, stop)) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if failures:
        tag, error = failures[0]
        raise AssertionError(f"{tag}: {error!r}") from error


@pytest.mark.slow
@pytest.mark.parametrize("shared", [True, False], ids=["one-core", "separate-cores"])
def test_mixed_commands_from_eight_threads(shared):
    cores = [dn.Core()] * THREADS if shared else [dn.Core() for _ in range(THREADS)]
    workers = [Worker(cores[t].handle_json, f"t{t}", seed=t) for t in range(THREADS)]
    run_threads([lambda f, s, w=w: w.run_for(SECONDS, f, s) for w in workers])
    ops = sum(w.ops for w in workers)
    print(f"\n{'shared' if shared else 'separate'}: {ops} commands in {SECONDS:g} s, "
          f"{ops / SECONDS:.0f}/s")

    # Consistency at the end: every thread's last save of every skill is there,
    # exactly, and a turn that names all of them renders from the model.
    for w in workers:
        ids = sorted(w.skills)
        message = " ".join(f"@{i}" for i in ids) + " @never-saved"
        text = text_event(cores[0 if shared else int(w.tag[1:])].handle_json(
            cmd(type="chat_turn", session_id="final", message=message, assigned_skills=ids + ["gone"])),
            "chat_turn")
        assert text == render(w.skills, ids + ["gone"], message, message)
    last = {w.tag: w.common_last for w in workers if w.common_last}
    for t, w in enumerate(workers):
        text = text_event(cores[t].handle_json(cmd(type="chat_turn", session_id="final", message="@common",
                                                   assigned_skills=[])), "chat_turn")
        m = COMMON.fullmatch(text)
        if shared:
            # The survivor is some writer's last version.
            assert m and last[m.group(1)] == int(m.group(2)), text
        elif w.common_last:
            assert m and (m.group(1), int(m.group(2))) == (w.tag, w.common_last), text
        else:
            assert text == COMMON_UNKNOWN


@pytest.mark.slow
@pytest.mark.parametrize("which", ["instance", "module"])
def test_reset_under_load(which):
    if which == "instance":
        core = dn.Core()
        handle, reset = core.handle_json, core.reset
    else:
        handle, reset = dn.handle_json, dn.reset
    workers = [Worker(handle, f"t{t}", seed=100 + t, resets=True) for t in range(THREADS - 1)]
    resets = 0
    # Each worker's reset count when it started and when it finished: resets
    # must fall inside every worker's run, not only before or after it.
    seen: dict = {}
    finished = threading.Semaphore(0)

    def work(w, failures, stop):
        seen[w.tag] = [resets]
        try:
            w.run_for(SECONDS, failures, stop, min_ops=20)
        finally:
            seen[w.tag].append(resets)
            finished.release()

    def resetter(failures, stop):
        nonlocal resets
        left = len(workers)
        try:
            while left and not stop.is_set():
                assert reset() is None
                resets += 1
                while left and finished.acquire(blocking=False):
                    left -= 1
                time.sleep(0.002)
        except BaseException as e:
            failures.append(("resetter", e))
            stop.set()

    run_threads([lambda f, s, w=w: work(w, f, s) for w in workers] + [resetter])
    ops = sum(w.ops for w in workers)
    print(f"\n{which}: {ops} commands and {resets} resets in {SECONDS:g} s")
    assert all(end > start for start, end in seen.values()), seen

    # After the load the core works, and a last reset leaves it empty.
    reset()
    fresh = Worker(handle, "t99", seed=7)
    for _ in range(200):
        fresh.step()
    reset()
    assert text_event(handle(cmd(type="chat_turn", session_id="x", message="@common",
                                 assigned_skills=[])), "chat_turn") == COMMON_UNKNOWN


# ---- skills run by eight threads at once --------------------------------------

SKILL_SCRIPT = """#!/bin/sh
input=$(cat)
case "$input" in
  *'"fail":true'*) printf ' {tag} failed \\n' >&2; exit {code};;
  *'"sleep":true'*) sleep 30;;
esac
printf 'log of {tag}\\n' >&2
printf '{{"tag":"{tag}","got":%s}}\\n' "$input"
"""


def make_skill(root: Path, tag: str, code: int) -> Path:
    root.mkdir(parents=True)
    (root / "artifact.json").write_text(json.dumps(
        {"schema_version": 1, "kind": "rust_binary", "id": tag, "name": tag, "version": "1",
         "entry": "run.sh"}))
    (root / "run.sh").write_text(SKILL_SCRIPT.format(tag=tag, code=code))
    (root / "run.sh").chmod(0o755)
    return root


def children() -> list:
    """Processes whose parent is this process, zombies included."""
    me, found = str(os.getpid()), []
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/stat") as f:
                    if f.read().rsplit(")", 1)[1].split()[1] == me:
                        found.append(int(pid))
            except (FileNotFoundError, ProcessLookupError, IndexError):
                pass
    return found


@pytest.mark.slow
def test_eight_threads_run_skills_at_once(tmp_path):
    roots = [make_skill(tmp_path / f"s{t}", f"t{t}", code=t + 1) for t in range(THREADS)]
    before_fds = len(os.listdir("/proc/self/fd"))
    before_children = children()
    counts = [0] * THREADS

    def runner(t):
        rng = random.Random(t)

        def run(failures, stop):
            deadline = time.monotonic() + SECONDS
            try:
                i = 0
                # For SECONDS, and on until a few runs on a slow machine.
                while (time.monotonic() < deadline or i < 4) and not stop.is_set():
                    i += 1
                    kind = rng.choices(["ok", "big", "fail", "timeout"], weights=[12, 2, 2, 1])[0]
                    value = {"t": t, "i": i, "s": "x\u00e9\x00\"\\"}
                    if kind == "big":
                        value["pad"] = "p" * rng.choice([70_000, 1_000_000])
                    elif kind != "ok":
                        value[kind if kind == "fail" else "sleep"] = True
                    text = json.dumps(value)
                    if kind in ("ok", "big"):
                        out = dn.runtime_run_skill_json(str(roots[t]), text, 30)
                        assert out == compact({"got": value, "tag": f"t{t}"})
                    elif kind == "fail":
                        with pytest.raises(RuntimeError) as info:
                            dn.runtime_run_skill_json(str(roots[t]), text, 30)
                        assert info.value.args == (f"skill process exited with status Some({t + 1}): t{t} failed",)
                    else:
                        with pytest.raises(RuntimeError) as info:
                            dn.runtime_run_skill_json(str(roots[t]), text, 0)
                        assert info.value.args == (f"run skill `t{t}`",)
                    counts[t] += 1
            except BaseException as e:
                failures.append((f"t{t}", e))
                stop.set()
        return run

    started = time.monotonic()
    run_threads([runner(t) for t in range(THREADS)])
    elapsed = time.monotonic() - started
    print(f"\nskill runs: {sum(counts)} in {elapsed:.1f} s by {THREADS} threads")
    # Every child was reaped (killed ones and their process groups too), and no
    # pipe end was left open.
    assert children() == before_children
    assert len(os.listdir("/proc/self/fd")) == before_fds
