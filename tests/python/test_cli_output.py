"""What the command reports as written was written: every way standard output
can refuse a write, for every subcommand, ends with one line and status 1;
standard error closed changes nothing; running out of memory is one line."""

import errno
import os
import subprocess

import pytest

from conftest import DRIFTMOOR, SANITIZED, command_env, run_driftmoor

# Each runs the command line "$@" in bash with standard output refused one
# way, and gives the command's exit status.
FAILURES = {
    # ENOSPC on every write.
    "full-disk": ('exec "$@" >/dev/full', os.strerror(errno.ENOSPC)),
    # The first write is cut at 16 KiB (SIGXFSZ is ignored), the next fails.
    "file-size-limit": ('ulimit -f 16; exec "$@" >out', os.strerror(errno.EFBIG)),
    # The reader takes 10 bytes and goes: EPIPE, which ends quietly.
    "closed-pipe": ('"$@" | head -c 10 >/dev/null; exit ${PIPESTATUS[0]}', None),
    # No standard output at all: EBADF.
    "closed-descriptor": ('exec "$@" >&-', os.strerror(errno.EBADF)),
}

SUBCOMMANDS = {
    "manifest": ("manifest", "tree"),
    "manifest-json": ("manifest", "--format", "json", "tree"),
    "check": ("check", "tree.sums", "tree"),
    "diff": ("diff", "tree.sums", "tree.sums"),
}


def run_in_bash(script, arguments, cwd):
    # The sanitizer's runtime, when a sanitized run preloads it, goes to the
    # command alone, not to bash or head.
    env = command_env()
    preload = env.pop("LD_PRELOAD", None)
    command = [DRIFTMOOR, *arguments]
    if preload:
        command = ["env", f"LD_PRELOAD={preload}", *command]
    return subprocess.run(["bash", "-c", script, "bash", *command],
                          capture_output=True, cwd=cwd, env=env, timeout=60)


@pytest.fixture(scope="module")
def tree_and_outputs(tmp_path_factory):
    """A tree of 3,000 files (about 330 KB of manifest lines, more than a
    pipe holds), its manifest, and what each subcommand writes when nothing
    refuses it."""
    top = tmp_path_factory.mktemp("outputs")
    (top / "tree").mkdir()
    for number in range(3000):
        (top / "tree" / f"{number:05}-{'n' * 40}").write_bytes(b"%d" % number)
    manifest = run_driftmoor("manifest", "tree", cwd=top)
    (top / "tree.sums").write_bytes(manifest.stdout)
    outputs = {}
    for name, arguments in SUBCOMMANDS.items():
        result = run_driftmoor(*arguments, cwd=top)
        assert (result.returncode, result.stderr) == (0, b""), name
        assert len(result.stdout) > 128 << 10, name
        outputs[name] = result.stdout
    return top, outputs


@pytest.mark.parametrize("failure", FAILURES)
@pytest.mark.parametrize("subcommand", SUBCOMMANDS)
def test_a_refused_write_is_one_line_and_status_1(tree_and_outputs, subcommand, failure):
    top, outputs = tree_and_outputs
    script, reason = FAILURES[failure]
    (top / "out").unlink(missing_ok=True)
    result = run_in_bash(script, SUBCOMMANDS[subcommand], top)
    assert result.returncode == 1
    assert result.stderr == (b"" if reason is None else f"driftmoor: write error: {reason}\n".encode())
    if failure == "file-size-limit":
        # All that the file took, and it is what was to be written.
        assert (top / "out").read_bytes() == outputs[subcommand][: 16 << 10]


@pytest.mark.parametrize("subcommand", ["manifest", "check"])
def test_head_ends_the_command_quietly_with_status_1(tree_and_outputs, subcommand):
    top, outputs = tree_and_outputs
    result = run_in_bash('"$@" | head -1; exit ${PIPESTATUS[0]}', SUBCOMMANDS[subcommand], top)
    assert (result.returncode, result.stderr) == (1, b"")
    assert result.stdout == outputs[subcommand].split(b"\n")[0] + b"\n"


@pytest.mark.parametrize(
    "arguments",
    [
        ("check", "tree.sums"),  # matches: 0
        ("check", "--quiet", "tree.sums", "."),  # everything added: 1
        ("manifest", "missing"),  # cannot be walked: 1
        ("check", "missing.sums"),  # cannot be read: 2
        ("diff", "tree.sums", "tree.sums"),
        ("--help",),
        ("check",),  # usage error: 2
    ],
)
def test_standard_error_closed_changes_nothing_else(tree_and_outputs, arguments):
    top, _ = tree_and_outputs
    open_ = run_in_bash('exec "$@"', arguments, top)
    closed = run_in_bash('exec "$@" 2>&-', arguments, top)
    assert (closed.returncode, closed.stdout) == (open_.returncode, open_.stdout)
    assert closed.stderr == b""
    # Both closed: the write error still decides the status.
    both = run_in_bash('exec "$@" >/dev/full 2>&-', arguments, top)
    assert both.returncode == (open_.returncode if open_.stdout == b"" else 1)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator aborts when memory runs out")
@pytest.mark.parametrize("arguments, status", [(("manifest", "fan"), 1),
                                               (("check", "fan.sums", "fan"), 2)])
def test_running_out_of_memory_while_walking_is_one_line(tmp_path, arguments, status):
    # Two links to the next level in each of 40, with names as long as a
    # name can be: a walk of 2**39 long paths (the links lead to the tree's
    # own directories), which runs out of memory within a second under a
    # limit of 200 MB of address space.
    for level in range(40):
        os.makedirs(tmp_path / f"fan/d{level}")
    for level in range(39):
        for name in "ab":
            os.symlink(f"../d{level + 1}", tmp_path / f"fan/d{level}" / (name * 255))
    (tmp_path / "fan/d39/file").write_bytes(b"x")
    (tmp_path / "fan.sums").write_text(f"{'0' * 64}  fan/d0/file\n")
    result = run_in_bash('ulimit -v 200000; exec "$@"', arguments, tmp_path)
    assert (result.returncode, result.stdout, result.stderr) == (
        status, b"", b"driftmoor: out of memory\n")
