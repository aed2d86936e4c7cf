"""The command's version: that of the installed distribution, or, run from a
checkout (where nothing is installed), the one its pyproject.toml names."""

from pathlib import Path

DISTRIBUTION = "driftmoor"
_PYPROJECT = Path(__file__).resolve().parents[2] / "pyproject.toml"


def version() -> str:
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed_version

    try:
        return installed_version(DISTRIBUTION)
    except PackageNotFoundError:
        pass
    try:
        import tomllib

        with _PYPROJECT.open("rb") as file:
            project = tomllib.load(file).get("project", {})
    except (OSError, ValueError):
        project = {}
    if project.get("name") == DISTRIBUTION and isinstance(project.get("version"), str):
        return str(project["version"])
    return "(version unknown)"
