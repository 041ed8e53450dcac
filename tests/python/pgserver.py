"""A PostgreSQL server of our own for tests and benchmarks: Debian's
binaries, initdb into a temporary folder, listening only on a Unix socket in
that folder, stopped (and the folder removed) at the end. Run as root (CI),
the server runs as the `postgres` user, which PostgreSQL requires."""

import glob
import os
import pwd
import shutil
import subprocess
import tempfile

INSTALL_HINT = ("PostgreSQL's server is not installed: `apt-get install postgresql` "
                "(Debian; scripts/apt-packages.txt lists it)")


def _env():
    """The environment of the server's programs: without a sanitizer runtime
    preloaded for the module under test (scripts/test-asan.sh)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def find_bin_dir():
    """The newest /usr/lib/postgresql/<version>/bin with initdb, or None."""
    found = glob.glob("/usr/lib/postgresql/*/bin/initdb")
    found.sort(key=lambda p: int(p.split("/")[4]) if p.split("/")[4].isdigit() else 0)
    return os.path.dirname(found[-1]) if found else None


class Server:
    def __init__(self, bin_dir: str, fsync: bool = False):
        self.bin = bin_dir
        self.root = tempfile.mkdtemp(prefix="dovek-pg-")
        self.data = os.path.join(self.root, "data")
        self.log = os.path.join(self.root, "server.log")
        self.user = None
        if os.geteuid() == 0:
            self.user = pwd.getpwnam("postgres")
            os.chown(self.root, self.user.pw_uid, self.user.pw_gid)
        os.chmod(self.root, 0o755)
        self.options = (f"-c listen_addresses='' -c unix_socket_directories='{self.root}' "
                        f"-c fsync={'on' if fsync else 'off'} -c max_connections=60")
        self._run("initdb", "-D", self.data, "-A", "trust", "-U", "dovek", "-E", "UTF8",
                  "--no-sync", "--no-instructions")
        self.start()

    def _run(self, tool, *args, timeout=120):
        argv = [os.path.join(self.bin, tool), *args]
        if self.user is not None:
            argv = ["runuser", "-u", "postgres", "--", *argv]
        done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout, cwd=self.root,
                              env=_env())
        if done.returncode != 0:
            log = open(self.log).read() if os.path.exists(self.log) else ""
            raise RuntimeError(f"{tool} failed: {done.stdout}{done.stderr}{log}")

    def start(self):
        self._run("pg_ctl", "-D", self.data, "-l", self.log, "-o", self.options, "-w", "-t", "60",
                  "start")

    def stop(self, mode="fast"):
        self._run("pg_ctl", "-D", self.data, "-m", mode, "-w", "-t", "60", "stop")

    def restart(self):
        self._run("pg_ctl", "-D", self.data, "-l", self.log, "-o", self.options, "-m", "fast",
                  "-w", "-t", "60", "restart")

    def url(self, schema=None, **options) -> str:
        query = {"host": self.root, "user": "dovek"}
        if schema:
            query["schema"] = schema
        query.update(options)
        return "postgresql:///postgres?" + "&".join(f"{k}={v}" for k, v in query.items())

    def psql(self, sql: str, database="postgres") -> str:
        """Runs `sql` with psql as the server's superuser; returns its rows."""
        argv = [os.path.join(self.bin, "psql"), "-X", "-q", "-A", "-t", "-h", self.root,
                "-U", "dovek", "-d", database, "-v", "ON_ERROR_STOP=1", "-c", sql]
        done = subprocess.run(argv, capture_output=True, text=True, timeout=60, env=_env())
        if done.returncode != 0:
            raise RuntimeError(done.stderr)
        return done.stdout

    def close(self):
        try:
            self.stop("immediate")
        except Exception:
            pass
        shutil.rmtree(self.root, ignore_errors=True)
