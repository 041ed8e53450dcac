#!/usr/bin/env python3
"""Runs a test program with DOVEK_TEST_POSTGRES_URL naming a PostgreSQL
server of its own (tests/python/pgserver.py), stopped when the program ends.
Without the server's binaries the program runs without the URL (its
PostgreSQL tests skip), unless DOVEK_REQUIRE_POSTGRES=1 (CI), where that is
an error.

    with_postgres.py PROGRAM [ARGS...]
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "python"))

import pgserver  # noqa: E402


def main(argv: list) -> int:
    bin_dir = pgserver.find_bin_dir()
    if bin_dir is None:
        if os.environ.get("DOVEK_REQUIRE_POSTGRES") == "1":
            print(pgserver.INSTALL_HINT, file=sys.stderr)
            return 1
        return subprocess.call(argv[1:])
    server = pgserver.Server(bin_dir)
    try:
        env = dict(os.environ, DOVEK_TEST_POSTGRES_URL=server.url())
        return subprocess.call(argv[1:], env=env)
    finally:
        server.close()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
