"""How each function binds its arguments and takes their text."""

import pathlib

import pytest

import driftmoor

calculate_hash = driftmoor.calculate_hash
compare_hashes = driftmoor.compare_hashes
calculate_directory_manifest = driftmoor.calculate_directory_manifest

BINDING_ERRORS = [
    (lambda: calculate_hash(), "calculate_hash() missing 1 required positional argument: 'path'"),
    (
        lambda: compare_hashes(),
        "compare_hashes() missing 2 required positional arguments: 'hash_a' and 'hash_b'",
    ),
    (lambda: compare_hashes("a"), "compare_hashes() missing 1 required positional argument: 'hash_b'"),
    (
        lambda: compare_hashes(hash_b="a"),
        "compare_hashes() missing 1 required positional argument: 'hash_a'",
    ),
    (
        lambda: calculate_directory_manifest(),
        "calculate_directory_manifest() missing 1 required positional argument: 'dir_path'",
    ),
    (
        lambda: calculate_hash("a", "b"),
        "calculate_hash() takes 1 positional arguments but 2 were given",
    ),
    (
        lambda: compare_hashes("a", "b", "c"),
        "compare_hashes() takes 2 positional arguments but 3 were given",
    ),
    # Too many positionals is reported before any keyword is looked at.
    (
        lambda: calculate_hash("a", "b", path="c"),
        "calculate_hash() takes 1 positional arguments but 2 were given",
    ),
    (lambda: calculate_hash("a", path="b"), "calculate_hash() got multiple values for argument 'path'"),
    (
        lambda: compare_hashes("a", hash_a="b"),
        "compare_hashes() got multiple values for argument 'hash_a'",
    ),
    (lambda: calculate_hash(p="x"), "calculate_hash() got an unexpected keyword argument 'p'"),
    (lambda: calculate_hash(PATH="x"), "calculate_hash() got an unexpected keyword argument 'PATH'"),
    # The first bad keyword ends binding, before the missing argument is noticed.
    (
        lambda: compare_hashes(hash_a="x", other="y"),
        "compare_hashes() got an unexpected keyword argument 'other'",
    ),
    # A keyword with no UTF-8 form is unexpected, shown with replacement characters.
    (
        lambda: calculate_hash(**{"pa\udc80th": "x"}),
        "calculate_hash() got an unexpected keyword argument 'pa\ufffd\ufffd\ufffdth'",
    ),
]


@pytest.mark.parametrize("call, message", BINDING_ERRORS)
def test_binding_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert str(caught.value) == message
    assert not hasattr(caught.value, "__notes__")


def test_arguments_bind_by_position_or_keyword_in_any_order():
    assert compare_hashes("x", "x") is True
    assert compare_hashes("x", hash_b="x") is True
    assert compare_hashes(hash_b="y", hash_a="x") is False
    assert compare_hashes(hash_b="x", hash_a="x") is True


class Text(str):
    pass


@pytest.mark.parametrize(
    "argument, message",
    [
        (b"x", "'bytes' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (7, "'int' object is not an instance of 'str'"),
        (pathlib.PurePosixPath("x"), "'PurePosixPath' object is not an instance of 'str'"),
        (bytearray(b"x"), "'bytearray' object is not an instance of 'str'"),
    ],
)
@pytest.mark.parametrize(
    "function, parameter",
    [(calculate_hash, "path"), (calculate_directory_manifest, "dir_path")],
)
def test_only_str_is_accepted(function, parameter, argument, message):
    with pytest.raises(TypeError) as caught:
        function(argument)
    assert str(caught.value) == message
    assert caught.value.__notes__ == [f"while processing '{parameter}'"]


def test_type_names_are_qualified():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as caught:
        compare_hashes(Outer.Inner(), "x")
    assert str(caught.value) == (
        "'test_type_names_are_qualified.<locals>.Outer.Inner' object is not an instance of 'str'"
    )


def test_text_without_utf8_form_keeps_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError) as caught:
        calculate_hash("\udc80")
    assert caught.value.__notes__ == ["while processing 'path'"]
    assert caught.value.reason == "surrogates not allowed"


def test_arguments_convert_in_parameter_order():
    with pytest.raises(TypeError) as caught:
        compare_hashes(1, 2)
    assert str(caught.value) == "'int' object is not an instance of 'str'"
    assert caught.value.__notes__ == ["while processing 'hash_a'"]

    with pytest.raises(TypeError) as caught:
        compare_hashes("a", 2)
    assert caught.value.__notes__ == ["while processing 'hash_b'"]

    with pytest.raises(UnicodeEncodeError) as caught:
        compare_hashes("a", "\ud800")
    assert caught.value.__notes__ == ["while processing 'hash_b'"]


def test_str_subclasses_and_nul_characters_pass_binding():
    assert compare_hashes(Text("abc"), "abc") is True
    assert compare_hashes("a\0b", "a\0b") is True
    assert compare_hashes("a\0b", "a\0c") is False


def test_bound_calls_reach_the_work(tmp_path):
    (tmp_path / "a").write_bytes(b"")
    assert list(calculate_directory_manifest(dir_path=Text(str(tmp_path)))) == [f"{tmp_path}/a"]
    with pytest.raises(FileNotFoundError):
        calculate_directory_manifest(Text("anything\0with a nul"))


def test_unexpected_keyword_that_cannot_be_shown(monkeypatch):
    class Unprintable(str):
        def __str__(self):
            raise RuntimeError("no text")

    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    with pytest.raises(TypeError) as caught:
        calculate_hash(**{Unprintable("p"): "x"})
    assert str(caught.value) == (
        "calculate_hash() got an unexpected keyword argument '<unprintable Unprintable object>'"
    )
    assert [u.exc_type for u in unraisable] == [RuntimeError]
