"""What `import driftmoor` gives: the module object and its three functions."""

import importlib.util
import inspect
import sys

import pytest

import driftmoor

FUNCTIONS = {
    "calculate_hash": "(path)",
    "compare_hashes": "(hash_a, hash_b)",
    "calculate_directory_manifest": "(dir_path)",
}


def test_module_attributes():
    assert driftmoor.__doc__ == ""
    assert driftmoor.__all__ == list(FUNCTIONS)
    public = {name for name in vars(driftmoor) if not name.startswith("__")}
    assert public == set(FUNCTIONS)
    assert not hasattr(driftmoor, "PanicException")


@pytest.mark.parametrize("name, signature", FUNCTIONS.items())
def test_function_objects(name, signature):
    function = getattr(driftmoor, name)
    assert type(function).__name__ == "builtin_function_or_method"
    assert function.__name__ == function.__qualname__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ is None
    assert str(inspect.signature(function)) == signature
    assert all(
        p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is inspect.Parameter.empty
        for p in inspect.signature(function).parameters.values()
    )
    assert function.__module__ == driftmoor.__name__
    assert function.__self__ is None


def fresh_module(prepare=None):
    """Runs the exec step on a new module object, optionally prepared first."""
    spec = importlib.util.find_spec("driftmoor")
    module = importlib.util.module_from_spec(spec)
    if prepare:
        prepare(module)
    spec.loader.exec_module(module)
    return module


def test_reimport_builds_a_new_module():
    saved = sys.modules.pop("driftmoor")
    try:
        again = importlib.import_module("driftmoor")
        assert again is not saved
        assert again.__all__ == list(FUNCTIONS)
        assert again.compare_hashes is not saved.compare_hashes
        assert again.compare_hashes("x", "x") is True
    finally:
        sys.modules["driftmoor"] = saved


def test_exec_step_extends_an_existing_all():
    module = fresh_module(lambda m: setattr(m, "__all__", ["earlier"]))
    assert module.__all__ == ["earlier", *FUNCTIONS]


def test_exec_step_refuses_an_all_that_is_not_a_list():
    with pytest.raises(TypeError) as caught:
        fresh_module(lambda m: setattr(m, "__all__", ("earlier",)))
    assert str(caught.value) == "'tuple' object is not an instance of 'list'"


def test_functions_take_their_module_name_at_exec_time():
    def rename(module):
        module.__name__ = "renamed"

    module = fresh_module(rename)
    assert module.calculate_hash.__module__ == "renamed"
