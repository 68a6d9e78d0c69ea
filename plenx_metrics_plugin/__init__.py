"""The metrics package: compiled drift statistics intervals and the foundation-model provider.

`__version__` is the installed distribution's version, read from its metadata on first use (the
version is written once, in pyproject.toml).
"""


def __getattr__(name):
    # Looked up only when asked for, so that importing the package reads no metadata.
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import PackageNotFoundError, version

    try:
        value = version(__name__)
    except PackageNotFoundError:
        raise AttributeError(f"{__name__} is not installed, so it has no version") from None
    globals()["__version__"] = value
    return value
