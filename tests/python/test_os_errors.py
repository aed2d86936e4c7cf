"""How file-system errors become Python exceptions, driven through the
test-only module so that every variant and kind is reached, not only those a
real file system happens to produce."""

import ast
import errno
import os
import subprocess

import pytest

import _driftmoor_testing as probe
from conftest import run_python

# Kinds (by number) with a class of their own; every other kind is OSError.
OWN_CLASSES = {
    0: FileNotFoundError,
    1: PermissionError,
    2: ConnectionRefusedError,
    3: ConnectionResetError,
    6: ConnectionAbortedError,
    11: BrokenPipeError,
    12: FileExistsError,
    13: BlockingIOError,
    14: NotADirectoryError,
    15: IsADirectoryError,
    22: TimeoutError,
    35: InterruptedError,
    38: MemoryError,
}


def raised(variant, value):
    with pytest.raises(BaseException) as caught:
        probe.raise_os_error(variant, str(value))
    return caught.value


def assert_single_text(exception, text):
    assert exception.args == (text,)
    assert str(exception) == text
    # MemoryError, the one class outside the OSError family, has none of these.
    assert getattr(exception, "errno", None) is None
    assert getattr(exception, "strerror", None) is None
    assert getattr(exception, "filename", None) is None


@pytest.mark.parametrize("kind", range(42))
def test_each_kind_raises_its_class(kind):
    exception = raised("kind", kind)
    assert type(exception) is OWN_CLASSES.get(kind, OSError)
    assert len(exception.args) == 1 and isinstance(exception.args[0], str)
    # A static message keeps the class of its kind but shows only its text.
    exception = raised("static", kind)
    assert type(exception) is OWN_CLASSES.get(kind, OSError)
    assert_single_text(exception, "a message for the program's lifetime")


@pytest.mark.parametrize(
    ("code", "cls"),
    [
        (errno.ENOENT, FileNotFoundError),
        (errno.EACCES, PermissionError),
        (errno.EPERM, PermissionError),
        (errno.EISDIR, IsADirectoryError),
        (errno.ENOTDIR, NotADirectoryError),
        (errno.EEXIST, FileExistsError),
        (errno.EPIPE, BrokenPipeError),
        (errno.EAGAIN, BlockingIOError),
        (errno.EINTR, InterruptedError),
        (errno.ETIMEDOUT, TimeoutError),
        (errno.ENOMEM, MemoryError),
        (errno.ENAMETOOLONG, OSError),
        (errno.EIO, OSError),
        (errno.EMFILE, OSError),
    ],
)
def test_os_codes_show_the_system_message_and_the_code(code, cls):
    exception = raised("code", code)
    assert type(exception) is cls
    assert_single_text(exception, f"{os.strerror(code)} (os error {code})")


def test_unknown_and_negative_codes():
    assert_single_text(raised("code", 9999), f"{os.strerror(9999)} (os error 9999)")
    exception = raised("code", -5)
    assert type(exception) is OSError
    assert str(exception).endswith(" (os error -5)")


def test_custom_error_text_is_formed_only_when_raised():
    assert probe.drop_os_error() == 0
    before = probe.custom_text_request_count()
    exception = raised("custom", "the object's own text")
    assert type(exception) is TimeoutError
    assert_single_text(exception, "the object's own text")
    assert probe.custom_text_request_count() == before + 1


def test_a_wrapped_python_exception_is_raised_unchanged():
    original = KeyError("inner")

    def fail():
        raise original

    with pytest.raises(KeyError) as caught:
        probe.raise_wrapped_python_exception(fail)
    assert caught.value is original


# Locales whose messages are not UTF-8, built for the test run.
LOCALES = {"ru_RU.KOI8-R": "ru_RU", "ja_JP.EUC-JP": "ja_JP", "fr_FR.ISO-8859-1": "fr_FR"}

# os.strerror decodes the message as the locale writes it.
LOCALE_CHILD = """
import locale, os, driftmoor
locale.setlocale(locale.LC_ALL, {name!r})
try:
    driftmoor.calculate_hash({path!r})
except OSError as e:
    print(ascii((type(e).__name__, e.args, os.strerror({code}))))
"""


@pytest.fixture(scope="session")
def locale_directory(tmp_path_factory):
    directory = tmp_path_factory.mktemp("locales")
    for name, source in LOCALES.items():
        charset = name.split(".")[1]
        subprocess.run(["localedef", "-i", source, "-f", charset, str(directory / name)],
                       check=True, capture_output=True)
    return directory


@pytest.mark.parametrize("locale_name", LOCALES)
@pytest.mark.parametrize("error", ["FileNotFoundError", "PermissionError"])
def test_messages_are_decoded_as_the_locale_writes_them(tmp_path, locale_directory, locale_name,
                                                        error):
    path, code, wrapper = "/nonexistent", errno.ENOENT, ()
    if error == "PermissionError":
        path, code = tmp_path / "locked", errno.EACCES
        path.write_bytes(b"secret")
        path.chmod(0o000)
        if os.geteuid() == 0:  # root reads any file, unless without these
            wrapper = ("setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--")
    child = LOCALE_CHILD.format(name=locale_name, path=str(path), code=code)
    # LANGUAGE would choose the messages' language over the locale's.
    result = run_python(child, env={"LOCPATH": str(locale_directory), "LANGUAGE": ""},
                        wrapper=wrapper)
    assert result.returncode == 0, result.stderr[-2000:]
    kind, args, message = ast.literal_eval(result.stdout)
    assert message != os.strerror(code)  # the locale's words, not the C locale's
    assert (kind, args) == (error, (f"{message} (os error {code})",))
