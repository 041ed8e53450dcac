"""Time per Core.handle_json call beside the JSON work any implementation
must do in Python: loading the command text and dumping the response object,
with the standard `json` module and with `orjson`. Prints ratios.

Goal: faster than the `json` baseline for every command, within 1.5x of the
`orjson` baseline.
"""

import json
import statistics
import time

import orjson

import dovek_native


def skill(i: int) -> dict:
    return {
        "id": f"skill-{i}",
        "name": f"Skill {i}",
        "source": "user",
        "read_only": False,
        "description": "Does a useful thing, described in a sentence or two.",
        "content": "Step one. Step two. " * 20,
        "suggested_tools": ["edit", "search"],
    }


def commands() -> dict:
    tool_input = {f"key{i:03d}": [i, i * 0.5, f"value {i}", None, True] for i in range(30)}
    assert 900 < len(json.dumps(tool_input, separators=(",", ":"))) < 1300
    return {
        "save_skill": json.dumps({"type": "save_skill", "skill": skill(0)}),
        "chat_turn": json.dumps({
            "type": "chat_turn",
            "session_id": "s1",
            "message": "Please review this with @skill-3 and keep it short.",
            "assigned_skills": ["skill-1", "skill-2"],
        }),
        "call_tool": json.dumps({"type": "call_tool", "call": {"id": "c1", "name": "echo", "input": tool_input}}),
    }


def per_call(fn, arg, rounds: int = 7, number: int = 2000) -> float:
    """Median seconds per call over `rounds` timing rounds."""
    samples = []
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(number):
            fn(arg)
        samples.append((time.perf_counter() - start) / number)
    return statistics.median(samples)


def main() -> None:
    core = dovek_native.Core()
    for i in range(10):
        core.handle_json(json.dumps({"type": "save_skill", "skill": skill(i)}))
    rows = []
    for name, text in commands().items():
        if name == "chat_turn":
            # A fresh session each round would grow nothing; the session's
            # history does not affect the cost of a turn.
            pass
        response = core.handle_json(text)
        response_obj = json.loads(response)

        def with_json(t, r=response_obj):
            json.loads(t)
            return json.dumps(r, separators=(",", ":"), ensure_ascii=False)

        def with_orjson(t, r=response_obj):
            orjson.loads(t)
            return orjson.dumps(r)

        ours = per_call(core.handle_json, text)
        base_json = per_call(with_json, text)
        base_orjson = per_call(with_orjson, text)
        rows.append((name, ours, base_json, base_orjson))

    print(f"{'command':<12} {'handle_json':>12} {'json':>10} {'orjson':>10} {'vs json':>8} {'vs orjson':>10}")
    for name, ours, bj, bo in rows:
        print(f"{name:<12} {ours * 1e6:>10.2f}us {bj * 1e6:>8.2f}us {bo * 1e6:>8.2f}us "
              f"{ours / bj:>7.2f}x {ours / bo:>9.2f}x")


if __name__ == "__main__":
    main()
