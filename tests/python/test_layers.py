"""The drawing of the code's includes and imports: each layer reaches only
layers drawn below it, never one above, and no two reach each other, so
that a call goes one way down and its result comes one way back."""

import ast
import re
from pathlib import Path

import pytest

TOP = Path(__file__).resolve().parents[2]

# The C++ folders of src/, top to bottom; folders on one row are beside each
# other and include neither the other.
SOURCE_LAYERS = [
    ["."],  # the module roots: lib.cpp, tree_lib.cpp
    ["binding"],
    ["manifest", "tree"],
    ["walk"],
    ["digest"],
    # Each implementation of the platform layer stands on its interface;
    # nothing but the implementation itself ever includes its headers.
    ["platform/linux", "platform/windows"],
    ["platform"],
    ["common"],
]
IMPLEMENTATIONS = ("platform/linux", "platform/windows")

# The command's package, top to bottom: a module may import only modules
# drawn after it.
PACKAGE_LAYERS = [
    "__main__", "__init__", "command", "parser", "version",
    "subcommands", "subcommands.manifest", "subcommands.check", "subcommands.diff",
    "api", "recording", "cluster", "cluster.session", "cluster.connect", "cluster.merge",
    "cluster.parts", "formats", "formats.json_object", "formats.parsed",
    "walk", "progress", "tree", "report",
    "reasons", "state", "json_text", "output", "names", "arguments",
]


def source_folder(path):
    folder = path.parent.relative_to(TOP / "src").as_posix()
    return folder if folder == "." or folder.startswith("platform/") else folder.split("/")[0]


def layer_of(folder):
    return next(row for row, folders in enumerate(SOURCE_LAYERS) if folder in folders)


def included_folder(include):
    parts = include.split("/")
    return "/".join(parts[:2]) if parts[0] == "platform" and len(parts) > 2 else parts[0]


def test_every_include_goes_down():
    upward = []
    for path in sorted((TOP / "src").rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        folder = source_folder(path)
        for include in re.findall(r'^#include "([^"]+)"', path.read_text(), re.MULTILINE):
            target = included_folder(include)
            if target != folder and (layer_of(target) <= layer_of(folder)
                                     or target in IMPLEMENTATIONS):
                upward.append(f"{path.relative_to(TOP)} includes {include}")
    assert upward == []


def imported_modules(path):
    """The driftmoor_cli modules the file imports, anywhere in it."""
    found = set()
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom) and node.module and node.level == 0:
            if node.module == "driftmoor_cli":
                found.update(alias.name for alias in node.names)
            elif node.module.startswith("driftmoor_cli."):
                found.add(node.module.removeprefix("driftmoor_cli."))
        elif isinstance(node, ast.Import):
            found.update(alias.name.removeprefix("driftmoor_cli.") for alias in node.names
                         if alias.name.startswith("driftmoor_cli."))
    # `from driftmoor_cli import main` is the package's own __init__.
    return {"__init__" if name == "main" else name for name in found}


def module_name(path):
    relative = path.relative_to(TOP / "python/driftmoor_cli").with_suffix("")
    name = ".".join(relative.parts)
    return name.removesuffix(".__init__") if name.endswith(".__init__") else name


@pytest.mark.parametrize("path", sorted((TOP / "python/driftmoor_cli").rglob("*.py")),
                         ids=lambda path: module_name(path))
def test_every_import_goes_down(path):
    name = module_name(path)
    assert name in PACKAGE_LAYERS, f"{name} is not drawn: add it to its layer"
    upward = [imported for imported in imported_modules(path)
              if PACKAGE_LAYERS.index(imported) <= PACKAGE_LAYERS.index(name)]
    assert upward == []
