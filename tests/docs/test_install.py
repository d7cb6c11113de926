"""The versions the install guide and the README name are those the build requires."""

import re
import tomllib

from conftest import DOCS, ROOT

PYPROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))
CMAKE_MINIMUM = re.search(r"cmake_minimum_required\(VERSION ([0-9.]+)\)",
                          (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")).group(1)


def minimum(requirement, name):
    match = re.fullmatch(rf"{re.escape(name)}\s*>=\s*([0-9.]+)", requirement.strip())
    assert match, requirement
    return match.group(1)


def stated(text, name):
    """Every least version that `text` states for NAME: 'NAME 1.2 or later', 'NAME (1.2 and
    later'."""
    return re.findall(rf"{re.escape(name)}\W{{1,3}}([0-9]+\.[0-9]+)(?= or later| and later)",
                      text)


def test_the_guides_name_the_versions_the_build_requires():
    [backend] = PYPROJECT["build-system"]["requires"]
    required = {
        "scikit-build-core": minimum(backend, "scikit-build-core"),
        "CMake": minimum(PYPROJECT["tool"]["scikit-build"]["cmake"]["version"], ""),
        "Python": minimum(PYPROJECT["project"]["requires-python"], ""),
    }
    assert PYPROJECT["tool"]["scikit-build"]["minimum-version"] == required["scikit-build-core"]
    assert CMAKE_MINIMUM == required["CMake"]
    install = (DOCS / "install.rst").read_text(encoding="utf-8")
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    for name, version in required.items():
        assert stated(install, name), f"install.rst names no version of {name}"
        for where, text in (("install.rst", install), ("README.md", readme)):
            assert set(stated(text, name)) <= {version}, (where, name, stated(text, name))
