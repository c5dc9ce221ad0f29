"""Python helpers around the kovra_backends extension module."""

from importlib import metadata as _metadata
from pathlib import Path as _Path


def _version():
    """The installed distribution's version; in a source checkout that was
    never installed, the one pyproject.toml declares."""
    try:
        return _metadata.version("kovra_backends")
    except _metadata.PackageNotFoundError:
        pass
    import tomllib

    try:
        with open(_Path(__file__).resolve().parents[2] / "pyproject.toml", "rb") as f:
            return tomllib.load(f)["project"]["version"]
    except (OSError, KeyError, tomllib.TOMLDecodeError):
        return "unknown"


__version__ = _version()
