"""Large and hostile input to a core's commands: every case either succeeds
exactly as specified or fails with its specified message, and a failure
changes nothing. No size limit of our own applies anywhere. The skill
runtime's cases are in test_runtime_input_limits.py."""

import json
from pathlib import Path

import pytest

import dovek_native as dn
from conftest import cmd, skill

MB = 1_000_000
DECODE = "decode CoreCommand JSON"
DEEP = 1_000_000


def compact(value) -> str:
    """The module's own output form for strings and integers: compact, keys
    sorted, only quote, backslash and control characters escaped."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)


def prompt(core, message: str, assigned=()) -> str:
    out = json.loads(core.handle_json(cmd(type="chat_turn", session_id="s", message=message,
                                          assigned_skills=list(assigned))))
    assert out["type"] == "chat_turn" and len(out["events"]) == 1
    return out["events"][0]["value"]


def echo(core, input_text: str) -> str:
    """Sends `input_text` verbatim as a tool input; returns the response text."""
    return core.handle_json('{"type":"call_tool","call":{"id":"c","name":"n","input":' + input_text + "}}")


def echoed(input_rendered: str) -> str:
    return ('{"type":"tool_events","events":[{"type":"tool_call","id":"c","name":"n","input":'
            + input_rendered + '},{"type":"error","message":"tool not found: n"}]}')


def raises(message: str):
    return pytest.raises(RuntimeError, match="^" + __import__("re").escape(message) + "$")


class Seeded:
    """A core holding one known skill, with a check that it still holds exactly
    that skill and none of the skills a failed command would have saved."""

    def __init__(self):
        self.core = dn.Core()
        self.core.handle_json(cmd(type="save_skill", skill=skill("keep", content="kept body")))
        self.before = prompt(self.core, "@keep")

    def handle_json(self, text):
        return self.core.handle_json(text)

    def unchanged(self, *absent):
        assert prompt(self.core, "@keep") == self.before
        for name in absent:
            assert f"unknown mentioned skill: {name}\n" in prompt(self.core, f"@{name}")


@pytest.fixture
def seeded():
    return Seeded()


def script_skill(root: Path, body: str, id="s") -> Path:
    root.mkdir(parents=True, exist_ok=True)
    (root / "artifact.json").write_text(json.dumps(
        {"schema_version": 1, "kind": "rust_binary", "id": id, "name": "S", "version": "1",
         "entry": "run.sh"}))
    (root / "run.sh").write_bytes(b"#!/bin/sh\n" + body.encode("utf-8", "surrogateescape") + b"\n")
    (root / "run.sh").chmod(0o755)
    return root


# ---- 100 MB texts -------------------------------------------------------------

# Every character the writer escapes, and the ones it must leave alone.
ASCII_HOSTILE = "".join(chr(c) for c in range(0x20)) + '"\\/\x7f'


@pytest.mark.slow
def test_100mb_skill_content_reaches_the_prompt_unchanged(seeded):
    content = (ASCII_HOSTILE + "x" * 9_966) * (100 * MB // 10_000)
    escaped = compact(content)  # also the module's own form of it
    save = ('{"type":"save_skill","skill":{"id":"big","name":"Big","source":"user",'
            '"read_only":false,"content":' + escaped + ',"suggested_tools":[]}}')
    assert len(save) > 100 * MB
    # The same text cut short by one byte changes nothing.
    with raises(DECODE):
        seeded.handle_json(save[:-1])
    seeded.unchanged("big")
    assert seeded.handle_json(save) == '{"type":"saved"}'
    out = seeded.handle_json(cmd(type="chat_turn", session_id="s", message="use @big",
                                 assigned_skills=[]))
    assert out == ('{"type":"chat_turn","events":[{"type":"text","value":"## Mentioned skill: @big\\n'
                   '@big: Big [user]\\nInstructions:\\n' + escaped[1:-1]
                   + '\\n\\n## User message\\nuse @big"}]}')
    del out
    seeded.unchanged()


@pytest.mark.slow
def test_100mb_tool_input_round_trips(core):
    value = {"z": [f"{i:08d}" + "v" * 990 for i in range(100_000)], "a": {"n": -1, "s": "\x00"}}
    text = json.dumps(value)
    assert len(text) > 100 * MB
    assert echo(core, text) == echoed(compact(value))


# ---- 1,000,000-deep nesting ----------------------------------------------------


@pytest.mark.parametrize("text", [
    "[" * DEEP,
    "[" * DEEP + "]" * DEEP,
    '{"type":"call_tool","call":{"id":"c","name":"n","input":' + "[" * DEEP + "]" * DEEP + "}}",
    '{"type":"call_tool","call":{"id":"c","name":"n","input":' + '{"a":' * DEEP + "1" + "}" * DEEP + "}}",
    # Deep in a member the command would skip.
    cmd(type="save_skill", skill=skill("deep"))[:-1] + ',"note":' + "[" * DEEP + "]" * DEEP + "}",
    '{"note":' + '{"a":' * DEEP + "1" + "}" * DEEP + "," + cmd(type="save_skill", skill=skill("deep"))[1:],
], ids=["open-arrays", "arrays", "tool-arrays", "tool-objects", "skipped-member", "before-type"])
def test_million_deep_command_fails_and_changes_nothing(seeded, text):
    with raises(DECODE):
        seeded.handle_json(text)
    seeded.unchanged("deep")


# ---- NUL characters ----------------------------------------------------------


def test_nul_inside_ids_names_and_content_is_data(core):
    core.handle_json(cmd(type="save_skill", skill=skill("a", content="A")))
    out = core.handle_json(cmd(type="save_skill", skill=skill("a\x00b", name="N\x00", source="user",
                                                               content="x\x00y")))
    assert out == '{"type":"saved"}'
    text = prompt(core, "use @a\x00b", assigned=["a\x00", "a"])
    assert text == ("## Assigned skills\n- @a: A [system]\n\n"
                    "## Mentioned skill: @a\x00b\n@a\x00b: N\x00 [user]\nInstructions:\nx\x00y\n\n"
                    "## Skill context issues\n- @a\x00: assigned skill is missing: a\x00\n\n"
                    "## User message\nuse @a\x00b")
    raw = core.handle_json(cmd(type="chat_turn", session_id="s\x00", message="@a\x00b",
                               assigned_skills=[]))
    assert "\x00" not in raw and raw.count("\\u0000") == 5


def test_nul_in_tool_input_keys_and_values(core):
    assert echo(core, '{"k\\u0000":"v\\u0000w","k":["\\u0000"],"\\u0000":null}') == echoed(
        '{"\\u0000":null,"k":["\\u0000"],"k\\u0000":"v\\u0000w"}')


@pytest.mark.parametrize("text", [
    cmd(type="save_skill", skill=skill("nul")) + "\x00",
    cmd(type="save_skill", skill=skill("nul")) + "\x00" + cmd(type="save_skill", skill=skill("nul2")),
    "\x00" + cmd(type="save_skill", skill=skill("nul")),
    cmd(type="save_skill", skill=skill("nul", content="a\\u0000b")).replace("\\\\u0000", "\x00"),
    cmd(type="save_skill", skill=skill("nul", content="\ud800")),            # lone surrogate escape
    cmd(type="save_skill", skill=skill("nul", content="\udc00\ud800")),
    cmd(type="save_skill", skill=skill("nul"))[:-1] + ',"x":"\\x"}',           # unknown escape
    cmd(type="save_skill", skill=skill("nul"))[:-1] + ',"x":"\\u12"}',
], ids=["nul-after", "nul-between", "nul-before", "raw-nul-in-string", "lone-surrogate",
        "reversed-pair", "bad-escape", "short-escape"])
def test_malformed_strings_and_raw_nul_change_nothing(seeded, text):
    with raises(DECODE):
        seeded.handle_json(text)
    seeded.unchanged("nul", "nul2")


# ---- every escape ------------------------------------------------------------

# Every escape form JSON has, with the value it stands for.
ESCAPED = ('"\\"\\\\\\/\\b\\f\\n\\r\\t' + "".join(f"\\u{c:04x}" for c in range(0x20))
           + '\\u007F\\u0041\\u00e9\\u00E9\\u20AC\\u2028\\u2029\\ufeff\\uFFFD\\ud83d\\ude00\\uDBFF\\uDFFF'
           + 'é€😀\u2028\x7f/"')
UNESCAPED = json.loads(ESCAPED)


def test_every_escape_in_tool_input_keys_and_values(core):
    text = "{" + ESCAPED + ":[" + ESCAPED + "]," + '"plain":' + ESCAPED + "}"
    out = echo(core, text)
    assert out == echoed(compact({UNESCAPED: [UNESCAPED], "plain": UNESCAPED}))
    # Only the required characters are escaped: / é € U+2028 U+007F and the
    # emoji come back raw, control characters as \b \t \n \f \r or \u00xx.
    assert r'"\"\\/\b\f\n\r\t\u0000\u0001' in out and r"\b\t\n\u000b\f\r\u000e" in out
    assert "\\u007f" not in out.lower() and "\\u2028" not in out and "\\ud83d" not in out


def test_every_escape_in_a_chat_message_and_skill(core):
    command = ('{"type":"save_skill","skill":{"id":"esc","name":' + ESCAPED + ',"source":"user",'
               '"read_only":false,"content":' + ESCAPED + ',"suggested_tools":[' + ESCAPED + "]}}")
    assert core.handle_json(command) == '{"type":"saved"}'
    message = "see @esc " + UNESCAPED
    text = prompt(core, message)
    assert text == (f"## Mentioned skill: @esc\n@esc: {UNESCAPED} [user]\n"
                    f"Suggested tools: {UNESCAPED}\nInstructions:\n{UNESCAPED}\n\n"
                    f"## User message\n{message}")


# ---- numbers with 10,000 digits ----------------------------------------------

TEN_K = 10_000


@pytest.mark.parametrize("text", [
    "1" * TEN_K,
    "-" + "9" * TEN_K,
    "1" * TEN_K + ".5",
    "0." + "1" * TEN_K + "e400",
])
def test_ten_thousand_digit_numbers_beyond_double_range(seeded, tmp_path, text):
    command = cmd(type="save_skill", skill=skill("num"))[:-1] + ',"n":' + text + "}"
    with raises(DECODE):
        seeded.handle_json(command)
    with raises(DECODE):
        echo(seeded, text)
    seeded.unchanged("num")
    with raises("number out of range at line 1 column 2"):
        dn.runtime_run_skill_json(str(tmp_path), "[" + text + "]", 1)


@pytest.mark.parametrize("text,written", [
    ("0." + "3" * TEN_K, "0.3333333333333333"),
    ("-0." + "0" * TEN_K, "-0.0"),
    ("0." + "0" * TEN_K + "1", "0.0"),                               # underflows to zero
    # Halfway between two doubles: the digit 10,000 places on decides.
    ("9007199254740993." + "0" * TEN_K, "9007199254740992.0"),
    ("9007199254740993." + "0" * (TEN_K - 1) + "1", "9007199254740994.0"),
    ("1." + "0" * TEN_K + "e" + "0" * TEN_K + "5", "100000.0"),
    # Digits beyond a double's range that the exponent brings back.
    ("1" + "0" * TEN_K + f"e-{TEN_K}", "1.0"),
    ("1" * TEN_K + "e-9990", "1111111111.1111112"),
    ("-0e" + "9" * TEN_K, "-0.0"),
    ("2." + "2250738585072011" + "0" * TEN_K + "e-308", "2.225073858507201e-308"),
])
def test_ten_thousand_fraction_digits_are_correctly_rounded(core, tmp_path, text, written):
    assert echo(core, text) == echoed(written)
    root = script_skill(tmp_path / "s", 'read line; printf "{\\"got\\":%s}" "$line"')
    assert dn.runtime_run_skill_json(str(root), text, 10) == '{"got":' + written + "}"
