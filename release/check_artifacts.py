"""Checks the release artifacts before anything installs them.

The sdist holds what building the module needs and nothing more; each wheel carries the
tags its interpreter needs, the extension module built for that interpreter, the stub
package and the licence, and a RECORD that matches its contents.

Usage: check_artifacts.py --version V [--sdist PATH] [--wheel PATH INTERPRETER-ABI]...
(INTERPRETER-ABI: cp314-cp314, or cp314-cp314t for the free-threaded build)
Exit status 1, with one line per fault, when anything is off.
"""

import argparse
import base64
import csv
import email.parser
import hashlib
import io
import re
import sys
import tarfile
import zipfile
from pathlib import Path

from packaging.utils import parse_sdist_filename, parse_wheel_filename

SDIST_TOP_LEVEL = {"CMakeLists.txt", "LICENSE", "PKG-INFO", "README.md", "pyproject.toml", "src"}
SDIST_REQUIRED = {
    "CMakeLists.txt",
    "LICENSE",
    "PKG-INFO",
    "README.md",
    "pyproject.toml",
    "src/python/CMakeLists.txt",
    "src/python/qern_native-stubs/__init__.pyi",
}
# A platform tag the wheel may carry: the build's own, or one auditwheel gave it.
PLATFORM = re.compile(r"linux_x86_64|manylinux_\d+_\d+_x86_64|manylinux(1|2010|2014)_x86_64")


def metadata(text):
    return email.parser.Parser().parsestr(text)


def check_metadata(where, text, version, faults):
    meta = metadata(text)
    expected = {"Name": "qern_native", "Version": version, "License-Expression": "MIT"}
    for field, value in expected.items():
        if meta.get(field) != value:
            faults.append(f"{where}: {field} is {meta.get(field)!r}, not {value!r}")
    if meta.get_all("License-File") != ["LICENSE"]:
        faults.append(f"{where}: License-File is {meta.get_all('License-File')!r}")


def check_sdist(path, version, faults):
    name, sdist_version = parse_sdist_filename(path.name)
    if (name, str(sdist_version)) != ("qern-native", version):
        faults.append(f"{path.name}: not the sdist of qern_native {version}")
    prefix = f"qern_native-{version}/"
    with tarfile.open(path) as tar:
        members = [m.name for m in tar.getmembers() if m.isfile()]
        outside = [m for m in members if not m.startswith(prefix)]
        if outside:
            faults.append(f"{path.name}: members outside {prefix}: {outside}")
        inside = {m[len(prefix):] for m in members if m.startswith(prefix)}
        extra = sorted({m.split("/")[0] for m in inside} - SDIST_TOP_LEVEL)
        if extra:
            faults.append(f"{path.name}: holds what no build needs: {extra}")
        missing = sorted(SDIST_REQUIRED - inside)
        if missing:
            faults.append(f"{path.name}: lacks {missing}")
        if "PKG-INFO" in inside:
            text = tar.extractfile(prefix + "PKG-INFO").read().decode()
            check_metadata(path.name, text, version, faults)
    print(f"check: {path.name}: {len(members)} files, top level "
          f"{sorted({m[len(prefix):].split('/')[0] for m in members})}")


def record_faults(wheel, dist_info):
    """Every file is in RECORD with its hash and size, and RECORD names no other file."""
    faults = []
    rows = list(csv.reader(io.StringIO(wheel.read(f"{dist_info}/RECORD").decode())))
    recorded = {row[0]: row for row in rows}
    names = {i.filename for i in wheel.infolist() if not i.is_dir()}
    for name in sorted(names - recorded.keys()):
        faults.append(f"{name} is not in RECORD")
    for name in sorted(recorded.keys() - names):
        faults.append(f"RECORD names {name}, which is not in the wheel")
    for name in sorted(names & recorded.keys()):
        _, digest, size = recorded[name]
        if name == f"{dist_info}/RECORD":
            continue
        data = wheel.read(name)
        algorithm, _, expected = digest.partition("=")
        actual = base64.urlsafe_b64encode(hashlib.new(algorithm, data).digest()).rstrip(b"=")
        if actual.decode() != expected or str(len(data)) != size:
            faults.append(f"{name} does not match its RECORD entry")
    return faults


def check_wheel(path, version, abi, faults):
    name, wheel_version, _, tags = parse_wheel_filename(path.name)
    where = path.name
    if (name, str(wheel_version)) != ("qern-native", version):
        faults.append(f"{where}: not a wheel of qern_native {version}")
    for tag in tags:
        if f"{tag.interpreter}-{tag.abi}" != abi:
            faults.append(f"{where}: tag {tag} is not for {abi}")
        if not PLATFORM.fullmatch(tag.platform):
            faults.append(f"{where}: platform tag {tag.platform} is not an x86_64 Linux one")
    dist_info = f"qern_native-{version}.dist-info"
    with zipfile.ZipFile(path) as wheel:
        names = sorted(i.filename for i in wheel.infolist() if not i.is_dir())
        wheel_meta = metadata(wheel.read(f"{dist_info}/WHEEL").decode())
        declared = sorted(wheel_meta.get_all("Tag") or [])
        if declared != sorted(str(t) for t in tags):
            faults.append(f"{where}: WHEEL declares {declared}, the name says {sorted(map(str, tags))}")
        if wheel_meta.get("Root-Is-Purelib") != "false":
            faults.append(f"{where}: Root-Is-Purelib is {wheel_meta.get('Root-Is-Purelib')!r}")
        check_metadata(where, wheel.read(f"{dist_info}/METADATA").decode(), version, faults)
        faults.extend(f"{where}: {fault}" for fault in record_faults(wheel, dist_info))

    # ABI cp314 -> cpython-314, cp314t -> cpython-314t: the suffix the interpreter loads.
    module = f"qern_native.cpython-{abi.split('-')[1][2:]}-x86_64-linux-gnu.so"
    expected = {
        module,
        "qern_native-stubs/__init__.pyi",
        f"{dist_info}/METADATA",
        f"{dist_info}/WHEEL",
        f"{dist_info}/RECORD",
        f"{dist_info}/licenses/LICENSE",
    }
    # The command-line program, where the build installs one.
    optional = {f"qern_native-{version}.data/scripts/qern"}
    missing = sorted(expected - set(names))
    if missing:
        faults.append(f"{where}: lacks {missing}")
    unexpected = sorted(set(names) - expected - optional)
    if unexpected:
        faults.append(f"{where}: holds unexpected files {unexpected}")
    print(f"check: {where}: tags {sorted(map(str, tags))}; files {names}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("--sdist", type=Path)
    parser.add_argument("--wheel", nargs=2, action="append", default=[],
                        metavar=("PATH", "ABI_TAG"))
    args = parser.parse_args()
    faults = []
    if args.sdist:
        check_sdist(args.sdist, args.version, faults)
    for path, abi in args.wheel:
        check_wheel(Path(path), args.version, abi, faults)
    for fault in faults:
        print(f"check: FAULT: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
