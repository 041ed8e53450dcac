"""What real host processes do around the module: exit with daemon threads
inside it, fork while commands and skills are in flight, reset a busy core,
run short of memory. Each case runs in a Python subprocess of its own, so a
process-killing fault fails one test instead of the session."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from test_runtime import script_skill, wait_gone

HOOKS_DIR = os.environ.get("DOVEK_TEST_HOOKS_MODULE_DIR")
needs_hooks = pytest.mark.skipif(not HOOKS_DIR, reason="needs the test-hooks build (make test sets it up)")
UNDER_ASAN = any(lib in os.environ.get("LD_PRELOAD", "") for lib in ("libasan", "libclang_rt.asan"))

# Shared by the scripts: a command that holds its core for `ms` milliseconds
# (a skill id that the test-hooks build's store acts on), having first created
# the file `flag`.
PRELUDE = """
import json, os, sys, threading, time
import dovek_native as d

def sleep_command(ms, flag):
    return json.dumps({"type": "save_skill", "skill": {
        "id": "__sleep__", "name": "S", "source": "user", "read_only": False,
        "content": json.dumps({"ms": ms, "flag": str(flag)}), "suggested_tools": []}})

def wait_for(path):
    deadline = time.monotonic() + 60
    while not os.path.exists(path):
        assert time.monotonic() < deadline, "never appeared: " + path
        time.sleep(0.005)
"""


def run_script(body: str, *args, hooks=False) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    if hooks:
        env["PYTHONPATH"] = HOOKS_DIR + os.pathsep + env.get("PYTHONPATH", "")
    script = PRELUDE + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script, *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=300)


def check(result: subprocess.CompletedProcess, expected_stdout="ok") -> None:
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    assert result.stdout.strip() == expected_stdout, result.stdout + result.stderr


def supported_interpreters() -> list:
    """This interpreter and every other CPython 3.11+ that pyenv holds here."""
    found = {sys.executable}
    pyenv = Path.home() / ".pyenv" / "versions"
    for python in sorted(pyenv.glob("3.*/bin/python3")) if pyenv.is_dir() else []:
        minor = int(python.parent.parent.name.split(".")[1])
        if minor >= 11 and "t" not in python.parent.parent.name:
            found.add(str(python))
    return sorted(found)


def sleeping_skill(root: Path) -> Path:
    """Writes its pid to `pid` beside its root, then sleeps far past any test."""
    return script_skill(root, f"echo $$ > '{root}.tmp' && mv '{root}.tmp' '{root}.pid'\nexec sleep 600")


# ---- interpreter exit with a daemon thread inside the module -------------------

# wait_at_exit() makes the interpreter's exit wait until the daemon threads
# have ended: a daemon thread that comes back from the module while the
# interpreter finalizes is ended by it with a forced unwind.
WAIT_AT_EXIT = """
import gc

class WaitForDaemonThreads:
    # Module globals may be gone when this runs: bind what it uses.
    def __del__(self, listdir=os.listdir, sleep=time.sleep, monotonic=time.monotonic):
        deadline = monotonic() + 60
        while len(listdir("/proc/self/task")) > 1 and monotonic() < deadline:
            sleep(0.01)

def wait_at_exit():
    # Cyclic garbage with the collector off: collected only by the collection
    # the interpreter runs once daemon threads can no longer come back.
    gc.disable()
    keeper = WaitForDaemonThreads()
    keeper.cycle = keeper
"""

EXIT_WITH_DAEMON = WAIT_AT_EXIT + """
kind, path, keep = sys.argv[1], sys.argv[2], sys.argv[3] == "wait"
if keep:
    wait_at_exit()
if kind == "command":
    target = lambda: d.handle_json(sleep_command(200, path))
    flag = path
else:
    target = lambda: d.runtime_run_skill_json(path, "{}", 600)
    flag = path + ".pid"
threading.Thread(target=target, daemon=True).start()
wait_for(flag)
print("ok")
"""


@pytest.mark.parametrize("kind, keep", [
    pytest.param("command", "wait", marks=needs_hooks),
    ("skill", "wait"),   # the thread is ended in the run's cancellation check
    ("skill", "exit"),   # the process exits first: the exit handler kills the skill
])
def test_exit_with_a_daemon_thread_inside(tmp_path, kind, keep):
    path = tmp_path / "flag" if kind == "command" else sleeping_skill(tmp_path / "skill")
    check(run_script(EXIT_WITH_DAEMON, kind, path, keep, hooks=kind == "command"))
    if kind == "skill":
        pid = int((tmp_path / "skill.pid").read_text())
        assert wait_gone(pid, 30), f"skill process {pid} outlived its host"


TOOL_AT_EXIT = """
import json, os, sys, threading, time
sys.path.insert(0, sys.argv[1])
import dovek_native as d
""" + WAIT_AT_EXIT + """
core = d.Core()
inside = threading.Semaphore(0)
def busy(_input, sleep=time.sleep):
    inside.release()
    while True:  # gives up the interpreter often, until the interpreter ends the thread
        sleep(0.001)
        sum(range(1000))
core.add_tool("busy", busy)
call = json.dumps({"type": "call_tool", "call": {"id": "c", "name": "busy", "input": {"a": [1]}}})
for _ in range(4):
    threading.Thread(target=core.handle_json, args=(call,), daemon=True).start()
for _ in range(4):
    inside.acquire()
if sys.argv[2] == "wait":
    wait_at_exit()
else:
    time.sleep(float(sys.argv[2]))
print("ok")
"""


@pytest.mark.parametrize("python", supported_interpreters())
@pytest.mark.parametrize("exit_after", ["wait", "0", "0.01", "0.1"])
def test_exit_with_python_tools_running_in_daemon_threads(python, exit_after):
    """The interpreter ends the daemon threads while their tool calls run:
    the host exits cleanly, whether it ends them at once or a little later."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    if UNDER_ASAN:
        # The ended threads' calls never return: their frames, and the
        # references the module lets go of without dropping, stay allocated.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    out = subprocess.run([python, "-c", TOOL_AT_EXIT, os.path.dirname(d_file()),
                          exit_after], env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stdout}\n{out.stderr}"
    assert "Fatal Python error" not in out.stderr, out.stderr
    assert out.stdout.strip() == "ok", out.stdout + out.stderr


# ---- fork ------------------------------------------------------------------------

FORK_DURING_COMMAND = """
core = d.Core() if sys.argv[1] == "instance" else None
handle = core.handle_json if core else d.handle_json
flag = sys.argv[2]
t = threading.Thread(target=handle, args=(sleep_command(300, flag),))
t.start()
wait_for(flag)
pid = os.fork()
if pid == 0:
    switch = '{"type":"switch_model","model":{"provider":{"id":"p"},"id":"m"}}'
    os._exit(0 if handle(switch).startswith('{"type":"model_switched"') else 3)
deadline = time.monotonic() + 60
while os.waitpid(pid, os.WNOHANG) == (0, 0):
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        sys.exit("the forked child hangs on the core")
    time.sleep(0.01)
t.join()
print("ok")
"""


@needs_hooks
@pytest.mark.parametrize("which", ["global", "instance"])
def test_fork_while_a_command_runs_leaves_the_core_usable_in_the_child(tmp_path, which):
    check(run_script(FORK_DURING_COMMAND, which, tmp_path / "flag", hooks=True))


FORK_DURING_RUN = """
root = sys.argv[1]
result = []
# The input is larger than a pipe holds, so the run is still writing it when
# the process forks; the skill reads it only once `go` exists.
t = threading.Thread(target=lambda: result.append(
    d.runtime_run_skill_json(root, json.dumps("x" * (1 << 20)), 60)))
t.start()
wait_for(root + ".pid")
release_r, release_w = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(release_w)
    os.read(release_r, 1)  # lives until the parent's run is over
    os._exit(0)
os.close(release_r)
open(root + ".go", "w").close()
t.join()
os.close(release_w)
os.waitpid(pid, 0)
print(result[0])
"""


def test_fork_during_a_run_does_not_hold_the_skills_input_open(tmp_path):
    root = script_skill(tmp_path / "skill", read_input=False, body=textwrap.dedent(f"""\
        echo $$ > '{tmp_path}/skill.tmp' && mv '{tmp_path}/skill.tmp' '{tmp_path}/skill.pid'
        while [ ! -e '{tmp_path}/skill.go' ]; do sleep 0.01; done
        cat >/dev/null
        echo '{{"done": true}}'"""))
    check(run_script(FORK_DURING_RUN, root), '{"done":true}')


# ---- reset of a busy core --------------------------------------------------------

RESET_WHILE_BUSY = """
core = d.Core() if sys.argv[1] == "instance" else None
handle, reset = (core.handle_json, core.reset) if core else (d.handle_json, d.reset)
flag = sys.argv[2]
t = threading.Thread(target=handle, args=(sleep_command(3000, flag),))
t.start()
wait_for(flag)
state = {"resetting": False, "returned": False}
seen = []
def watch():
    # Runs only when reset() lets go of the interpreter while it waits. It
    # records the first time it finds reset() entered and not yet returned.
    while not state["returned"]:
        if state["resetting"]:
            seen.append(t.is_alive())
            return
        time.sleep(0.001)
watcher = threading.Thread(target=watch)
watcher.start()
state["resetting"] = True
reset()  # waits for the command above to finish
state["returned"] = True
watcher.join()
t.join()
print("ok" if seen == [True] else f"other threads were frozen while reset() waited: {seen}")
"""


@needs_hooks
@pytest.mark.parametrize("which", ["global", "instance"])
def test_reset_of_a_busy_core_lets_other_threads_run(tmp_path, which):
    check(run_script(RESET_WHILE_BUSY, which, tmp_path / "flag", hooks=True))


# ---- memory exhaustion -----------------------------------------------------------

OUT_OF_MEMORY = """
import resource
skill = json.dumps({"type": "save_skill", "skill": {
    "id": "big", "name": "Big", "source": "user", "read_only": False,
    "content": "x" * (200 << 20), "suggested_tools": []}})
values = "[" + "1," * (50 << 20) + "1]"
_, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as f:
    in_use = int(f.read().split()[0]) * resource.getpagesize()

def outcome(call):
    resource.setrlimit(resource.RLIMIT_AS, (in_use + (96 << 20), hard))
    try:
        call()
        return "returned"
    except MemoryError:
        return "MemoryError"
    except Exception as e:
        return "Exception: %r" % e
    except BaseException as e:
        return "internal fault" if type(e).__bases__ == (BaseException,) else repr(e)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))

core = d.Core()
print(outcome(lambda: d.runtime_run_skill_json("/nonexistent", values, 1)))
print(outcome(lambda: core.handle_json(skill)))
print(d.Core().handle_json('{"type":"switch_model","model":{"provider":{"id":"p"},"id":"m"}}')[:24])
"""


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than any limit")
def test_running_out_of_memory_raises_instead_of_aborting():
    result = run_script(OUT_OF_MEMORY)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    runtime, command, after = result.stdout.splitlines()
    assert runtime == "MemoryError"
    # The command may fail while the core's lock is held: then the core is
    # poisoned and the failure is the internal fault.
    assert command in ("MemoryError", "internal fault"), command
    assert after == '{"type":"model_switched"'


DECODE_OUT_OF_MEMORY = """
import resource
# A command of 40 MB whose value is one long string: it reads into about its
# own size, so it fits where a reservation of several times its size did not.
padded = json.dumps({"type": "switch_model", "model": {"provider": {"id": "p"}, "id": "m"},
                     "pad": "x" * (40 << 20)})
_, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as f:
    in_use = int(f.read().split()[0]) * resource.getpagesize()

def outcome(headroom_mb):
    resource.setrlimit(resource.RLIMIT_AS, (in_use + (headroom_mb << 20), hard))
    try:
        return core.handle_json(padded)[:24]
    except MemoryError:
        return "MemoryError"
    except BaseException as e:
        return type(e).__name__ + ": " + str(e)
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))

core = d.Core()
print(outcome(120))
print(outcome(16))  # too little even to copy the command
print(core.handle_json('{"type":"switch_model","model":{"provider":{"id":"q"},"id":"m"}}')[:24])
"""


@pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer reserves more address space than any limit")
def test_a_decode_out_of_memory_raises_memory_error_and_keeps_the_core():
    result = run_script(DECODE_OUT_OF_MEMORY)
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    assert result.stdout.splitlines() == ['{"type":"model_switched"', "MemoryError",
                                          '{"type":"model_switched"']


# ---- references to singletons ------------------------------------------------------

RESETS_AND_FORKS = """
import gc, os, sys
sys.path.insert(0, sys.argv[1])
import dovek_native as d
core = d.Core()
def tools():
    assert core.add_tool("t", print) is None
    assert core.remove_tool("t") is True and core.remove_tool("t") is False
def resets_and_forks(resets, forks):
    for _ in range(resets):
        assert d.reset() is None and core.reset() is None
    for _ in range(forks):
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
# Once first: the interpreter's first calls fill caches of its own (its
# specialised bytecode), which moves None's count by one. Garbage collected
# in the middle would release references of its own too.
resets_and_forks(1, 1)
gc.collect()
gc.disable()
before = sys.getrefcount(None)
resets_and_forks(10000, 200)
after = sys.getrefcount(None)
assert after >= before, f"None lost references to resets and forks: {before} -> {after}"
# Registering tools settles some of the interpreter's caches at first, which
# moves None's count by a few dozen; one reference lost per call would be
# 10,000.
for _ in range(1000):
    tools()
before = sys.getrefcount(None)
for _ in range(10000):
    tools()
after = sys.getrefcount(None)
assert after > before - 100, f"None lost references to tools: {before} -> {after}"
print("ok")
"""


@pytest.mark.parametrize("python", supported_interpreters())
def test_resets_and_forks_keep_the_reference_counts_of_none(python):
    module_dir = os.path.dirname(d_file())
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run([python, "-c", RESETS_AND_FORKS, module_dir], env=env,
                         capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, f"exit {out.returncode}\n{out.stdout}\n{out.stderr}"
    assert out.stdout.strip() == "ok", out.stdout + out.stderr


def d_file() -> str:
    import dovek_native
    return dovek_native.__file__


# ---- dropping a core -------------------------------------------------------------

DROP_WHILE_OTHERS_RUN = """
flag = sys.argv[1]
core = d.Core()
core.handle_json(json.dumps({"type": "save_skill", "skill": {
    "id": "__wait_on_drop__", "name": "W", "source": "user", "read_only": False,
    "content": flag, "suggested_tools": []}}))
dropping = threading.Event()
t = threading.Thread(target=lambda: dropping.wait(60) and open(flag, "w").close())
t.start()
dropping.set()
del core  # its store waits for the other thread to create the flag
t.join()
print(open(flag + ".done").read())
"""


@needs_hooks
def test_dropping_a_core_lets_other_threads_run(tmp_path):
    check(run_script(DROP_WHILE_OTHERS_RUN, tmp_path / "flag", hooks=True), "seen")
