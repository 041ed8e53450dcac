"""The project's build backend: meson-python's, except that a wheel is
tagged for the oldest CPython the module serves.

The module is built on the limited API 3.11 (src/binding/meson.build), so
one file imports on every CPython from 3.11 on. meson-python tags an abi3
wheel with the interpreter that builds it (cp313-abi3 from a 3.13 venv),
which pip on 3.11 and 3.12 refuses; this backend renames the tag to
cp311-abi3 and rewrites the wheel's metadata to match. Standard library
only: it runs inside pip's isolated build environment.
"""

import base64
import hashlib
import os
import re
import zipfile

from mesonpy import (  # noqa: F401 (the hooks this backend passes through)
    build_editable,
    build_sdist,
    get_requires_for_build_editable,
    get_requires_for_build_sdist,
    get_requires_for_build_wheel,
)
from mesonpy import build_wheel as _mesonpy_build_wheel

PYTHON_TAG = "cp311"
_ABI3 = re.compile(r"-cp3\d+-abi3-")


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    name = _mesonpy_build_wheel(wheel_directory, config_settings, metadata_directory)
    return retag_abi3(wheel_directory, name)


def _record_hash(data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
    return "sha256=" + digest.decode()


def retag_abi3(directory: str, name: str) -> str:
    """Renames an abi3 wheel's python tag to PYTHON_TAG; returns the new name.
    Any other wheel is returned untouched."""
    new_name = _ABI3.sub(f"-{PYTHON_TAG}-abi3-", name, count=1)
    if new_name == name:  # not abi3, or tagged so already
        return name
    old_path = os.path.join(directory, name)
    new_path = os.path.join(directory, new_name)
    with zipfile.ZipFile(old_path) as src:
        dist_info = next(n.split("/")[0] for n in src.namelist() if ".dist-info/" in n)
        wheel_file, record_file = f"{dist_info}/WHEEL", f"{dist_info}/RECORD"
        wheel_text = src.read(wheel_file).decode()
        wheel_text = re.sub(r"(?m)^Tag: cp3\d+-abi3-", f"Tag: {PYTHON_TAG}-abi3-", wheel_text)
        wheel_data = wheel_text.encode()
        record = []
        for line in src.read(record_file).decode().splitlines():
            if line.startswith(wheel_file + ","):
                line = f"{wheel_file},{_record_hash(wheel_data)},{len(wheel_data)}"
            record.append(line)
        record_data = ("\n".join(record) + "\n").encode()
        with zipfile.ZipFile(new_path, "w", zipfile.ZIP_DEFLATED) as dst:
            for info in src.infolist():
                if info.filename == wheel_file:
                    dst.writestr(info, wheel_data)
                elif info.filename == record_file:
                    dst.writestr(info, record_data)
                else:
                    dst.writestr(info, src.read(info.filename))
    os.remove(old_path)
    return new_name
