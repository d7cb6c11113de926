#!/usr/bin/env bash
# The VS Code extension's steps: ./run.sh test | package
# Installs the npm packages from package-lock.json when they are missing or stale, then
# prints one line per step; a failing step prints its whole output.
set -euo pipefail
cd "$(dirname "$0")"

say() { printf 'vscode: %s\n' "$*"; }
die() { printf 'vscode: %s\n' "$*" >&2; exit 1; }

command -v node >/dev/null && command -v npm >/dev/null ||
    die "Node.js and npm are needed (Debian: apt-get install nodejs npm)"
node_major=$(node -p 'process.versions.node.split(".")[0]')

npm_quiet=(--no-audit --no-fund --loglevel=error)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# Runs a step with its output kept aside; on failure the output is shown.
step() {  # DESCRIPTION COMMAND...
    local what=$1; shift
    if ! "$@" >"$log" 2>&1 </dev/null; then
        cat "$log" >&2
        die "$what failed"
    fi
}

# node_modules is current when it was installed from this very lock file. Optional
# packages (vsce's keytar and signing binaries) and install scripts are left out: packaging
# needs neither, and they would try to download or compile native code.
ensure_packages() {
    local stamp=node_modules/.qern-lock-sha256 want
    want=$(node -e 'const c = require("crypto"), fs = require("fs");
        console.log(c.createHash("sha256").update(fs.readFileSync("package-lock.json")).digest("hex"))')
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
        return
    fi
    step "npm ci" npm ci "${npm_quiet[@]}" --omit=optional --ignore-scripts
    echo "$want" >"$stamp"
    say "npm packages installed from package-lock.json"
}

# The last number before the word in the output of a step ("# pass 12" or "12 passed").
count() { grep -Eo "$1" "$log" | grep -Eo '[0-9]+' | tail -n 1; }

cmd_test() {
    ensure_packages
    step "node tests" npm run --silent test:node
    local node_tests
    node_tests=$(count '^# pass [0-9]+')
    say "node tests (manifest, client, random lines): $node_tests passed"

    step "grammar unit tests" npm run --silent test:unit
    local units assertions
    units=$(ls test/unit/*.test.qrn | wc -l)
    assertions=$(cat test/unit/*.test.qrn | grep -Ec '^//\s*(\^|<)')
    say "grammar unit tests: $units files, $assertions assertions passed"

    step "grammar snapshots" npm run --silent test:snap
    local snaps
    snaps=$(ls test/snap/*.qrn | wc -l)
    say "grammar snapshots: $snaps files match"

    # A closing line that CI reads: test files and node tests.
    printf 'vscode: %d passed, 0 failed\n' $((node_tests + units + snaps))
}

cmd_package() {
    [ "$node_major" -ge 20 ] || die "packaging needs Node.js 20 or later (found $(node --version))"
    ensure_packages
    step "packaging" npm run --silent package
    say "$(tail -n 1 "$log")"
    local vsix
    vsix=$PWD/$(node -p 'const p = require("./package.json"); `${p.name}-${p.version}.vsix`')
    [ -f "$vsix" ] || die "packaging made no $vsix"
    say "the extension is $vsix; install it with: code --install-extension $vsix"
}

case "${1:-}" in
    test) cmd_test ;;
    package) cmd_package ;;
    *) echo "usage: editors/vscode/run.sh test | package" >&2; exit 2 ;;
esac
