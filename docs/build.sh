#!/usr/bin/env bash
# Builds the documentation site: the physics unit table from the code's own table, the HTML
# into build/docs/html with warnings as errors, then every example of the pages as a
# doctest against a freshly built module.
# Usage: docs/build.sh            (./dev docs installs what it needs first)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Debian's Sphinx runs on Debian's interpreter; the module is built for that one.
py=/usr/bin/python3
out=build/docs
jobs=$(nproc 2>/dev/null || echo 2)

say() { printf 'docs: %s\n' "$*" >&2; }
if ! "$py" -c 'import sphinx, furo' 2>/dev/null; then
    say "Sphinx and Furo are missing: sudo apt-get install -y python3-sphinx furo"
    exit 1
fi

# The module and the unit-table program; the qern command is not run by any example yet.
cmake -S . -B build-docs-py -G Ninja -DCMAKE_BUILD_TYPE=Release -DQERN_BUILD_PYTHON=ON \
    -DQERN_BUILD_TESTS=OFF -DQERN_BUILD_CLI=OFF -DQERN_BUILD_DOCS=ON \
    -DPython_EXECUTABLE="$py" >/dev/null
cmake --build build-docs-py -j "$jobs" | { grep -v '^\[[0-9]*/[0-9]*\] ' || true; }

mkdir -p "$out"
build-docs-py/docs/tools/qern_unit_table >"$out/units.tsv.new"
mv "$out/units.tsv.new" "$out/units.tsv"
export QERN_UNIT_TABLE=$root/$out/units.tsv

sphinx=("$py" -m sphinx -W --keep-going -n -q -E -d "$out/doctrees")
say "HTML into $out/html"
"${sphinx[@]}" -b html docs "$out/html"
say "running the examples"
status=0
PYTHONPATH="$root/build-docs-py/python${PYTHONPATH:+:$PYTHONPATH}" \
    "${sphinx[@]}" -b doctest docs "$out/doctest" || status=$?
# The doctest builder's summary: how many examples ran, and how many failed.
sed -n '/^Doctest summary/,$p' "$out/doctest/output.txt" | sed 's/^/docs: /' >&2
exit $status
