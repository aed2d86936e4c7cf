"""No call leaves references or memory behind: every public function, on its
success path and on each way it fails, called in a warm loop under a debug
build of the interpreter, which counts every reference and every block."""

import ast
import gc
import os
import sys

import pytest

import _driftmoor_testing as probe
from conftest import DEBUG_INTERPRETER, run_python
import driftmoor_tree
from driftmoor import calculate_directory_manifest, calculate_hash, compare_hashes

pytestmark = pytest.mark.skipif(
    not DEBUG_INTERPRETER,
    reason="needs a debug build of CPython (sys.gettotalrefcount); tools/test.sh runs one",
)

WARM_UP = 50
ROUNDS = 4
CALLS = 200


def changes(call, expected=()):
    """Calls `call` WARM_UP times, then ROUNDS times CALLS times, and returns
    how much each round changed the total reference count and the number of
    allocated blocks. `expected` is the exception class the call ends in."""

    def run(count):
        for _ in range(count):
            try:
                call()
            except expected:
                pass

    # The calls run in a frame of their own: a traceback through a frame
    # keeps an object for it while the frame runs.
    def change_over(count):
        gc.collect()
        references, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        run(count)
        gc.collect()
        return sys.gettotalrefcount() - references, sys.getallocatedblocks() - blocks

    change_over(WARM_UP)
    # Collections then look only at what the calls made, not at the whole heap.
    gc.freeze()
    try:
        found = []
        for _ in range(ROUNDS):
            # The same measurement of no calls at all: what the counting
            # itself changes, taken off.
            references, blocks = change_over(CALLS)
            own_references, own_blocks = change_over(0)
            found.append((references - own_references, blocks - own_blocks))
        return found
    finally:
        gc.unfreeze()


def leaked(found):
    # A call that leaks (or frees what it does not own) changes the counts in
    # every round; a cache filling up changes one round, not all.
    return all(change != (0, 0) for change in found)


class Unprintable(str):
    def __str__(self):
        raise RuntimeError("no text")


def make_tree(top):
    (top / "tree" / "sub").mkdir(parents=True)
    (top / "tree" / "a.txt").write_bytes(b"alpha")
    (top / "tree" / "sub" / "b.bin").write_bytes(os.urandom(70_000))
    os.symlink("../a.txt", top / "tree" / "sub" / "to_a")
    os.symlink("..", top / "tree" / "sub" / "to_top")
    os.symlink("gone", top / "dangling")
    return top


FILE = "tree/a.txt"
DIGEST_A, DIGEST_B = "a" * 64, "b" * 64
NOT_STR = (TypeError, "not an instance of 'str'")
SURROGATE = (UnicodeEncodeError, "surrogates not allowed")
EXCLUDED = (0, 0)
PROGRESS = bytearray(8)
LINES = {b"tree/odd\\name": DIGEST_A, FILE.encode(): DIGEST_B}
# Each case: a call relative to the tree's folder, and the exception class it
# ends in with a fragment of its text, or None where it returns. No argument
# is a text of one character: those are immortal, so a reference leaked to
# one would not be counted.
CASES = {
    # calculate_hash
    "hash": (lambda: calculate_hash(FILE), None),
    "hash-by-keyword": (lambda: calculate_hash(path=FILE), None),
    "hash-no-argument": (lambda: calculate_hash(), (TypeError, "missing 1 required")),
    "hash-extra-argument": (lambda: calculate_hash(FILE, FILE), (TypeError, "2 were given")),
    "hash-duplicate": (lambda: calculate_hash(FILE, path=FILE), (TypeError, "multiple values")),
    "hash-bad-keyword": (lambda: calculate_hash(p=FILE), (TypeError, "unexpected keyword")),
    "hash-keyword-without-utf8": (
        lambda: calculate_hash(**{"pa\udc80th": FILE}),
        (TypeError, "unexpected keyword"),
    ),
    "hash-unprintable-keyword": (
        lambda: calculate_hash(**{Unprintable("p"): FILE}),
        (TypeError, "<unprintable Unprintable object>"),
    ),
    "hash-bytes": (lambda: calculate_hash(FILE.encode()), NOT_STR),
    "hash-none": (lambda: calculate_hash(None), NOT_STR),
    "hash-surrogate": (lambda: calculate_hash("lone \udc80"), SURROGATE),
    "hash-missing": (lambda: calculate_hash("missing"), (FileNotFoundError, "(os error 2)")),
    "hash-dangling": (lambda: calculate_hash("dangling"), (FileNotFoundError, "(os error 2)")),
    "hash-directory": (lambda: calculate_hash("tree"), (IsADirectoryError, "(os error 21)")),
    "hash-nul": (lambda: calculate_hash("a\0b"), (OSError, "cannot contain NULs")),
    "hash-too-long": (lambda: calculate_hash("d/" * 2100), (OSError, "(os error 36)")),
    # compare_hashes
    "compare-equal": (lambda: compare_hashes(DIGEST_A, DIGEST_A), None),
    "compare-by-keyword": (lambda: compare_hashes(hash_b=DIGEST_B, hash_a=DIGEST_A), None),
    "compare-no-argument": (lambda: compare_hashes(), (TypeError, "missing 2 required")),
    "compare-missing-first": (
        lambda: compare_hashes(hash_b=DIGEST_B),
        (TypeError, "missing 1 required positional argument: 'hash_a'"),
    ),
    "compare-extra-argument": (
        lambda: compare_hashes(DIGEST_A, DIGEST_B, FILE),
        (TypeError, "3 were given"),
    ),
    "compare-duplicate": (
        lambda: compare_hashes(DIGEST_A, hash_a=DIGEST_B),
        (TypeError, "multiple values"),
    ),
    "compare-bad-keyword": (
        # Named by a text that is no identifier, so not an immortal one.
        lambda: compare_hashes(hash_a=DIGEST_A, **{"other name": DIGEST_B}),
        (TypeError, "unexpected keyword"),
    ),
    "compare-list-second": (lambda: compare_hashes(DIGEST_A, [DIGEST_B]), NOT_STR),
    "compare-surrogate-second": (lambda: compare_hashes(DIGEST_A, "lone \ud800"), SURROGATE),
    # calculate_directory_manifest
    "manifest": (lambda: calculate_directory_manifest("tree"), None),
    "manifest-of-a-file": (lambda: calculate_directory_manifest(dir_path=FILE), None),
    "manifest-no-argument": (lambda: calculate_directory_manifest(), (TypeError, "missing 1")),
    "manifest-bad-keyword": (
        lambda: calculate_directory_manifest(path="tree"),
        (TypeError, "unexpected keyword"),
    ),
    "manifest-int": (lambda: calculate_directory_manifest(7), NOT_STR),
    "manifest-surrogate": (lambda: calculate_directory_manifest("lone \udc80"), SURROGATE),
    **{
        f"manifest-{name}": (
            lambda path=path: calculate_directory_manifest(path),
            (FileNotFoundError, "The specified directory does not exist"),
        )
        for name, path in [
            ("missing", "missing"),
            ("empty", ""),
            ("nul", "tree\0"),
            ("dangling", "dangling"),
        ]
    },
    # The command's module.
    "tree-walk": (lambda: driftmoor_tree.walk(b"tree"), None),
    "tree-walk-of-a-file": (lambda: driftmoor_tree.walk(FILE.encode()), None),
    "tree-walk-accounting": (lambda: driftmoor_tree.walk(b".", exclude=EXCLUDED), None),
    "tree-walk-progress": (lambda: driftmoor_tree.walk(b"tree", progress=PROGRESS), None),
    "tree-walk-missing": (lambda: driftmoor_tree.walk(b"missing"), (FileNotFoundError, "(os")),
    "tree-walk-str": (lambda: driftmoor_tree.walk("tree"), (TypeError, "bytes-like")),
    "tree-walk-bad-exclude": (
        lambda: driftmoor_tree.walk(b"tree", exclude=(DIGEST_A, 1)),
        (TypeError, "exclude"),
    ),
    "tree-walk-short-progress": (
        lambda: driftmoor_tree.walk(b"tree", progress=bytearray(3)),
        (ValueError, "progress"),
    ),
    "tree-lines": (lambda: driftmoor_tree.manifest_lines(LINES, format="bsd"), None),
    "tree-lines-str-path": (
        lambda: driftmoor_tree.manifest_lines({FILE: DIGEST_A}),
        (TypeError, "'bytes'"),
    ),
    "tree-lines-bad-format": (
        lambda: driftmoor_tree.manifest_lines(LINES, format="md5"),
        (ValueError, "format"),
    ),
    "tree-escape": (lambda: driftmoor_tree.escape_path(b"a\\b\n"), None),
    "tree-escape-plain": (lambda: driftmoor_tree.escape_path(b"plain"), None),
    "tree-escape-str": (lambda: driftmoor_tree.escape_path("a"), (TypeError, "'bytes'")),
    "tree-unescape": (lambda: driftmoor_tree.unescape_path(b"a\\\\b\\n"), None),
    "tree-unescape-bad": (lambda: driftmoor_tree.unescape_path(b"a\\q"), None),
    # The test-only module: each way the call wrapper ends a call.
    "probe-panic": (lambda: probe.panic_with_message("the text"), (BaseException, "the text")),
    "probe-panic-without-text": (lambda: probe.panic_without_message(), (BaseException, "panic")),
    "probe-standard-exception": (
        lambda: probe.throw_standard_exception(),
        (BaseException, "a standard exception"),
    ),
    "probe-failure-value": (
        lambda: probe.fail_with_value("the text"),
        (FileNotFoundError, "the text"),
    ),
    "probe-nothing-set": (lambda: probe.fetch_with_nothing_set(), (SystemError, "none was set")),
    "probe-object-not-created": (
        lambda: probe.fail_to_create_object(),
        (BaseException, "PyObject pointer is null"),
    ),
    "probe-call": (lambda: probe.call(object), None),
    "probe-call-raising": (lambda: probe.call(lambda: {}["key"]), (KeyError, "key")),
    "probe-os-error-code": (
        lambda: probe.raise_os_error("code", "02"),
        (FileNotFoundError, "(os error 2)"),
    ),
    "probe-os-error-kind": (lambda: probe.raise_os_error("kind", "040"), (OSError, "other error")),
    "probe-os-error-static": (
        lambda: probe.raise_os_error("static", "01"),
        (PermissionError, "a message"),
    ),
    "probe-os-error-custom": (
        lambda: probe.raise_os_error("custom", "the text"),
        (TimeoutError, "the text"),
    ),
    "probe-os-error-dropped": (lambda: probe.drop_os_error(), None),
    "probe-wrapped-exception": (
        lambda: probe.raise_wrapped_python_exception(lambda: {}["key"]),
        (KeyError, "key"),
    ),
    "probe-table-key-hash": (lambda: probe.table_key_hash("01", "02", "key"), None),
    "probe-next-table-keys": (lambda: probe.next_table_keys("03"), None),
    "probe-extra-argument": (lambda: probe.call(object, object), (TypeError, "2 were given")),
}


@pytest.fixture(scope="module")
def in_tree(tmp_path_factory):
    top = make_tree(tmp_path_factory.mktemp("leaks"))
    cwd = os.getcwd()
    os.chdir(top)
    try:
        yield
    finally:
        os.chdir(cwd)


@pytest.fixture
def quiet_unraisable(monkeypatch):
    # Two cases report a secondary error as unraisable on every call.
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)


@pytest.mark.parametrize("name", CASES)
def test_no_leak(name, in_tree, quiet_unraisable, capfd):
    call, outcome = CASES[name]
    if outcome is None:
        call()
        expected = ()
    else:
        expected, fragment = outcome
        with pytest.raises(expected) as caught:
            call()
        # The path really taken, not another ending of the same class.
        assert fragment in str(caught.value), repr(caught.value)
        del caught
    found = changes(call, expected)
    capfd.readouterr()  # the panics' reports, one per call
    assert not leaked(found), f"references and blocks per round of {CALLS} calls: {found}"


# Failures that need a process of their own: permission refused to root (the
# bounding set drops the capabilities that bypass it), and descriptors run out.
UNPRIVILEGED = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search", "--"]
CHILD_CASES = {
    "hash-permission-denied": (
        "import os; os.chmod(FILE, 0)",
        "calculate_hash(FILE)",
        PermissionError,
        "Permission denied (os error 13)",
    ),
    "manifest-permission-denied": (
        "import os; os.chmod('tree/sub', 0)",
        "calculate_directory_manifest('tree')",
        PermissionError,
        "Permission denied (os error 13)",
    ),
    "manifest-out-of-descriptors": (
        "import os, resource\n"
        "os.makedirs('deep/' + 'd/' * 60)\n"
        "hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]\n"
        "resource.setrlimit(resource.RLIMIT_NOFILE, (40, hard))",
        "calculate_directory_manifest('deep')",
        OSError,
        "Too many open files (os error 24)",
    ),
}


@pytest.mark.parametrize("name", CHILD_CASES)
def test_no_leak_in_a_process_of_its_own(name, tmp_path, monkeypatch):
    prepare, call, expected, text = CHILD_CASES[name]
    monkeypatch.chdir(make_tree(tmp_path))
    # The child measures with this module's own function.
    code = "\n".join(
        [
            "from driftmoor import calculate_directory_manifest, calculate_hash",
            "from test_reference_leaks import FILE, changes",
            prepare,
            "try:",
            f"    {call}",
            f"except {expected.__name__} as e:",
            "    outcome = (type(e).__name__, e.args)",
            f"print(repr((outcome, changes(lambda: {call}, {expected.__name__}))))",
        ]
    )
    result = run_python(code, wrapper=UNPRIVILEGED if os.geteuid() == 0 else ())
    os.chmod(tmp_path / FILE, 0o644)
    os.chmod(tmp_path / "tree" / "sub", 0o755)
    assert result.returncode == 0, result.stderr
    outcome, found = ast.literal_eval(result.stdout)
    assert outcome == (expected.__name__, (text,))
    assert not leaked(found), f"references and blocks per round of {CALLS} calls: {found}"
