"""The training run of profile-guided optimisation (scripts/pgo-profile.sh):
drives an instrumented build of the module through a broad mix of what
callers send, so that the compiler lays out and inlines for real traffic,
not for one benchmark: every command kind, in object and array form, small
and large texts, escapes and non-ASCII text, numbers of every kind, skills
that are missing, tools written in Python (called with compact and spaced
inputs, some missing), and malformed commands that fail at every stage.

usage: pgo_train.py MODULE_DIR [ROUNDS]
"""

import json
import random
import sys


def skill(rng: random.Random, i: int) -> dict:
    words = ["review", "the", "change", "café", "東京", "tabs\there", 'say "hi"', "line\nbreak"]
    text = " ".join(rng.choice(words) for _ in range(rng.choice([3, 30, 300, 3000])))
    return {
        "id": f"skill-{i}",
        "name": f"Skill {i}",
        "source": rng.choice(["user", "system", {"external": None}]),
        "source_ref": rng.choice([None, "ref"]),
        "read_only": rng.random() < 0.5,
        "description": rng.choice([None, text[:300]]),
        "content": text,
        "suggested_tools": rng.sample(["edit", "search", "run", "read"], rng.randint(0, 3)),
    }


def value(rng: random.Random, depth: int = 0):
    kind = rng.randrange(9 if depth < 4 else 6)
    if kind == 0:
        return None
    if kind == 1:
        return rng.random() < 0.5
    if kind == 2:
        return rng.randint(-(2**63), 2**64 - 1)
    if kind == 3:
        return rng.choice([0.5, -1e-7, 1e300, 3.141592653589793, 0.0, 2.5e-324 * 2])
    if kind in (4, 5):
        return rng.choice(["", "plain", "é\u2028\"\\/\n\t\x01", "x" * rng.randint(1, 400)])
    if kind in (6, 7):
        return [value(rng, depth + 1) for _ in range(rng.randint(0, 8))]
    return {f"k{rng.randint(0, 50)}": value(rng, depth + 1) for _ in range(rng.randint(0, 8))}


def commands(rng: random.Random) -> list:
    out = []
    for i in range(40):
        s = skill(rng, i)
        out.append({"type": "save_skill", "skill": s})
    out.append(json.dumps(["save_skill", list(skill(rng, 99).values())]))
    out.append({"type": "save_profile", "profile": {"provider": {"id": "p"}, "secret": {"key": "k"}}})
    for i in range(60):
        kind = rng.randrange(5)
        message = " ".join(rng.choice(["please", "look at", "@skill-3", "@nope", "@skill-7,", "é", "\n"])
                           for _ in range(rng.choice([1, 20, 200])))
        assigned = [f"skill-{rng.randint(0, 45)}" for _ in range(rng.randint(0, 3))]
        task = {"id": f"t{i}", "title": "Fix the failing build", "input": rng.choice([None, "in"])}
        if kind == 0:
            out.append({"type": "chat_turn", "session_id": f"s{i % 5}", "message": message,
                        "assigned_skills": assigned})
        elif kind == 1:
            out.append({"type": "start_run", "task": task, "run_id": f"r{i}", "session_id": "s1"})
        elif kind == 2:
            out.append({"type": "run_task", "run_id": f"r{i}", "task": task, "message": message,
                        "assigned_skills": assigned})
        elif kind == 3:
            name = rng.choice(["echo", "echo", "shape", "missing"])
            out.append({"type": "call_tool", "call": {"id": f"c{i}", "name": name, "input": value(rng)}})
        else:
            out.append({"type": "switch_model", "model": {"provider": {"id": "p"}, "id": f"m{i}"}})
    out += [
        '{"type": "chat_turn"', '{"type": "nope"}', '{"type": "start_run", "task": 5}', "[]", "",
        '{"type": "call_tool", "call": {"id": "c", "name": "n", "input": ' + "[" * 200 + "]" * 200 + "}}",
        '{"type": "save_skill", "skill": {"id": "a"}}', '{"type": "switch_model", "model": null} x',
    ]
    # As callers write JSON: some compact with sorted keys, some spaced.
    return [c if isinstance(c, str) else
            json.dumps(c, ensure_ascii=rng.random() < 0.5, sort_keys=rng.random() < 0.5,
                       separators=(",", ":") if rng.random() < 0.5 else None) for c in out]


def add_tools(core) -> None:
    core.add_tool("echo", lambda v: v)
    core.add_tool("shape", lambda v: {"kind": type(v).__name__, "items": [v, 1.5, -3, "x", None]})


def main(module_dir: str, rounds: int) -> None:
    sys.path.insert(0, module_dir)
    import dovek_native

    rng = random.Random(1)
    texts = commands(rng)
    core = dovek_native.Core()
    for _ in range(rounds):
        add_tools(core)  # reset() empties the registry
        for text in texts:
            try:
                core.handle_json(text)
            except RuntimeError:
                pass  # the failures are part of the mix
        core.reset()


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 200)
