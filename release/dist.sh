#!/usr/bin/env bash
# Builds the release artifacts into dist/: an sdist, and from that sdist a wheel for
# CPython 3.14 and one for the free-threaded 3.14t (python -m build --no-isolation, offline).
# The wheels are repaired to a manylinux tag with auditwheel when it can be had, then each is
# installed into a fresh virtual environment and release/smoke.py runs against it there.
#
# Usage: release/dist.sh
#   QERN_PY314, QERN_PY314T   the interpreters (default: ../shared/tools/cpython-3.14[t],
#                             else python3.14 / python3.14t on PATH)
#   QERN_DIST_REPAIR=0        keep the linux_x86_64 wheels, without trying auditwheel
# Work files and build logs go to build-dist/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
work=$root/build-dist
out=$root/dist
started=$SECONDS
[ $# = 0 ] || {
    echo "usage: release/dist.sh   (it takes no arguments; see its header for the environment)" >&2
    exit 2
}

say() { printf 'dist: %s\n' "$*" >&2; }
die() {
    say "$*"
    exit 1
}
elapsed() { printf '%dm%02ds' $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60)); }

# run LOG CMD...: the command's output goes to LOG; on failure its end is shown.
run() {
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        die "failed: $* (full log: ${log#"$root"/})"
    fi
}

# interpreter NAME TOOL FREE_THREADED: the path of a CPython 3.14 with build, pip and
# scikit-build-core, and the GIL enabled (0) or disabled (1) as asked.
interpreter() {
    local name=$1 tool=$2 ft=$3 py="" var=QERN_PY314
    [ "$ft" = 0 ] || var=QERN_PY314T
    if [ -n "${!var:-}" ]; then
        py=${!var}
    elif [ -x "$root/../shared/tools/$tool" ]; then
        py=$("$root/../shared/tools/$tool" --quiet | tail -n 1) || die "../shared/tools/$tool failed"
    else
        py=$(command -v "$name") || die "no $name: set $var to one"
    fi
    "$py" - "$ft" >&2 <<'PY' || die "$py cannot build the release (see above)"
import importlib.util, sys, sysconfig
want_ft = sys.argv[1] == "1"
problems = []
if sys.version_info[:2] != (3, 14):
    problems.append("it is Python %d.%d, not 3.14" % sys.version_info[:2])
if bool(sysconfig.get_config_var("Py_GIL_DISABLED")) != want_ft:
    problems.append("it is %s free-threaded build" % ("not a" if want_ft else "a"))
missing = [m for m in ("build", "pip", "scikit_build_core") if importlib.util.find_spec(m) is None]
if missing:
    problems.append("it cannot import " + ", ".join(missing))
for p in problems:
    print(f"dist: {sys.executable}: {p}", file=sys.stderr)
sys.exit(1 if problems else 0)
PY
    echo "$py"
}

# auditwheel_path: a PYTHONPATH under which $py314 imports auditwheel, or nothing. Debian 12
# has no auditwheel; Debian unstable packages it (python3-auditwheel, pure Python, with
# python3-pyelftools), the suite the CPython 3.14 tree comes from. Its two packages are
# unpacked once into build-dist/auditwheel, without touching the system's packages.
auditwheel_path() {
    if "$py314" -c 'import auditwheel' 2>/dev/null; then
        echo "${PYTHONPATH:-}"
        return
    fi
    local tree=$work/auditwheel site=$work/auditwheel/usr/lib/python3/dist-packages
    if [ ! -d "$site/auditwheel" ]; then
        if ! command -v apt-get >/dev/null || ! command -v dpkg-deb >/dev/null; then
            say "no apt-get here to fetch auditwheel with"
            return
        fi
        local mirror tmp
        mirror=$(sed -n 's|^URIs:[[:space:]]*\([^[:space:]]*/debian\)/\?$|\1|p' \
            /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
        [ -n "$mirror" ] || mirror=$(sed -n 's|^deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]*/debian\)[[:space:]].*|\2|p' \
            /etc/apt/sources.list 2>/dev/null | head -n 1)
        [ -n "$mirror" ] || {
            say "no Debian mirror in this machine's apt sources to fetch auditwheel from"
            return
        }
        tmp=$(mktemp -d)
        mkdir -p "$tmp/etc" "$tmp/lists/partial" "$tmp/debs"
        printf 'Types: deb\nURIs: %s\nSuites: sid\nComponents: main\nSigned-By: %s\n' \
            "$mirror" /usr/share/keyrings/debian-archive-keyring.gpg >"$tmp/etc/unstable.sources"
        local apt=(-o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$tmp/etc"
            -o Dir::State::Lists="$tmp/lists" -o Debug::NoLocking=1 -q)
        say "fetching python3-auditwheel and python3-pyelftools from Debian unstable"
        if apt-get "${apt[@]}" update >"$tmp/apt.log" 2>&1 &&
            (cd "$tmp/debs" && apt-get "${apt[@]}" download python3-auditwheel python3-pyelftools) >>"$tmp/apt.log" 2>&1; then
            rm -rf "$tree"
            local deb
            for deb in "$tmp"/debs/*.deb; do dpkg-deb -x "$deb" "$tree"; done
        else
            tail -n 5 "$tmp/apt.log" >&2
            say "could not fetch auditwheel from Debian unstable"
        fi
        rm -rf "$tmp"
    fi
    if [ -d "$site/auditwheel" ] && PYTHONPATH=$site "$py314" -c 'import auditwheel' 2>/dev/null; then
        echo "$site"
    fi
}

# needs ELF: the shared libraries a binary loads and the newest symbol version it needs
# from each family (the C library, libstdc++, its ABI, libgcc).
needs() {
    local libs versions
    libs=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | paste -sd ' ')
    versions=$(objdump -T "$1" | grep -oE '\((GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+\)' | tr -d '()' |
        sort -t_ -k1,1 -k2,2V | awk -F_ '{last[$1] = $0} END {for (f in last) print last[f]}' |
        sort | paste -sd ' ')
    printf 'loads %s; newest symbol versions %s' "$libs" "$versions"
}

py314=$(interpreter python3.14 cpython-3.14 0)
py314t=$(interpreter python3.14t cpython-3.14t 1)
version=$("$py314" -c 'import tomllib; print(tomllib.load(open("pyproject.toml", "rb"))["project"]["version"])')
tag314=cp314-cp314
# A free-threaded build keeps the interpreter tag cp314 and marks its ABI: cp314t. That is
# the pair pip looks for on 3.14t (packaging.tags.sys_tags()).
tag314t=cp314-cp314t
say "qern_native $version with $py314 and $py314t"

rm -rf "$work/out" "$work/repaired" "$work/logs" "$work"/venv-*
mkdir -p "$work/out" "$work/repaired" "$work/logs" "$out"
rm -f "$out"/qern_native-*
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1

# Without --sdist or --wheel, build makes the sdist and then the wheel from the unpacked
# sdist, so both wheels prove that the sdist alone builds the module.
say "sdist, and the 3.14 wheel built from it ($(elapsed))"
run "$work/logs/build-$tag314.log" "$py314" -m build --no-isolation --outdir "$work/out" .
sdist=$work/out/qern_native-$version.tar.gz
[ -f "$sdist" ] || die "no $sdist"
say "the 3.14t wheel, built from the sdist ($(elapsed))"
run "$work/logs/build-$tag314t.log" "$py314t" -m build --no-isolation --wheel --outdir "$work/out" "$sdist"

built=()
for tag in $tag314 $tag314t; do
    whl=$work/out/qern_native-$version-$tag-linux_x86_64.whl
    [ -f "$whl" ] || die "expected $(basename "$whl"), found: $(cd "$work/out" && ls)"
    built+=("$whl")
done
run "$work/logs/check-built.log" "$py314" release/check_artifacts.py --version "$version" \
    --sdist "$sdist" --wheel "${built[0]}" $tag314 --wheel "${built[1]}" $tag314t
grep '^check:' "$work/logs/check-built.log" >&2
for whl in "${built[@]}"; do
    so=$(mktemp -d)
    "$py314" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' "$whl" "$so"
    for elf in "$so"/qern_native.*.so "$so"/*.data/scripts/qern; do
        if [ -f "$elf" ]; then say "$(basename "$whl"): ${elf#"$so"/} $(needs "$elf")"; fi
    done
    rm -rf "$so"
done

final=("${built[@]}")
if [ "${QERN_DIST_REPAIR:-1}" = 0 ]; then
    say "QERN_DIST_REPAIR=0: the wheels keep the linux_x86_64 tag"
elif ! command -v patchelf >/dev/null; then
    say "no patchelf, which auditwheel needs: the wheels keep the linux_x86_64 tag"
else
    aw=$(auditwheel_path)
    if [ -z "$aw" ]; then
        say "no auditwheel: the wheels keep the linux_x86_64 tag"
    else
        say "auditwheel $(PYTHONPATH=$aw "$py314" -c 'from importlib.metadata import version; print(version("auditwheel"))'): repairing ($(elapsed))"
        final=()
        for whl in "${built[@]}"; do
            tag=$(basename "$whl" | cut -d- -f3-4)
            run "$work/logs/show-$tag.log" env PYTHONPATH="$aw" "$py314" -m auditwheel show "$whl"
            say "  $(tr '\n' ' ' <"$work/logs/show-$tag.log" | grep -oE 'consistent with the following platform tag: "[^"]*"')"
            run "$work/logs/repair-$tag.log" env PYTHONPATH="$aw" "$py314" -m auditwheel repair \
                --wheel-dir "$work/repaired/$tag" "$whl"
            repaired=("$work/repaired/$tag"/*.whl)
            if [ ${#repaired[@]} != 1 ] || [ ! -f "${repaired[0]}" ]; then
                die "auditwheel made no wheel for $tag"
            fi
            final+=("${repaired[0]}")
        done
        run "$work/logs/check-repaired.log" "$py314" release/check_artifacts.py --version "$version" \
            --wheel "${final[0]}" $tag314 --wheel "${final[1]}" $tag314t
        grep '^check:' "$work/logs/check-repaired.log" >&2
    fi
fi
cp "$sdist" "${final[@]}" "$out"/

# Each wheel goes into a fresh environment of its interpreter, and is tried from a
# directory outside the source tree. pip runs from the base interpreter (--python), so the
# environment holds nothing but the wheel.
for whl in "${final[@]}"; do
    whl=$out/$(basename "$whl")
    case $(basename "$whl") in
        *-$tag314t-*) py=$py314t tag=$tag314t ;;
        *) py=$py314 tag=$tag314 ;;
    esac
    say "smoke test of $(basename "$whl") ($(elapsed))"
    venv=$work/venv-$tag
    run "$work/logs/venv-$tag.log" "$py" -m venv --without-pip "$venv"
    run "$work/logs/install-$tag.log" "$py" -m pip --python "$venv/bin/python" install \
        --no-index --no-deps "$whl"
    here=$(mktemp -d)
    (cd "$here" && "$venv/bin/python" -I "$root/release/smoke.py" "$version") || die "smoke test failed for $(basename "$whl")"
    rm -rf "$here"
done

say "done in $(elapsed):"
for f in "$out"/qern_native-*; do
    printf 'dist:   %-62s %8d bytes\n' "dist/${f##*/}" "$(stat -c %s "$f")" >&2
done
