"""Large and hostile input to the skill runtime: skill inputs and outputs,
manifests and skills directories. Every case either succeeds exactly as
specified or fails with its specified message, and a failure changes
nothing."""

import faulthandler
import json
import os
import subprocess
import sys
from contextlib import contextmanager
from pathlib import Path

import pytest

import dovek_native as dn
from test_core_input_limits import (DEEP, ESCAPED, MB, TEN_K, UNESCAPED, compact, raises,
                                    script_skill)


def expect_error(call, message: str):
    """Like `raises`, for messages that hold characters a regex would mangle."""
    with pytest.raises(RuntimeError) as info:
        call()
    assert info.value.args == (message,)


@contextmanager
def no_hang(seconds=60):
    """Ends the process with a traceback instead of letting a hang stall CI."""
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


# ---- 100 MB texts -------------------------------------------------------------


@pytest.mark.slow
def test_100mb_skill_input_and_60mb_output(tmp_path):
    # Standard output is capped at 64 MiB; 60 MB stays below the cap.
    root = script_skill(tmp_path / "s", "printf '{\"n\":'; wc -c | tr -d ' \\n'; printf ',\"s\":\"';"
                        " head -c 60000000 /dev/zero | tr '\\0' a; printf '\"}'")
    payload = compact(["y" * 1000] * (100 * MB // 1000))
    out = dn.runtime_run_skill_json(str(root), payload, 120)
    assert out == '{"n":' + str(len(payload) + 1) + ',"s":"' + "a" * (60 * MB) + '"}'


# ---- 1,000,000-deep nesting ----------------------------------------------------


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


def test_every_escape_through_a_skill_run(tmp_path):
    root = script_skill(tmp_path / "s", 'read -r line; printf "%s\\n" "$line" > got;'
                        ' printf \'{"got":%s}\' "$line"')
    out = dn.runtime_run_skill_json(str(root), "[" + ESCAPED + "]", 10)
    assert out == compact({"got": [UNESCAPED]})
    assert (root / "got").read_text() == compact([UNESCAPED]) + "\n"


# ---- numbers with 10,000 digits ----------------------------------------------


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
