"""calculate_hash: the SHA-256 of a file's bytes, as 64 lowercase hex digits."""

import hashlib
import os
import subprocess
import textwrap

import pytest

from conftest import run_python, run_sha256sum
from driftmoor import calculate_hash

HEX_DIGITS = set("0123456789abcdef")
MIB = 1 << 20


def write(path, data):
    path.write_bytes(data)
    return str(path)


def failure(path):
    with pytest.raises(OSError) as caught:
        calculate_hash(path)
    e = caught.value
    return type(e), e.args, e.errno, e.strerror, e.filename


# Around the 55/56 and 63/64 padding edges of a block, and the 64 KiB read size.
@pytest.mark.parametrize("size", [0, 1, 55, 56, 63, 64, 65535, 65536, 65537, 5 * MIB + 3])
def test_digest_of_contents(tmp_path, size):
    data = os.urandom(size)
    digest = calculate_hash(write(tmp_path / "f", data))
    assert type(digest) is str and len(digest) == 64 and set(digest) <= HEX_DIGITS
    assert digest == hashlib.sha256(data).hexdigest()


# FIPS 180-2's examples for SHA-256, and the empty message.
PUBLISHED = {
    b"": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
    b"abc": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
    b"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq":
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
    b"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
    b"hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu":
        "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1",
    b"a" * 1_000_000: "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
}


@pytest.mark.parametrize("message", PUBLISHED, ids=lambda m: f"{len(m)}-bytes")
def test_published_vectors(tmp_path, message):
    assert calculate_hash(write(tmp_path / "f", message)) == PUBLISHED[message]


def test_every_file_of_a_tree_as_sha256sum_reads_it(tmp_path):
    # Sizes at the edges of a block, of its padding and of a read; names with
    # spaces, line feeds and backslashes, which sha256sum --zero leaves as
    # they are.
    sizes = [0, 1, 55, 56, 63, 64, 65, 119, 120, 4095, 65535, 65536, 65537, 200_003]
    paths = []
    for number, size in enumerate(sizes):
        directory = tmp_path / f"level {number % 3}" / ("line\nfeed \\ back" if number % 2 else "")
        directory.mkdir(parents=True, exist_ok=True)
        paths.append(write(directory / f"{size} bytes\n.bin", os.urandom(size)))
    listed = run_sha256sum("--zero", "--", *paths, cwd=tmp_path).stdout
    expected = dict(reversed(entry.split(b"  ", 1)) for entry in listed.split(b"\0")[:-1])
    assert len(expected) == len(sizes)
    for path in paths:
        assert calculate_hash(path) == expected[os.fsencode(path)].decode(), path


@pytest.mark.heavy
def test_file_past_4_gib(tmp_path):
    # Sparse, so it costs no disk; the marks sit where a 32-bit offset or
    # length would wrap, so a file that wraps hashes differently.
    path = tmp_path / "large"
    size = 2**32 + 7
    marks = [(0, b"head"), (2**32 - 3, b"across"), (size - 3, b"end")]
    expected = hashlib.sha256()
    zeros = memoryview(bytes(MIB))
    position = 0
    for offset, mark in marks + [(size, b"")]:
        while position < offset:
            step = min(offset - position, MIB)
            expected.update(zeros[:step])
            position += step
        expected.update(mark)
        position += len(mark)
    try:
        with open(path, "wb") as f:
            f.truncate(size)
            for offset, mark in marks:
                f.seek(offset)
                f.write(mark)
        assert calculate_hash(str(path)) == expected.hexdigest()
    finally:
        path.unlink(missing_ok=True)


class Text(str):
    pass


NAME = "données-ü-日本.txt"


@pytest.mark.parametrize(
    "spell",
    [
        pytest.param(lambda directory: str(directory / NAME), id="non-ascii"),
        pytest.param(lambda directory: NAME, id="relative"),
        pytest.param(lambda directory: Text(directory / NAME), id="str-subclass"),
        pytest.param(lambda directory: str(directory / "link"), id="symlink"),
    ],
)
def test_ways_to_name_a_file(tmp_path, monkeypatch, spell):
    data = os.urandom(70_000)
    write(tmp_path / NAME, data)
    os.symlink(NAME, tmp_path / "link")
    monkeypatch.chdir(tmp_path)
    assert calculate_hash(spell(tmp_path)) == hashlib.sha256(data).hexdigest()


def test_path_of_4095_bytes(tmp_path):
    # The longest path the system accepts (its limit counts the closing NUL),
    # with multi-byte letters so characters and bytes differ.
    directory = str(tmp_path)
    while len(os.fsencode(directory)) < 3800:
        directory += "/" + "é" * 100
    os.makedirs(directory)
    path = directory + "/" + "f" * (4095 - len(os.fsencode(directory)) - 1)
    assert len(os.fsencode(path)) == 4095
    data = os.urandom(1000)
    with open(path, "wb") as f:
        f.write(data)
    assert calculate_hash(path) == hashlib.sha256(data).hexdigest()


# Each one reaches into a child's pipe through a path; the writer sleeps
# between uneven pieces so that reads come back short at odd boundaries.
PIPE_CHILD = textwrap.dedent(
    """
    import hashlib, os, random, threading, time
    import driftmoor

    pieces = [1, 7, 65535, 3, 100000, 65536, 2, 131073, 64, 55, 1]
    data = random.Random(7).randbytes(sum(pieces))
    if kind == "fifo":
        os.mkfifo(fifo)
        path = fifo
    else:
        read_end, write_end = os.pipe()
        path = f"/dev/fd/{read_end}"

    def feed():
        fd = os.open(fifo, os.O_WRONLY) if kind == "fifo" else write_end
        offset = 0
        for size in pieces:
            os.write(fd, data[offset:offset + size])
            offset += size
            time.sleep(0.01)
        os.close(fd)

    writer = threading.Thread(target=feed)
    writer.start()
    print(driftmoor.calculate_hash(path))
    writer.join()
    print(hashlib.sha256(data).hexdigest())
    """
)


@pytest.mark.parametrize("kind", ["fifo", "pipe"])
def test_reads_that_come_back_short(tmp_path, kind):
    # In a child, so a reader that never finishes ends in a timeout here
    # instead of hanging the suite.
    code = f"kind, fifo = {kind!r}, {str(tmp_path / 'fifo')!r}\n" + PIPE_CHILD
    try:
        result = run_python(code, timeout=30)
    except subprocess.TimeoutExpired:
        pytest.fail(f"calculate_hash on a {kind} fed by a thread of the same process never returned")
    assert result.returncode == 0, result.stderr
    got, expected = result.stdout.split()
    assert got == expected


def make_long_path(directory):
    # Short components, so only the whole path is over the limit.
    return str(directory) + "/d" * 2100


def make_dangling_link(directory):
    os.symlink(directory / "gone", directory / "dangling")
    return str(directory / "dangling")


NOT_FOUND = (FileNotFoundError, ("No such file or directory (os error 2)",))


@pytest.mark.parametrize(
    "make_path, expected",
    [
        pytest.param(lambda d: str(d / "missing"), NOT_FOUND, id="missing"),
        pytest.param(lambda d: str(d / "nope" / "x"), NOT_FOUND, id="missing-directory"),
        pytest.param(make_dangling_link, NOT_FOUND, id="dangling-symlink"),
        pytest.param(str, (IsADirectoryError, ("Is a directory (os error 21)",)), id="directory"),
        pytest.param(
            lambda d: "a\0b", (OSError, ("strings passed to WinAPI cannot contain NULs",)), id="nul"
        ),
        pytest.param(make_long_path, (OSError, ("File name too long (os error 36)",)), id="too-long"),
    ],
)
def test_failures(tmp_path, make_path, expected):
    assert failure(make_path(tmp_path)) == (*expected, None, None, None)


def test_permission_denied(tmp_path):
    path = write(tmp_path / "locked", b"secret")
    os.chmod(path, 0o000)
    # Root reads any file; without these capabilities it is refused as anyone is.
    wrapper = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search"]
    code = textwrap.dedent(
        f"""
        import driftmoor
        try:
            driftmoor.calculate_hash({path!r})
        except OSError as e:
            print(repr((type(e).__name__, e.args, e.errno, e.strerror, e.filename)))
        """
    )
    result = run_python(code, wrapper=wrapper if os.geteuid() == 0 else ())
    assert result.returncode == 0, result.stderr
    expected = ("PermissionError", ("Permission denied (os error 13)",), None, None, None)
    assert result.stdout == repr(expected) + "\n"


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@pytest.mark.parametrize("target", ["missing", "directory", "file"])
def test_no_descriptor_is_left_open(tmp_path, target):
    # A missing file fails at the open, a directory at the first read.
    write(tmp_path / "file", os.urandom(100))
    (tmp_path / "directory").mkdir()
    path = str(tmp_path / target)
    before = open_descriptors()
    for _ in range(3000):
        try:
            calculate_hash(path)
        except OSError:
            assert target != "file"
    assert open_descriptors() == before


def test_digest_follows_the_contents(tmp_path):
    path = tmp_path / "f"
    data = bytearray(os.urandom(100_000))
    write(path, data)
    first = calculate_hash(str(path))
    assert calculate_hash(str(path)) == first
    data[70_000] ^= 1
    write(path, data)
    assert calculate_hash(str(path)) == hashlib.sha256(data).hexdigest() != first
