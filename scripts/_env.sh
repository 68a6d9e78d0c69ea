# Sourced by the scripts in this directory (not run on its own). It picks the Python interpreter,
# checks it against the one range of versions the package supports (`requires-python` in
# pyproject.toml), and makes or refreshes a virtual environment of it:
#
#   plenx_verified_pythons   the minor versions ([tool.plenx] verified-python) the fast build is
#                    verified on, one a line; any newer CPython gets the stable-ABI build
#   plenx_python     sets PY to a supported CPython: $PYTHON if set, else python3, else the first
#                    python3.N on PATH that fits; stops with one line if there is none
#   plenx_venv DIR   makes DIR a virtual environment of $PY with a recent enough pip (rebuilding a
#                    DIR made by another interpreter, or a broken one); sets VPY to the absolute
#                    path of its python
#   plenx_install_current DIR   installs the package into DIR unless DIR already holds the build
#                    of exactly these sources (a stamp in DIR says what it was built from)
#   plenx_stubtest PYTHON   checks the .pyi stubs against the package installed for PYTHON
#
# Messages go to stderr, prefixed with the name of the running script.

PLENX_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# pip 23.1 is the first to accept -C (--config-settings), which scripts/sanitize.sh passes.
PLENX_MIN_PIP=23.1

plenx_say() { echo "$(basename "$0"): $*" >&2; }
plenx_die() { plenx_say "$@"; exit 1; }

# The `requires-python` string of pyproject.toml, e.g. ">=3.11,<3.12".
plenx_requires_python() {
    local spec
    spec=$(sed -n 's/^[[:space:]]*requires-python[[:space:]]*=[[:space:]]*["'\'']\([^"'\'']*\)["'\''].*/\1/p' \
        "$PLENX_ROOT/pyproject.toml" | head -n 1)
    [ -n "$spec" ] || plenx_die "found no requires-python in $PLENX_ROOT/pyproject.toml"
    spec=${spec// /}
    [[ $spec =~ ^((~=|==|!=|\<=|\>=|\<|\>)[0-9]+(\.[0-9]+)*(\.\*)?,?)+$ ]] \
        || plenx_die "cannot read requires-python \"$spec\" (this script knows >=, >, <=, <, ==, !=, ~=)"
    echo "$spec"
}

plenx_verified_pythons() {
    local list
    list=$(sed -n 's/^[[:space:]]*verified-python[[:space:]]*=[[:space:]]*\[\(.*\)\].*/\1/p' \
        "$PLENX_ROOT/pyproject.toml" | head -n 1)
    [ -n "$list" ] || plenx_die "found no verified-python in $PLENX_ROOT/pyproject.toml"
    grep -oE '[0-9]+\.[0-9]+' <<< "$list"
}

# Sets the variable named $1 to version $2 ("3.11", "3.11.7", "23.2.1") as one comparable number
# (missing parts count as 0).
_plenx_vnum() {
    local major minor micro
    IFS=. read -r major minor micro _ <<< "$2"
    major=${major%%[!0-9]*} minor=${minor%%[!0-9]*} micro=${micro%%[!0-9]*}
    printf -v "$1" %d $(( 10#${major:-0} * 1000000 + 10#${minor:-0} * 1000 + 10#${micro:-0} ))
}

# Whether VERSION (x.y.z) satisfies SPEC: comma-separated clauses with >=, >, <=, <, ==, !=, ~=
# (== and != also as a prefix with .*), compared as PEP 440 compares final releases.
plenx_satisfies() {
    local version=$1 clause op target wild have want prefix
    local -a clauses
    IFS=, read -ra clauses <<< "$2"
    _plenx_vnum have "$version"
    for clause in "${clauses[@]}"; do
        [[ $clause =~ ^(~=|==|!=|\<=|\>=|\<|\>)([0-9]+(\.[0-9]+)*)(\.\*)?$ ]] || return 2
        op=${BASH_REMATCH[1]} target=${BASH_REMATCH[2]} wild=${BASH_REMATCH[4]}
        _plenx_vnum want "$target"
        if [ -n "$wild" ] || [ "$op" = "~=" ]; then
            prefix=$target
            [ "$op" = "~=" ] && prefix=${target%.*}
            case "$version." in "$prefix".*) wild=match ;; *) wild=differs ;; esac
        fi
        case "$op" in
            ">=") (( have >= want )) ;;
            ">") (( have > want )) ;;
            "<=") (( have <= want )) ;;
            "<") (( have < want )) ;;
            "~=") (( have >= want )) && [ "$wild" = match ] ;;
            "==") if [ -n "$wild" ]; then [ "$wild" = match ]; else (( have == want )); fi ;;
            "!=") if [ -n "$wild" ]; then [ "$wild" = differs ]; else (( have != want )); fi ;;
        esac || return 1
    done
}

# The supported minor versions (3.N), one a line, oldest first.
plenx_supported_minors() {
    local spec=$1 minor micro clause z
    # Within a minor version the answer changes only next to a release that requires-python names.
    local -a micros=(0 99)
    for clause in ${spec//,/ }; do
        if [[ $clause =~ [0-9]+\.[0-9]+\.([0-9]+) ]]; then
            z=$(( 10#${BASH_REMATCH[1]} ))
            micros+=($(( z > 0 ? z - 1 : 0 )) "$z" $(( z + 1 )))
        fi
    done
    for minor in $(seq 0 99); do
        for micro in "${micros[@]}"; do
            if plenx_satisfies "3.$minor.$micro" "$spec"; then
                echo "3.$minor"
                break
            fi
        done
    done
}

# The supported range in words: "3.11", "3.11 to 3.13", "3.11 or newer", "3.11.4 to 3.12", or
# a list where the range has a gap ("3.10, 3.12").
plenx_range_text() {
    local spec=$1 low high
    local -a minors
    mapfile -t minors < <(plenx_supported_minors "$spec")
    [ "${#minors[@]}" -gt 0 ] || plenx_die "no CPython 3 version satisfies requires-python $spec"
    low=${minors[0]} high=${minors[-1]}
    if (( ${high#3.} - ${low#3.} + 1 != ${#minors[@]} )); then
        local IFS=,
        echo "${minors[*]}" | sed 's/,/, /g'
        return
    fi
    # Name the first and last release when the range starts or ends inside a minor version.
    local first_micro last_micro
    for first_micro in $(seq 0 99); do
        plenx_satisfies "$low.$first_micro" "$spec" && break
    done
    for last_micro in $(seq 99 -1 0); do
        plenx_satisfies "$high.$last_micro" "$spec" && break
    done
    [ "$first_micro" = 0 ] || low="$low.$first_micro"
    if [ "$last_micro" = 99 ] && [ "$high" = 3.99 ]; then
        echo "$low or newer"
    elif [ "$last_micro" = 99 ] && [ "${#minors[@]}" = 1 ]; then
        [ "$first_micro" = 0 ] && echo "$low" || echo "$low or a later $high"
    else
        [ "$last_micro" = 99 ] || high="$high.$last_micro"
        [ "$low" = "$high" ] && echo "$low" || echo "$low to $high"
    fi
}

# "IMPLEMENTATION X.Y.Z EXECUTABLE" of an interpreter (any Python, 2.7 included), or failure.
plenx_identify() {
    "$1" -c 'import platform, sys
sys.stdout.write("%s %d.%d.%d %s\n" % ((platform.python_implementation(),) + tuple(sys.version_info[:3]) + (sys.executable,)))' \
        2>/dev/null
}

plenx_python() {
    local spec range candidate info impl version exe first=""
    local -a candidates
    spec=$(plenx_requires_python) || exit
    range=$(plenx_range_text "$spec") || exit
    if [ -n "${PYTHON:-}" ]; then
        candidates=("$PYTHON")
    else
        candidates=(python3)
        for candidate in $(plenx_supported_minors "$spec" | sort -t. -k2,2nr); do
            command -v "python$candidate" >/dev/null && candidates+=("python$candidate")
        done
    fi
    for candidate in "${candidates[@]}"; do
        if info=$(plenx_identify "$candidate") && [ -n "$info" ]; then
            read -r impl version exe <<< "$info"
            [ -n "$exe" ] || exe=$(command -v "$candidate")
            if [ "$impl" = CPython ] && plenx_satisfies "$version" "$spec"; then
                [ -z "$first" ] || plenx_say "using $candidate (CPython $version): ${candidates[0]} is $first"
                PY=$exe
                PY_VERSION=$version
                return 0
            fi
            [ -n "$first" ] || first="$impl $version ($exe)"
        else
            [ -n "$first" ] || first="not runnable"
        fi
    done
    if [ -n "${PYTHON:-}" ]; then
        [ "$first" = "not runnable" ] && plenx_die "needs CPython $range; cannot run PYTHON=$PYTHON; set PYTHON to a CPython $range interpreter"
        plenx_die "needs CPython $range; found $first; set PYTHON to a CPython $range interpreter"
    fi
    [ "$first" = "not runnable" ] && first="python3 does not run" || first="found $first"
    plenx_die "needs CPython $range; $first and no python3.N on PATH fits; set PYTHON to a CPython $range interpreter"
}

# What a virtual environment must share with $PY: implementation, version and base installation.
_plenx_venv_identity() {
    "$1" -c 'import os, platform, sys
print("%s %s|%s" % (platform.python_implementation(), platform.python_version(), os.path.realpath(sys.base_prefix)))' \
        2>/dev/null
}

plenx_venv() {
    local dir=$1 want have pip_version="" pip_num min_num
    want=$(_plenx_venv_identity "$PY") || plenx_die "cannot run $PY"
    if [ -e "$dir" ] || [ -L "$dir" ]; then
        if [ -d "$dir" ] && [ ! -e "$dir/pyvenv.cfg" ] && [ -n "$(ls -A "$dir")" ]; then
            plenx_die "$dir is not a virtual environment; move it away and run again"
        fi
        if ! have=$(_plenx_venv_identity "$dir/bin/python") || [ -z "$have" ]; then
            plenx_say "rebuilding $dir: its python does not run"
            rm -rf "$dir"
        elif [ "$have" != "$want" ]; then
            plenx_say "rebuilding $dir: it was made by ${have%%|*} (${have#*|}), not ${want%%|*} (${want#*|})"
            rm -rf "$dir"
        elif ! pip_version=$("$dir/bin/python" -m pip --version 2>/dev/null); then
            plenx_say "rebuilding $dir: its pip does not run"
            pip_version=""
            rm -rf "$dir"
        fi
    fi
    if [ ! -e "$dir" ]; then
        if ! "$PY" -m venv "$dir" >&2; then
            rm -rf "$dir"
            plenx_die "could not make $dir with $PY (on Debian: apt install python3-venv)"
        fi
    fi
    VPY="$(cd "$dir" && pwd)/bin/python"
    # Asked once only (pip takes a while to start): a kept environment has answered above.
    [ -n "$pip_version" ] || pip_version=$("$VPY" -m pip --version)
    pip_version=$(cut -d' ' -f2 <<< "$pip_version")
    _plenx_vnum pip_num "$pip_version"
    _plenx_vnum min_num "$PLENX_MIN_PIP"
    if (( pip_num < min_num )); then
        plenx_say "upgrading pip $pip_version in $dir"
        "$VPY" -m pip install --quiet --disable-pip-version-check --upgrade "pip>=$PLENX_MIN_PIP"
    fi
}

# The stubs must describe the compiled modules as installed. Runs from an empty directory, so that
# mypy too reads the installed package (and leaves its cache there, not in the tree).
plenx_stubtest() {
    local python=$1 away rc=0
    away=$(mktemp -d)
    (cd "$away" && "$python" -P -m mypy.stubtest \
        plenx_metrics_plugin.metrics.drift_v2.entity.statistics.interval \
        plenx_metrics_plugin.metrics.llm.common.model_providers.plenx_auvrix_ai_provider \
        plenx_metrics_plugin.common.utils.python_utils plenx_metrics_plugin.metrics.drift_v2.utils.constants \
        plenx_metrics_plugin.metrics.drift_v2.utils.control_box plenx_metrics_plugin.metrics.llm.utils.constants) \
        || rc=$?
    rm -rf "$away"
    return "$rc"
}

# The inputs of a build as one hash: the content of every file that goes into it (found by walking
# the tree, so that it works without git too) and the build settings in the environment.
plenx_source_hash() {
    {
        (cd "$PLENX_ROOT" && find pyproject.toml CMakeLists.txt README.md glue plenx_metrics_plugin \
            -type f ! -path '*/__pycache__/*' ! -name '*.pyc' ! -name '*.so' -print0 |
            LC_ALL=C sort -z | xargs -0 sha256sum)
        env | LC_ALL=C sort | grep -E '^(PLENX_|SKBUILD|CMAKE_|CC=|CXX=|CFLAGS=|CXXFLAGS=|LDFLAGS=)' |
            grep -v '^PLENX_GLUE_SHORTCUTS=' || true
    } | sha256sum | cut -d' ' -f1
}

# The hash of the record pip keeps of the package's files installed in virtual environment DIR,
# so that a build installed there by other means is noticed; nothing when it is not installed.
plenx_installed_hash() {
    local record
    record=$(compgen -G "$1/lib/python3*/site-packages/plenx_metrics_plugin-*.dist-info/RECORD" | head -n 1) \
        || return 0
    sha256sum < "$record" | cut -d' ' -f1
}

# Installs the package from the tree into virtual environment DIR (python VPY) unless the build
# installed there is of exactly these sources: DIR keeps a stamp of the sources' hash it was
# built from and of what was installed.
plenx_install_current() {
    local dir=$1 stamp="$1/.plenx-build-stamp" sources installed
    sources=$(plenx_source_hash)
    installed=$(plenx_installed_hash "$dir")
    if [ -n "$installed" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$sources $installed" ]; then
        plenx_say "$dir has the build of these sources; not reinstalling"
        return 0
    fi
    rm -f "$stamp"
    "$VPY" -m pip install --quiet --disable-pip-version-check "$PLENX_ROOT"
    # The hash taken before building: a source changed meanwhile makes the next run build again.
    echo "$sources $(plenx_installed_hash "$dir")" > "$stamp"
}
