#!/usr/bin/env bash
# Runs every test on every verified interpreter (this is what CI runs): each of verified-python in
# pyproject.toml (CPython 3.11, 3.12 and 3.13), the first once more with every shortcut of the glue
# turned off, and one stable-ABI wheel on 3.12 and 3.13 (noxfile.py). Each builds and installs the
# package in an environment of its own and runs the whole suite, then stubtest.
# Arguments go to pytest. PYTHON=/path/to/python picks the interpreter that runs nox.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/_env.sh
# nox finds each interpreter as python3.N; with pyenv, make the newest of each verified one
# answer to that name (the first, for plain python3, stays the newest of the oldest).
if [ -z "${PYENV_VERSION:-}" ] && command -v pyenv >/dev/null 2>&1; then
    verified=$(plenx_verified_pythons | sed 's/\./\\./' | paste -sd'|' -)
    PYENV_VERSION=$(pyenv versions --bare 2>/dev/null | grep -E "^($verified)\.[0-9]+\$" | sort -V |
        awk -F. '{newest[$1"."$2] = $0} END {for (v in newest) print newest[v]}' | sort -V | paste -sd: -)
    [ -n "$PYENV_VERSION" ] && export PYENV_VERSION
fi
plenx_python
plenx_venv .venv
"$VPY" -m pip install --quiet --disable-pip-version-check nox
exec "$VPY" -m nox -- "$@"
