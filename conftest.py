"""`python -m pytest` from this folder puts it first on sys.path, where the package lacks its
compiled modules after a regular install. The tests are for the installed package, so the folder
comes off sys.path again before any test imports the package (a build in place keeps it)."""
import importlib.util
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
if "plenx_metrics_plugin" not in sys.modules and not any((HERE / "plenx_metrics_plugin").rglob("*.so")):
    sys.path[:] = [entry for entry in sys.path if Path(entry or ".").resolve() != HERE]

if importlib.util.find_spec("plenx_metrics_plugin") is None:
    sys.exit("plenx_metrics_plugin is not installed: run pip install '.[test]' first, or bash scripts/test.sh")
