"""Random calls of the three functions, checked against a plain-Python model.

Each call mixes positional and keyword arguments of any count, objects of many
types (None, numbers, bytes, path objects, objects whose __fspath__ raises or
returns odd things, str subclasses that override everything), keyword names
that match nothing or have no UTF-8 form, and path texts with NULs, lone
surrogates, doubled and trailing separators. Paths are relative to, or inside,
a small tree made for the module, so every call returns quickly. The model
says what each call must do: return a given value, or raise TypeError or
UnicodeEncodeError (with the argument's note where one belongs) or one given
OSError class with the text " (os error N)"; anything else fails, a
SystemError or PanicException above all.

DRIFTMOOR_FUZZ_CASES sets the number of calls per function (default 200).
"""

import contextlib
import hashlib
import os
import pathlib
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import driftmoor
from python_walker import python_walker

CASES = int(os.environ.get("DRIFTMOOR_FUZZ_CASES", "200"))
FUZZ = settings(
    max_examples=CASES,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

NUL_MESSAGE = "strings passed to WinAPI cannot contain NULs"
MISSING_DIRECTORY = "The specified directory does not exist"

PARAMETERS = {
    "calculate_hash": ("path",),
    "compare_hashes": ("hash_a", "hash_b"),
    "calculate_directory_manifest": ("dir_path",),
}

TREE_FILES = {
    b"a.txt": b"alpha\n",
    b"empty": b"",
    b"back\\slash": b"backslash",
    "caf\u00e9.txt".encode(): b"cafe",
    b"line\nfeed": b"line feed",
    b"\xff.bin": b"no UTF-8 name",
    b"sub/b.txt": bytes(range(256)) * 300,  # more than one read
    b"sub/deeper/c.bin": b"c",
}
TREE_NAMES = [
    "a.txt", "empty", "back\\slash", "caf\u00e9.txt", "line\nfeed", "\udcff.bin", "sub",
    "b.txt", "deeper", "c.bin", "link_a", "link_sub", "dangling", "empty_dir", "missing", ".", "",
]


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    root = tmp_path_factory.mktemp("fuzz")
    for relative, content in TREE_FILES.items():
        path = os.path.join(bytes(root), relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as file:
            file.write(content)
    (root / "empty_dir").mkdir()
    (root / "link_a").symlink_to("a.txt")
    (root / "link_sub").symlink_to("sub")
    (root / "dangling").symlink_to("missing")
    return root


# --- Objects passed as arguments -------------------------------------------

FSPATH_CALLS = []


class FsPath:
    """os.PathLike: the module must refuse it without asking for its path."""

    def __init__(self, result):
        self.result = result

    def __fspath__(self):
        FSPATH_CALLS.append(self)
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Text(str):
    """A str whose every Python-level method lies or raises; the module must
    use its characters all the same."""

    def __str__(self):
        raise RuntimeError("__str__ called")

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__

    def __len__(self):
        return 0

    def __fspath__(self):
        raise RuntimeError("__fspath__ called")

    def encode(self, *args, **kwargs):
        raise RuntimeError("encode called")


class KeywordName(str):
    """A keyword name that cannot be shown: str() of it raises."""

    def __str__(self):
        raise RuntimeError("__str__ called")


class PosingAsStr:
    """isinstance() says str, the object's real type says otherwise."""

    __class__ = property(lambda self: str)


class UnprintableTypeName:
    def __repr__(self):
        return "UnprintableTypeName()"


UnprintableTypeName.__qualname__ = "Unprintable\udcff"

ODD_OBJECTS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(allow_nan=False),
    st.binary(max_size=8),
    st.binary(max_size=8).map(bytearray),
    st.sampled_from(["a.txt", "sub", ""]).map(pathlib.PurePosixPath),
    st.sampled_from(["a.txt", "sub"]).map(pathlib.Path),
    st.sampled_from(["a.txt", b"a.txt", 3, None, RuntimeError("no path"), Text("a.txt")]).map(
        FsPath
    ),
    st.sampled_from([PosingAsStr(), UnprintableTypeName(), object()]),
)

# Characters of any kind, lone surrogates and NULs included, but never "/":
# a path is only ever built from components joined by the strategy below.
CHARACTERS = st.one_of(
    st.characters(exclude_categories=(), exclude_characters="/"),
    st.sampled_from(["\0", "\ud800", "\udcff", "\udfff", "\\", "\n", "\u00e9", "\U0001f600"]),
)
COMPONENTS = st.one_of(
    st.sampled_from(TREE_NAMES + ["x" * 300]),  # the last is longer than a name may be
    st.sampled_from(TREE_NAMES),
    st.text(CHARACTERS, max_size=12).filter(lambda name: name != ".."),
    # A name of the tree spoiled by a NUL or a lone surrogate.
    st.tuples(st.sampled_from(TREE_NAMES), st.sampled_from(["\0", "\ud800", "\udfff"])).map(
        "".join
    ),
)


@st.composite
def path_texts(draw, root):
    """A path relative to the tree's root (the working directory of the
    call) or inside it by its absolute path; never outside it."""
    parts = draw(st.lists(COMPONENTS, max_size=4))
    separators = [draw(st.sampled_from(["/", "//"])) for _ in parts[1:]]
    text = parts[0] if parts else ""
    for separator, part in zip(separators, parts[1:]):
        text += separator + part
    if draw(st.booleans()):
        text += "/"
    prefix = draw(st.sampled_from(["", "", "./", str(root) + "/"]))
    if prefix == "" and text.startswith("/"):
        prefix = "."  # an empty first component must not make it absolute
    return prefix + text


def texts(root, function):
    if function == "compare_hashes":
        digest = hashlib.sha256(b"driftmoor").hexdigest()
        written = st.one_of(
            st.sampled_from([digest, digest.upper(), digest + "\n", ""]),
            # One character replaced, sometimes by itself.
            st.integers(0, 63).map(lambda i: digest[:i] + "05af"[i % 4] + digest[i + 1 :]),
            st.text(CHARACTERS, max_size=70),
        )
    else:
        files = ["a.txt", "empty", "sub/b.txt", "link_a", "link_sub//deeper/c.bin", "caf\u00e9.txt"]
        written = st.one_of(path_texts(root), st.sampled_from(files + [f"{root}/{f}" for f in files]))
    return st.one_of(written, written.map(Text))


def argument_values(root, function):
    return st.one_of(texts(root, function), texts(root, function), texts(root, function),
                     ODD_OBJECTS)


def keyword_names(function):
    return st.one_of(
        st.sampled_from(PARAMETERS[function]),
        st.sampled_from(["path", "dir_path", "hash_a", "hash_b", "PATH", "x", "", "pa\udc80th"]),
        st.sampled_from(PARAMETERS[function]).map(KeywordName),
        st.sampled_from(["nope", "pa\udc80th"]).map(KeywordName),
    )


@st.composite
def calls(draw, root, function):
    """Positional arguments and keywords: a third of the time any mix, else
    a mix that binds (each parameter once, the first ones by position), so
    that the bodies run often enough."""
    values = argument_values(root, function)
    parameters = PARAMETERS[function]
    if draw(st.integers(0, 2)) == 0:
        positional = draw(st.lists(values, max_size=3))
        names = draw(st.lists(keyword_names(function), max_size=3, unique=True))
        return positional, {name: draw(values) for name in names}
    arguments = [draw(values) for _ in parameters]
    if function == "compare_hashes" and issubclass(type(arguments[0]), str) and draw(st.booleans()):
        # The same text in another object, so that True comes up often.
        arguments[1] = draw(st.sampled_from([str, Text]))("".join(list(plain(arguments[0]))))
    by_position = draw(st.integers(0, len(parameters)))
    by_keyword = draw(st.permutations(range(by_position, len(parameters))))
    name_type = draw(st.sampled_from([str, KeywordName]))
    keywords = {name_type(parameters[i]): arguments[i] for i in by_keyword}
    return arguments[:by_position], keywords


# --- The model ---------------------------------------------------------------


class Raises:
    def __init__(self, kind, message=None, note=None):
        self.kind, self.message, self.note = kind, message, note

    def __repr__(self):
        return f"Raises({self.kind.__name__}, {self.message!r}, note={self.note!r})"


def plain(text):
    """The characters of a str or str subclass, as an exact str, whatever the
    subclass overrides."""
    return str.__str__(text)


def utf8(text):
    try:
        return plain(text).encode()
    except UnicodeEncodeError:
        return None


def bind(parameters, positional, keywords):
    """The bound argument objects in parameter order, or the binding error."""
    if len(positional) > len(parameters):
        return Raises(TypeError)
    slots = dict(zip(parameters, positional))
    for name, value in keywords.items():
        match = next((p for p in parameters if p.encode() == utf8(name)), None)
        if match is None or match in slots:
            return Raises(TypeError)
        slots[match] = value
    if len(slots) < len(parameters):
        return Raises(TypeError)
    return [slots[p] for p in parameters]


def conversion_error(parameter, value):
    """The exception taking the text of `value` raises, or None."""
    note = f"while processing '{parameter}'"
    if not issubclass(type(value), str):
        if value is None:
            return Raises(TypeError, "'None' is not an instance of 'str'", note)
        name = type(value).__qualname__
        if utf8(name) is None:
            name = "<failed to extract type name>"
        return Raises(TypeError, f"'{name}' object is not an instance of 'str'", note)
    if utf8(value) is None:
        return Raises(UnicodeEncodeError, None, note)
    return None


def os_error_like(error):
    """What the module raises for the error Python's own call raised."""
    return Raises(type(error), f"{os.strerror(error.errno)} (os error {error.errno})")


def file_digest(path):
    with open(path, "rb") as file:
        return hashlib.sha256(file.read()).hexdigest()


def hash_model(path):
    if "\0" in path:
        return Raises(OSError, NUL_MESSAGE)
    try:
        return file_digest(path)
    except OSError as error:
        return os_error_like(error)


def manifest_model(dir_path):
    if "\0" in dir_path:
        return Raises(FileNotFoundError, MISSING_DIRECTORY)
    try:
        os.stat(dir_path)
    except OSError:
        return Raises(FileNotFoundError, MISSING_DIRECTORY)
    try:
        return python_walker(dir_path)
    except OSError as error:
        return os_error_like(error)


def model(function, positional, keywords):
    bound = bind(PARAMETERS[function], positional, keywords)
    if isinstance(bound, Raises):
        return bound
    for parameter, value in zip(PARAMETERS[function], bound):
        if (error := conversion_error(parameter, value)) is not None:
            return error
    arguments = [plain(value) for value in bound]
    if function == "compare_hashes":
        return arguments[0] == arguments[1]
    if function == "calculate_hash":
        return hash_model(arguments[0])
    return manifest_model(arguments[0])


# --- The property ------------------------------------------------------------


def check_call(function, positional, keywords):
    expected = model(function, positional, keywords)
    unraisable = []
    hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    del FSPATH_CALLS[:]
    try:
        result = getattr(driftmoor, function)(*positional, **keywords)
    except BaseException as caught:  # PanicException is a BaseException
        outcome = caught
    else:
        outcome = None
    finally:
        sys.unraisablehook = hook

    assert not FSPATH_CALLS, "__fspath__ was called"
    # Only a keyword name whose str() raises is reported as unraisable.
    assert all(type(u.exc_value) is RuntimeError for u in unraisable), unraisable
    if not isinstance(expected, Raises):
        assert outcome is None, f"expected {expected!r}, raised {outcome!r}"
        assert type(result) is type(expected) and result == expected
        return
    assert type(outcome) is expected.kind, f"expected {expected!r}, got {outcome!r}"
    if expected.message is not None:
        assert outcome.args == (expected.message,)
    assert getattr(outcome, "__notes__", None) == ([expected.note] if expected.note else None)
    if isinstance(outcome, OSError):
        assert (outcome.errno, outcome.strerror, outcome.filename) == (None, None, None)


@pytest.mark.parametrize("function", list(PARAMETERS))
def test_random_calls_behave_as_documented(tree, function):
    @FUZZ
    @given(call=calls(tree, function))
    def run(call):
        positional, keywords = call
        with contextlib.chdir(tree):
            check_call(function, positional, keywords)

    run()
