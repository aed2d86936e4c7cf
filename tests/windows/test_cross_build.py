"""The Linux and the Windows build of the core, run on one tree, agree.

Run by tools/test.sh's wine stage, which builds both, prepares the wine
prefix, starts its server and names the two programs in the environment.
The tree is made on the Linux side: wine can neither create links nor
names that are not Unicode.
"""

import os
import subprocess
from pathlib import Path, PurePosixPath

import pytest

LINUX_PROGRAM = os.environ.get("DRIFTMOOR_NATIVE_LINUX")
WINDOWS_PROGRAM = os.environ.get("DRIFTMOOR_NATIVE_WINDOWS")
WINE = os.environ.get("DRIFTMOOR_WINE", "/usr/lib/wine/wine64")

pytestmark = pytest.mark.skipif(
    not (LINUX_PROGRAM and WINDOWS_PROGRAM),
    reason="needs both builds of driftmoor_native (tools/test.sh sets them)",
)


def windows_path(path: Path) -> str:
    """The path as a Windows program on wine names it: drive Z: is /."""
    return "Z:" + str(path).replace("/", "\\")


def run_linux(*arguments: str) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([LINUX_PROGRAM, *arguments], capture_output=True, timeout=60)


def run_windows(*arguments: str) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run(
        [WINE, WINDOWS_PROGRAM, *arguments],
        capture_output=True,
        stdin=subprocess.DEVNULL,
        timeout=60,
    )


def manifest_lines(output: bytes, root: str, separator: str) -> dict[tuple[str, ...], str]:
    """Digest by the key's components below `root`, each separator as one."""
    lines = {}
    for line in output.decode().splitlines():
        digest, key = line.split("  ", 1)
        assert key.startswith(root), key
        rest = key[len(root):].lstrip(separator)
        lines[tuple(rest.split(separator))] = digest
    return lines


@pytest.fixture
def tree(tmp_path: Path) -> Path:
    root = tmp_path / "tree"
    (root / "empty").mkdir(parents=True)
    contents = {
        "a.txt": b"alpha\n",
        "zero": b"",
        "with space é.txt": b"accents",
        "日本/語.bin": bytes(range(256)) * 300,
        "sub/deeper/big.bin": os.urandom(3 * 65536 + 5),
        "CASE": b"upper",
        "case": b"lower",
    }
    # Past 260 characters: every open there needs the verbatim form.
    long_dir = PurePosixPath(*(["l" * 60] * 6))
    contents[str(long_dir / "deep.txt")] = b"far down"
    for name, data in contents.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_bytes(data)
    (root / "link_to_file").symlink_to("a.txt")
    (root / "link_to_dir").symlink_to("sub")
    (root / "sub" / "deeper" / "up").symlink_to("../..")  # a loop to the top
    (root / "dangling").symlink_to("missing")
    (root / "self").symlink_to("self")
    return root


def test_both_builds_give_the_same_manifest(tree: Path):
    linux = run_linux("manifest", str(tree))
    windows = run_windows("manifest", windows_path(tree))
    assert linux.returncode == 0, linux.stderr
    assert windows.returncode == 0, windows.stderr
    linux_lines = manifest_lines(linux.stdout, str(tree), "/")
    windows_lines = manifest_lines(windows.stdout, windows_path(tree), "\\")
    assert windows_lines == linux_lines
    # The loop was passed over, links to files and directories were
    # followed, and nothing dangling or looping on itself got in.
    assert ("link_to_file",) in linux_lines
    assert ("link_to_dir", "deeper", "big.bin") in linux_lines
    assert not any(key[0] in ("dangling", "self") for key in linux_lines)
    assert len(linux_lines) == 10


def test_both_builds_hash_alike_and_fail_alike(tree: Path):
    for name in ("zero", "sub/deeper/big.bin", "日本/語.bin"):
        linux = run_linux("hash", str(tree / name))
        windows = run_windows("hash", windows_path(tree / name))
        assert (windows.returncode, windows.stdout) == (0, linux.stdout)
    for command, name in (("manifest", "missing"), ("hash", "missing"), ("hash", "sub")):
        linux = run_linux(command, str(tree / name))
        windows = run_windows(command, windows_path(tree / name))
        assert linux.returncode == windows.returncode == 1
        if command == "manifest":
            # Standard error is a text stream on Windows: lines end in CR LF.
            message = b"The specified directory does not exist\n"
            assert linux.stderr == windows.stderr.replace(b"\r\n", b"\n") == message
