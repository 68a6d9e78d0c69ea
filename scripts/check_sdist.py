"""Checks that a source distribution holds the project's sources and nothing a build leaves behind.

    python scripts/check_sdist.py dist/plenx_metrics_plugin-0.1.0.tar.gz [PROJECT_ROOT]

PROJECT_ROOT (default: this script's project) is the tree the sdist was made from: every C++ and
Python source of the package and of the glue, and every document in docs/, must be in the sdist.
"""
import sys
import tarfile
from pathlib import Path, PurePosixPath

ROOT = Path(__file__).resolve().parents[1]
TOP_FILES = ["pyproject.toml", "CMakeLists.txt", "README.md", "CHANGELOG.md", "PKG-INFO"]
# The README of the package index page points to docs/ in the sdist.
SOURCE_DIRS = ["glue", "plenx_metrics_plugin", "docs"]
SOURCE_SUFFIXES = {".cpp", ".hpp", ".in", ".py", ".pyi", ".typed", ".md"}
BUILT_DIRS = {"build", "dist", "wheelhouse", "__pycache__", ".pytest_cache", ".hypothesis", ".mypy_cache"}
BUILT_SUFFIXES = {".o", ".so", ".a", ".pyc", ".whl"}


def members(sdist):
    """The sdist's file names, relative to its top folder."""
    with tarfile.open(sdist) as archive:
        names = [PurePosixPath(m.name) for m in archive.getmembers() if not m.isdir()]
    tops = {name.parts[0] for name in names}
    if len(tops) != 1:
        raise ValueError(f"{sdist}: expected one top folder, found {sorted(tops)}")
    return {PurePosixPath(*name.parts[1:]) for name in names}


def built(name):
    return (any(part in BUILT_DIRS or part.startswith(".venv") or part.endswith(".egg-info") for part in name.parts)
            or name.suffix in BUILT_SUFFIXES)


def problems(sdist, root=ROOT):
    """What is wrong with the sdist, one line each; empty when it is right."""
    names = members(sdist)
    found = [f"built or local file: {name}" for name in sorted(names) if built(name)]
    required = {PurePosixPath(name) for name in TOP_FILES}
    for folder in SOURCE_DIRS:
        required |= {PurePosixPath(path.relative_to(root).as_posix()) for path in (Path(root) / folder).rglob("*")
                     if path.suffix in SOURCE_SUFFIXES and not built(PurePosixPath(path.relative_to(root).as_posix()))}
    found += [f"missing: {name}" for name in sorted(required - names)]
    return found


def main(argv):
    if not 1 <= len(argv) <= 2:
        sys.exit(__doc__)
    sdist, root = Path(argv[0]), Path(argv[1]) if len(argv) > 1 else ROOT
    found = problems(sdist, root)
    for line in found:
        print(f"{sdist.name}: {line}", file=sys.stderr)
    if found:
        sys.exit(1)
    print(f"{sdist.name}: {len(members(sdist))} files, sources only")


if __name__ == "__main__":
    main(sys.argv[1:])
