"""Large and hostile input through the installed module: every case either
succeeds exactly as specified or fails with its specified message, and a
failure changes nothing. No size limit of our own applies anywhere."""

import faulthandler
import json
import os
import subprocess
import sys
from contextlib import contextmanager
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


def expect_error(call, message: str):
    """Like `raises`, for messages that hold characters a regex would mangle."""
    with pytest.raises(RuntimeError) as info:
        call()
    assert info.value.args == (message,)


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


@contextmanager
def no_hang(seconds=60):
    """Ends the process with a traceback instead of letting a hang stall CI."""
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


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


@pytest.mark.slow
def test_100mb_skill_input_and_60mb_output(tmp_path):
    # Standard output is capped at 64 MiB; 60 MB stays below the cap.
    root = script_skill(tmp_path / "s", "printf '{\"n\":'; wc -c | tr -d ' \\n'; printf ',\"s\":\"';"
                        " head -c 60000000 /dev/zero | tr '\\0' a; printf '\"}'")
    payload = compact(["y" * 1000] * (100 * MB // 1000))
    out = dn.runtime_run_skill_json(str(root), payload, 120)
    assert out == '{"n":' + str(len(payload) + 1) + ',"s":"' + "a" * (60 * MB) + '"}'


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


@pytest.mark.parametrize("text,message", [
    ("[" * DEEP, "recursion limit exceeded at line 1 column 128"),
    ("[" * DEEP + "]" * DEEP, "recursion limit exceeded at line 1 column 128"),
    ("\n\n" + '{"a":' * DEEP + "1" + "}" * DEEP, "recursion limit exceeded at line 3 column 636"),
    ('[{"k":' * (DEEP // 2), f"recursion limit exceeded at line 1 column {63 * 6 + 2}"),
])
def test_million_deep_skill_input_fails_before_the_file_system(tmp_path, text, message):
    with raises(message):
        dn.runtime_run_skill_json(str(tmp_path / "missing"), text, 1)


def test_million_deep_skill_output_and_manifest(tmp_path):
    root = script_skill(tmp_path / "s", f"cat >/dev/null; head -c {DEEP} /dev/zero | tr '\\0' '['")
    with raises("decode skill output JSON from stdout: " + "[" * 120):
        dn.runtime_run_skill_json(str(root), "{}", 30)
    manifest = root / "artifact.json"
    manifest.write_text('{"schema_version":1,"x":' + "[" * DEEP + "]" * DEEP + "}")
    with raises(f"decode {manifest}"):
        dn.runtime_load_artifact_json(str(root))


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


def test_nul_through_a_skill_run(tmp_path):
    root = script_skill(tmp_path / "s", 'read -r line; printf "%s\\n" "$line" > got;'
                        ' printf \'{"got":%s,"o":"\\\\u0000"}\' "$line"')
    out = dn.runtime_run_skill_json(str(root), '["a\\u0000b", {"\\u0000": 0}]', 10)
    assert out == '{"got":["a\\u0000b",{"\\u0000":0}],"o":"\\u0000"}'
    assert (root / "got").read_bytes() == b'["a\\u0000b",{"\\u0000":0}]\n'


@pytest.mark.parametrize("body,message", [
    ("cat >/dev/null; printf 'x\\000y'", "decode skill output JSON from stdout: x\x00y"),
    ("cat >/dev/null; printf 'a\\000b' >&2; exit 4", "skill process exited with status Some(4): a\x00b"),
])
def test_nul_bytes_in_messages_are_kept(tmp_path, body, message):
    root = script_skill(tmp_path / "s", body)
    expect_error(lambda: dn.runtime_run_skill_json(str(root), "{}", 10), message)


def test_paths_with_nul_name_no_other_file(tmp_path, monkeypatch):
    root = script_skill(tmp_path / "s", 'cat >/dev/null; touch ran; echo "{}"')
    manifest = str(root / "artifact.json")
    # Cut at the NUL these would name an existing manifest, directory or tool.
    expect_error(lambda: dn.runtime_load_artifact_json(manifest + "\x00"),
                 f"read {manifest}\x00/artifact.json")
    expect_error(lambda: dn.runtime_run_skill_json(manifest + "\x00", "{}", 5),
                 f"read {manifest}\x00/artifact.json")
    expect_error(lambda: dn.runtime_list_skills_json(str(tmp_path) + "\x00/x"),
                 f"read {tmp_path}\x00/x")
    skills = tmp_path / "skills"
    expect_error(lambda: dn.runtime_install_local_skill_json(str(root), str(skills) + "\x00x", None, False),
                 f"create {skills}\x00x")
    assert not skills.exists()

    log = tmp_path / "cargo.log"
    (tmp_path / "bin").mkdir()
    (tmp_path / "bin" / "cargo").write_text(f"#!/bin/sh\necho called >> '{log}'\n")
    (tmp_path / "bin" / "cargo").chmod(0o755)
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}:/usr/bin:/bin")
    with raises("build rust binary skill: spawn command"):
        dn.runtime_build_skill_json(str(root), str(tmp_path / "t") + "\x00x")
    assert not log.exists()

    # An entry holding an escaped NUL names no file, whatever precedes the NUL.
    m = json.loads((root / "artifact.json").read_text())
    m["entry"] = "run.sh\x00x"
    (root / "artifact.json").write_text(json.dumps(m))
    expect_error(lambda: dn.runtime_run_skill_json(str(root), "{}", 5),
                 f"skill executable not found: {root}/run.sh\x00x")
    assert not (root / "ran").exists()


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


def test_every_escape_through_a_skill_run(tmp_path):
    root = script_skill(tmp_path / "s", 'read -r line; printf "%s\\n" "$line" > got;'
                        ' printf \'{"got":%s}\' "$line"')
    out = dn.runtime_run_skill_json(str(root), "[" + ESCAPED + "]", 10)
    assert out == compact({"got": [UNESCAPED]})
    assert (root / "got").read_text() == compact([UNESCAPED]) + "\n"


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


def test_ten_thousand_digit_number_in_skill_output(tmp_path):
    root = script_skill(tmp_path / "s", f"cat >/dev/null; printf '{{\"n\":'; head -c {TEN_K} /dev/zero"
                        " | tr '\\0' 7; printf '}'")
    with raises("decode skill output JSON from stdout: {\"n\":" + "7" * 115):
        dn.runtime_run_skill_json(str(root), "{}", 10)


# ---- invalid UTF-8 -----------------------------------------------------------

INVALID_UTF8 = [b"\xff", b"\x80", b"\xc0\xaf", b"\xed\xa0\x80", b"\xe2\x82", b"\xf0\x9f\x98",
                b"\xf4\x90\x80\x80", b"a\xe2\x82\xacb\xe2", b"\xf8\x88\x80\x80\x80"]
UTF8_IDS = [repr(b)[2:-1] for b in INVALID_UTF8]


@pytest.mark.parametrize("where", ["value", "key", "ignored", "end"])
def test_invalid_utf8_manifest_is_a_read_failure_everywhere(tmp_path, where):
    src = script_skill(tmp_path / "src", "echo '{}'")
    good = (src / "artifact.json").read_bytes()
    bad = {"value": good.replace(b'"S"', b'"S\xff"'),
           "key": good[:-1] + b', "k\xc0\xaf": 1}',
           "ignored": good[:-1] + b', "note": "\xed\xa0\x80"}',
           "end": good + b"\n\xe2\x82"}[where]
    (src / "artifact.json").write_bytes(bad)
    path = src / "artifact.json"
    with raises(f"read {path}"):
        dn.runtime_load_artifact_json(str(src))
    with raises(f"read {path}"):
        dn.runtime_run_skill_json(str(src), "{}", 5)
    skills = tmp_path / "skills"
    with raises(f"read {path}"):
        dn.runtime_install_local_skill_json(str(src), str(skills), None, False)
    assert not skills.exists()
    # Installed by hand beside a valid skill, it is left out of the listing.
    script_skill(skills / "ok", "", id="ok")
    (skills / "bad").mkdir()
    (skills / "bad" / "artifact.json").write_bytes(bad)
    assert [a["id"] for a in json.loads(dn.runtime_list_skills_json(str(skills)))] == ["ok"]


@pytest.mark.parametrize("raw", INVALID_UTF8, ids=UTF8_IDS)
def test_invalid_utf8_in_skill_output_is_replaced(tmp_path, raw):
    octal = "".join(f"\\{b:03o}" for b in raw)
    root = script_skill(tmp_path / "s", f"cat >/dev/null; printf '{{\"s{octal}\":\"<{octal}>\"}}'")
    text = raw.decode("utf-8", "replace")
    out = dn.runtime_run_skill_json(str(root), "{}", 5)
    assert out == compact({"s" + text: f"<{text}>"})
    assert json.loads(out) == {"s" + text: f"<{text}>"}

    script_skill(root, f"cat >/dev/null; printf ' {octal}x\\n' >&2; printf '{octal}' ; exit 9")
    with raises(f"skill process exited with status Some(9): {text}x"):
        dn.runtime_run_skill_json(str(root), "{}", 5)
    script_skill(root, f"cat >/dev/null; printf '{octal} {{}}'")
    expect_error(lambda: dn.runtime_run_skill_json(str(root), "{}", 5),
                 f"decode skill output JSON from stdout: {text} {{}}")


# ---- manifests that are no regular file ---------------------------------------


def make_odd_manifest(root: Path, kind: str) -> None:
    root.mkdir(parents=True, exist_ok=True)
    m = root / "artifact.json"
    if kind == "directory":
        m.mkdir()
    elif kind == "self-link":
        m.symlink_to("artifact.json")
    elif kind == "link-loop":
        m.symlink_to("other.json")
        (root / "other.json").symlink_to("artifact.json")
    elif kind == "link-to-fifo":
        os.mkfifo(root / "pipe")
        m.symlink_to("pipe")
    elif kind == "link-to-device":
        m.symlink_to("/dev/zero")
    elif kind == "link-to-directory":
        m.symlink_to("/")
    elif kind == "dangling":
        m.symlink_to("nowhere")


ODD = ["directory", "self-link", "link-loop", "link-to-fifo", "link-to-device", "link-to-directory",
       "dangling"]


@pytest.mark.parametrize("kind", ODD)
def test_manifest_that_is_no_regular_file(tmp_path, kind):
    root = tmp_path / "s"
    make_odd_manifest(root, kind)
    skills = tmp_path / "skills"
    with no_hang():
        with raises(f"read {root}/artifact.json"):
            dn.runtime_load_artifact_json(str(root))
        with raises(f"read {root}/artifact.json"):
            dn.runtime_run_skill_json(str(root), "{}", 5)
        with raises(f"read {root}/artifact.json"):
            dn.runtime_build_skill_json(str(root), None)
        with raises(f"read {root}/artifact.json"):
            dn.runtime_install_local_skill_json(str(root), str(skills), None, False)
        make_odd_manifest(skills / "odd", kind)
        script_skill(skills / "ok", "", id="ok")
        assert [a["id"] for a in json.loads(dn.runtime_list_skills_json(str(skills)))] == ["ok"]


def test_root_and_skills_dir_that_are_link_loops(tmp_path):
    loop = tmp_path / "loop"
    loop.symlink_to("loop")
    with no_hang():
        with raises(f"read {loop}/artifact.json"):
            dn.runtime_load_artifact_json(str(loop))
        with raises(f"read {loop}"):
            dn.runtime_list_skills_json(str(loop))
        src = script_skill(tmp_path / "src", "")
        with raises(f"create {loop}"):
            dn.runtime_install_local_skill_json(str(src), str(loop), None, False)


@pytest.mark.parametrize("entry", ["fifo", "loop", "dev"])
def test_entry_that_is_no_regular_file(tmp_path, entry):
    root = script_skill(tmp_path / "s", "")
    m = json.loads((root / "artifact.json").read_text())
    m["entry"] = entry
    (root / "artifact.json").write_text(json.dumps(m))
    if entry == "fifo":
        os.mkfifo(root / "fifo")
    elif entry == "loop":
        (root / "loop").symlink_to("loop")
    else:
        (root / "dev").symlink_to("/dev/null")
    with no_hang():
        with raises(f"skill executable not found: {root}/{entry}"):
            dn.runtime_run_skill_json(str(root), "{}", 5)


# ---- directories without permission to read ------------------------------------

UNPRIVILEGED = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"]

CALLS = """
import dovek_native as dn, json, sys
out = []
for name, args in json.loads(sys.argv[1]):
    try:
        out.append(["ok", getattr(dn, name)(*args)])
    except RuntimeError as e:
        out.append(["error", str(e)])
print(json.dumps(out))
"""


def unprivileged(*calls):
    """Runs runtime calls in a child without the capabilities that let root
    ignore permission bits; returns ["ok", result] or ["error", message] each."""
    result = subprocess.run(UNPRIVILEGED + [sys.executable, "-c", CALLS, json.dumps(calls)],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def tree(path: Path) -> list:
    return sorted(str(p.relative_to(path)) for p in path.rglob("*"))


def test_skills_directories_without_read_permission(tmp_path):
    src = script_skill(tmp_path / "src", "cat >/dev/null; echo '{\"v\":1}'", id="echo")
    closed, search_only, read_only, mixed = (tmp_path / n for n in ("closed", "search", "read", "mixed"))
    for d in (closed, search_only, read_only, mixed):
        script_skill(d / "echo", "cat >/dev/null; echo '{\"v\":0}'", id="echo")
    script_skill(mixed / "locked", "", id="locked")
    script_skill(mixed / "hidden", "", id="hidden")
    (mixed / "locked").chmod(0)
    (mixed / "hidden" / "artifact.json").chmod(0)
    closed.chmod(0)
    search_only.chmod(0o111)
    read_only.chmod(0o444)
    before = {d: tree(d) for d in (closed, search_only, read_only, mixed)}
    results = unprivileged(
        ["runtime_list_skills_json", [str(closed)]],
        ["runtime_list_skills_json", [str(search_only)]],
        ["runtime_list_skills_json", [str(read_only)]],
        ["runtime_list_skills_json", [str(mixed)]],
        ["runtime_run_skill_json", [str(mixed / "locked"), "{}", 5]],
        ["runtime_load_artifact_json", [str(mixed / "hidden")]],
        ["runtime_run_skill_json", [str(search_only / "echo"), "{}", 5]],
        ["runtime_install_local_skill_json", [str(src), str(closed), "new", False]],
        ["runtime_install_local_skill_json", [str(src), str(read_only), "new", False]],
        ["runtime_install_local_skill_json", [str(src), str(search_only), None, True]],
        ["runtime_install_local_skill_json", [str(mixed / "locked"), str(tmp_path / "k"), None, False]],
    )
    assert results[:7] == [
        ["error", f"read {closed}"],
        ["error", f"read {search_only}"],
        ["ok", "[]"],
        ["ok", json.dumps([json.loads(dn.runtime_load_artifact_json(str(mixed / "echo")))],
                          separators=(",", ":"), ensure_ascii=False)],
        ["error", f"read {mixed}/locked/artifact.json"],
        ["error", f"read {mixed}/hidden/artifact.json"],
        ["ok", '{"v":0}'],
    ]
    assert results[7:] == [
        ["error", f"install skill into {closed}/new"],
        ["error", f"install skill into {read_only}/new"],
        ["error", f"install skill into {search_only}/echo"],
        ["error", f"read {mixed}/locked/artifact.json"],
    ]
    # Nothing was created, removed or half-copied anywhere.
    assert {d: tree(d) for d in before} == before
    assert not (tmp_path / "k").exists()
    assert dn.runtime_run_skill_json(str(search_only / "echo"), "{}", 5) == '{"v":0}'
