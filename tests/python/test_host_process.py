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


def sleeping_skill(root: Path) -> Path:
    """Writes its pid to `pid` beside its root, then sleeps far past any test."""
    return script_skill(root, f"echo $$ > '{root}.tmp' && mv '{root}.tmp' '{root}.pid'\nexec sleep 600")


# ---- interpreter exit with a daemon thread inside the module -------------------

EXIT_WITH_DAEMON = """
import gc

class WaitForDaemonThreads:
    # Collected while the interpreter finalizes (see below): a daemon thread
    # that comes back from the module then is ended by the interpreter with a
    # forced unwind. Module globals may be gone by then: bind what it uses.
    def __del__(self, listdir=os.listdir, sleep=time.sleep, monotonic=time.monotonic):
        deadline = monotonic() + 60
        while len(listdir("/proc/self/task")) > 1 and monotonic() < deadline:
            sleep(0.01)

kind, path, keep = sys.argv[1], sys.argv[2], sys.argv[3] == "wait"
if keep:
    # Cyclic garbage with the collector off: collected only by the collection
    # the interpreter runs once daemon threads can no longer come back.
    gc.disable()
    keeper = WaitForDaemonThreads()
    keeper.cycle = keeper
    del keeper
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
