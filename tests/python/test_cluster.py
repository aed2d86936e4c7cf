"""`driftmoor manifest --scheduler` on a real Dask cluster of this machine:
a `dask scheduler` and two `dask worker` processes on 127.0.0.1, each in a
session of its own and stopped by its process group however the tests end,
started in another working directory than the command's and, as root,
without the capabilities that let root read anything. The output, the
lines on standard error and the exit status are those of the one-machine
command on every shape of tree; faults of the cluster end in one line."""

import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import driftmoor_tree
from command_trees import NAMES, make_tree
from conftest import DRIFTMOOR, command_env
from test_cli_accounting import UNPRIVILEGED, make_deep_tree, make_links_tree, \
    make_wide_tree, odd_tree, put
from test_state import mounted_image  # noqa: F401  (a fixture)
from test_walk_bounds import link_tree

distributed = pytest.importorskip("distributed", reason="Dask's distributed is not installed")

ROOT = os.geteuid() == 0
# As root, the workers and every command run without the capabilities that
# let root read any file, so that unreadable entries are unreadable.
WRAPPER = UNPRIVILEGED if ROOT else ()
# Every directory a part of its own: the most hand-overs between machines.
SPLIT = {"DRIFTMOOR_PART_SECONDS": "0"}


def start(arguments, *, cwd, log, wrapper=()):
    """A process of this environment's interpreter in a session of its own;
    a sanitized run's runtime preloaded into the interpreter alone, not into
    the programs that start it."""
    env = command_env()
    preload = env.pop("LD_PRELOAD", None)
    command = [sys.executable, *arguments]
    if preload:
        command = ["env", f"LD_PRELOAD={preload}", *command]
    with open(log, "ab") as output:
        return subprocess.Popen([*wrapper, *command], cwd=cwd, env=env,
                                stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                                start_new_session=True)


def stop(process):
    """Stops the process's whole group: a worker's nanny and its worker."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            pass
        try:
            process.wait(timeout=10)
            return
        except subprocess.TimeoutExpired:
            continue


class Cluster:
    def __init__(self, home):
        self.home = home  # where the scheduler and the workers run
        self.scheduler_file = home / "scheduler.json"
        self.processes = []

    def start_scheduler(self):
        self.processes.append(start(
            ["-m", "dask", "scheduler", "--host", "127.0.0.1", "--port", "0",
             "--no-dashboard", "--scheduler-file", self.scheduler_file],
            cwd=self.home, log=self.home / "scheduler.log"))
        deadline = time.monotonic() + 60
        while not self.scheduler_file.exists():
            assert time.monotonic() < deadline, (self.home / "scheduler.log").read_text()
            time.sleep(0.05)

    def start_worker(self, prefix=(), wrapper=WRAPPER):
        process = start(["-m", "dask", "worker", "--scheduler-file", self.scheduler_file,
                         "--nthreads", "1", "--no-dashboard"],
                        cwd=self.home, log=self.home / f"worker{len(self.processes)}.log",
                        wrapper=(*prefix, *wrapper))
        self.processes.append(process)
        return process

    def client(self):
        return distributed.Client(scheduler_file=str(self.scheduler_file), timeout=30,
                                  set_as_default=False)

    def wait_for_workers(self, count):
        with self.client() as client:
            deadline = time.monotonic() + 60
            while len(client.scheduler_info(n_workers=-1)["workers"]) != count:
                assert time.monotonic() < deadline, "the workers did not come"
                time.sleep(0.05)

    def stop(self):
        for process in reversed(self.processes):
            stop(process)


def running_cluster(home, workers=2):
    cluster = Cluster(home)
    try:
        cluster.start_scheduler()
        for _ in range(workers):
            cluster.start_worker()
        cluster.wait_for_workers(workers)
    except BaseException:
        cluster.stop()
        raise
    return cluster


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    home = tmp_path_factory.mktemp("cluster-home")
    cluster = running_cluster(home)
    try:
        yield cluster
    finally:
        cluster.stop()


def command_line(arguments, *, script=None, **env):
    """The command line and environment of the command, as the workers run
    it (unprivileged as root), a sanitized run's runtime preloaded into it
    alone; in bash as `script` when given, "$@" being the command line."""
    env = command_env(**env)
    preload = env.pop("LD_PRELOAD", None)
    command = [DRIFTMOOR, *arguments]
    if preload:
        command = ["env", f"LD_PRELOAD={preload}", *command]
    if script is not None:
        command = ["bash", "-c", script, "bash", *command]
    return [*WRAPPER, *command], env


def run(arguments, cwd, *, script=None, timeout=120, **env):
    command, env = command_line(arguments, script=script, **env)
    return subprocess.run(command, capture_output=True, cwd=cwd, env=env, timeout=timeout)


def popen(arguments, cwd, **env):
    command, env = command_line(arguments, **env)
    return subprocess.Popen(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def outcome(result):
    return result.returncode, result.stdout, result.stderr


TREES = {
    # One entry of every kind left out, names that are not UTF-8, links to
    # /proc/self/mem that fail on read, a locked directory, a loop.
    "odd": lambda top: odd_tree(top),
    "names": lambda top: make_tree(top / "tree", NAMES, repeat=lambda number: number + 1),
    # Links to files and directories, a diamond, a loop.
    "links": lambda top: make_links_tree(top / "tree"),
    # A link of every shape, in and out of the tree.
    "link-shapes": lambda top: (link_tree(top), (top / "t").rename(top / "tree")),
    "wide": lambda top: make_wide_tree(top / "tree"),
    "deep": lambda top: make_deep_tree(top / "tree"),
    "empty": lambda top: (top / "tree").mkdir(),
}


def deep_chain(top):
    """A chain of directories deeper than parts are handed over (256), with
    a link back to the top at its bottom, and files on the way."""
    path = top / "tree"
    for level in range(300):
        path = path / "d"
        if level % 50 == 0:
            put(path / "f", b"%d" % level)
    path.mkdir(parents=True)
    os.symlink(top / "tree", path / "top")


TREES["deep-chain"] = deep_chain


# The options, each on the whole tree in as few parts as the cluster likes,
# or split into a part per directory.
CASES = {
    "inside": (("-v",), {}),
    "all-split": (("--links", "all", "-v"), SPLIT),
    "none-bsd-split": (("--links", "none", "--format", "bsd", "-v"), SPLIT),
    "json": (("--format", "json"), {}),
}
# Each tree with the cases that can tell something of it: every tree whole
# and split; the other links rules and forms on the trees of links and odd
# names; a chain of 300 parts one after another (slow) and an empty tree
# once.
MANIFEST_CASES = [(tree, case) for tree in TREES for case in CASES
                  if case == "all-split" or (case == "inside" and tree not in (
                      "deep-chain", "empty")) or tree in ("odd", "names", "link-shapes")]


@pytest.mark.heavy
@pytest.mark.parametrize(("tree", "case"), MANIFEST_CASES)
def test_the_output_is_the_one_machine_commands(cluster, tmp_path, tree, case):
    arguments, env = CASES[case]
    TREES[tree](tmp_path)
    try:
        alone = run(["manifest", *arguments, "tree"], tmp_path)
        walked = run(["manifest", "--scheduler", cluster.scheduler_file, *arguments, "tree"],
                     tmp_path, **env)
    finally:
        unlock(tmp_path)
    assert outcome(walked) == outcome(alone)
    if tree == "odd" and ROOT:
        assert b"Permission denied" in walked.stderr  # the workers read unprivileged


def unlock(top):
    if (top / "tree/locked").exists():
        os.chmod(top / "tree/locked", 0o755)


def regular_files(top):
    """The regular files under top, not through links, in path order."""
    found = []
    for directory, _, names in os.walk(top):
        for name in names:
            path = Path(directory) / name
            if path.is_file() and not path.is_symlink():
                found.append(path)
    return sorted(found)


def change_tree(top):
    """In the tree at top/tree: the first regular file changed, the second
    removed, the third made unreadable, and a file added; how many regular
    files there were."""
    files = regular_files(top / "tree")
    for path, change in zip(files, ("change", "remove", "lock")):
        if change == "change":
            with open(path, "ab") as file:
                file.write(b"changed")
        elif change == "remove":
            path.unlink()
        else:
            path.chmod(0)
    # Beside the first, in the folder that holds every listed path.
    put((files[0].parent if files else top / "tree") / "added here", b"new")
    return len(files)


# Each tree checked after its changes, in parts of a directory each but for
# the chain; a few other options on the trees where they tell most.
CHECK_CASES = [(tree, ("-v",)) for tree in TREES if tree != "empty"] + [
    ("names", ("--format", "json", "-q")),
    ("odd", ("--links", "all", "-v")),
    ("links", ("--links", "none", "--ignore-missing")),
]


@pytest.mark.heavy
@pytest.mark.parametrize(("tree", "options"), CHECK_CASES)
def test_check_reports_as_on_one_machine(cluster, tmp_path, tree, options):
    TREES[tree](tmp_path)
    try:
        made = run(["manifest", "tree"], tmp_path)
        (tmp_path / "sums").write_bytes(made.stdout)
        files = change_tree(tmp_path)
        alone = run(["check", *options, "sums"], tmp_path)
        walked = run(["check", "--scheduler", cluster.scheduler_file, *options, "sums"],
                     tmp_path, **({} if tree == "deep-chain" else SPLIT))
    finally:
        unlock(tmp_path)
    assert outcome(walked) == outcome(alone)
    assert alone.returncode == 1
    if options == ("-v",) and files >= 3:
        for state in (b"changed", b"missing", b"added", b"unreadable"):
            # A line of an escaped path starts with a backslash.
            assert re.search(rb"^\\?%s: " % state, alone.stdout, re.MULTILINE), state


@pytest.mark.heavy
def test_check_of_a_tree_that_holds_its_manifest(cluster, tmp_path):
    make_wide_tree(tmp_path / "tree")
    made = run(["manifest", "."], tmp_path / "tree", script='exec "$@" >SHA256SUMS')
    assert made.returncode == 0
    change_tree(tmp_path)
    outcomes = [outcome(run(["check", "-v", *where, "SHA256SUMS"], tmp_path / "tree", **SPLIT))
                for where in ([], ["--scheduler", cluster.scheduler_file])]
    # Every file read for the scrub, each run at its own time: the oldest
    # read is each run's own.
    def timeless(found):
        return found[0], re.sub(rb'"oldest_full_read": "[^"]*"', b"", found[1]), found[2]

    assert timeless(outcomes[0]) == timeless(outcomes[1])
    assert b"SHA256SUMS" not in outcomes[1][1]  # never a file of the tree it lists
    # Read from standard input, with the tree named: the same.
    piped = run(["check", "--scheduler", cluster.scheduler_file, "-v", "-", "."],
                tmp_path / "tree", script='exec "$@" <SHA256SUMS', **SPLIT)
    alone = run(["check", "-v", "-", "."], tmp_path / "tree", script='exec "$@" <SHA256SUMS')
    assert outcome(piped) == outcome(alone)


@pytest.mark.heavy
@pytest.mark.parametrize("path", ["tree/a", "tree", "missing", "fifo", "tree/"])
def test_a_file_a_missing_path_and_a_pipe_as_on_one_machine(cluster, tmp_path, path):
    put(tmp_path / "tree/a", b"a")
    put(tmp_path / "tree/b/c", b"c")
    os.mkfifo(tmp_path / "fifo")
    alone = run(["manifest", path], tmp_path)
    walked = run(["manifest", path], tmp_path, DRIFTMOOR_SCHEDULER=str(cluster.scheduler_file))
    assert outcome(walked) == outcome(alone)


@pytest.mark.heavy
def test_a_manifest_written_into_its_tree_leaves_itself_out(cluster, tmp_path):
    make_wide_tree(tmp_path / "tree")
    outputs = []
    for where in ([], ["--scheduler", cluster.scheduler_file]):
        result = run(["manifest", "-v", *where, "."], tmp_path / "tree",
                     script='exec "$@" >SHA256SUMS', **SPLIT)
        outputs.append((result.returncode, result.stderr,
                        (tmp_path / "tree/SHA256SUMS").read_bytes()))
    assert outputs[0] == outputs[1]
    assert b"./SHA256SUMS: passed over: excluded" in outputs[1][1]


@pytest.mark.heavy
def test_one_file_system_passes_over_mount_points(cluster, tmp_path):
    if not ROOT:
        pytest.skip("mounts a tmpfs")
    put(tmp_path / "tree/a", b"a")
    (tmp_path / "tree/mnt").mkdir()
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", tmp_path / "tree/mnt"],
                   check=True)
    try:
        put(tmp_path / "tree/mnt/m", b"m")
        os.symlink("mnt", tmp_path / "tree/to-mnt")
        for arguments in (["-v", "-x"], ["-v", "-x", "--links", "all"], ["-v"]):
            alone = run(["manifest", *arguments, "tree"], tmp_path)
            walked = run(["manifest", "--scheduler", cluster.scheduler_file, *arguments,
                          "tree"], tmp_path, **SPLIT)
            assert outcome(walked) == outcome(alone)
    finally:
        subprocess.run(["umount", tmp_path / "tree/mnt"], check=True)


TICK = 2.1  # seconds: past the timestamp tick within which a state trusts no file


def state_tree(top):
    """A tree of a few directories whose files are older than the tick."""
    for directory in range(4):
        for file in range(8):
            put(top / f"tree/d{directory}/f{file}", b"%d %d\n" % (directory, file))
    for file in range(8):
        put(top / f"tree/top{file}", b"top %d\n" % file)
    time.sleep(TICK)


@pytest.mark.heavy
def test_a_state_recorded_and_kept_on_a_cluster_as_on_one_machine(cluster, tmp_path):
    state_tree(tmp_path)
    here = run(["manifest", "--state", "here.st", "tree"], tmp_path)
    there = run(["manifest", "--scheduler", cluster.scheduler_file, "--state", "there.st",
                 "tree"], tmp_path, **SPLIT)
    assert outcome(there) == outcome(here)
    (tmp_path / "sums").write_bytes(here.stdout)
    change_tree(tmp_path)
    os.utime(tmp_path / "tree/d1/f0")  # touched: read again, and ok
    os.rename(tmp_path / "tree/top7", tmp_path / "tree/d3/moved")
    # Past the tick again: whether a file read now can be trusted next time
    # does not hang on the moment each run reads it.
    time.sleep(TICK)
    # The state the cluster recorded is as good as the one made here: as
    # many files trusted (the reports but for the date of the oldest read).
    reports = []
    for recorded in ("here.st", "there.st"):
        shutil.copyfile(tmp_path / recorded, tmp_path / "once.st")
        once = run(["check", "-v", "--state", "once.st", "sums"], tmp_path)
        reports.append(re.sub(rb"oldest full read \S+", b"", once.stdout))
    assert reports[0] == reports[1]
    assert re.search(rb"; 3\d trusted by metadata, [1-9] read, 0 scrubbed", reports[0])
    assert b"moved: tree/top7 -> tree/d3/moved\n" in reports[0]
    # A state checked in turns, here and on the cluster from copies of it:
    # the same report at every turn, the scrub's turns included.
    for copy in ("a.st", "b.st"):
        shutil.copyfile(tmp_path / "there.st", tmp_path / copy)
    for turn in range(3):
        alone = run(["check", "-v", "--state", "a.st", "--scrub", "3", "sums"], tmp_path)
        walked = run(["check", "-v", "--scheduler", cluster.scheduler_file, "--state", "b.st",
                      "--scrub", "3", "sums"], tmp_path, **({} if turn else SPLIT))
        assert outcome(walked) == outcome(alone), turn
        assert not re.search(rb", 0 scrubbed", walked.stdout)


@pytest.mark.heavy
def test_damage_under_unchanged_times_is_found_on_a_cluster(cluster, tmp_path, mounted_image):
    image, mount, remount = mounted_image
    marker = b"DRIFTMOOR-CLUSTER-DAMAGE-" + os.urandom(8).hex().encode()
    put(mount / "t/decaying", marker * 64)
    put(mount / "t/sound", b"sound\n")
    time.sleep(TICK)
    made = run(["manifest", "--scheduler", cluster.scheduler_file, "--state", tmp_path / "st",
                "t"], mount)
    assert made.returncode == 0, made.stderr
    (tmp_path / "m").write_bytes(made.stdout)
    remount()  # off: the file system is at rest in its image
    data = bytearray(image.read_bytes())
    data[data.index(marker) + 5] ^= 0x01
    image.write_bytes(bytes(data))
    remount()
    shutil.copyfile(tmp_path / "st", tmp_path / "st-here")
    outcomes = [outcome(run(["check", *where, "--state", tmp_path / state, "--scrub", "1",
                             "--format", "json", tmp_path / "m"], mount))
                for where, state in (([], "st-here"),
                                     (["--scheduler", cluster.scheduler_file], "st"))]
    # Every file read for the scrub, each run at its own time: the oldest
    # read is each run's own.
    def timeless(found):
        return found[0], re.sub(rb'"oldest_full_read": "[^"]*"', b"", found[1]), found[2]

    assert timeless(outcomes[0]) == timeless(outcomes[1])
    report = json.loads(outcomes[1][1])
    assert report["paths"]["t/decaying"]["state"] == "damaged"
    assert report["summary"]["damaged"] == 1


def test_on_a_local_file_system_the_shared_identity_is_the_device_and_inode(tmp_path):
    # What every machine calls a file where no network file system gives it
    # an id of its own: what this one does (st_dev, st_ino), links followed.
    put(tmp_path / "d/f", b"f")
    os.symlink("d/f", tmp_path / "link")
    os.mkfifo(tmp_path / "fifo")
    for name in ("d", "d/f", "link", "fifo", "."):
        found = os.stat(tmp_path / name)
        assert driftmoor_tree.shared_identity(os.fsencode(tmp_path / name)) == (
            found.st_dev, found.st_ino), name
    with pytest.raises(FileNotFoundError):
        driftmoor_tree.shared_identity(os.fsencode(tmp_path / "missing"))


def one_run(*names, digest=b"\x11" * 32):
    """A run of files read, as walk_part makes one: sorted names, a flag
    byte saying read, the digest."""
    return b"".join(len(name).to_bytes(4, "little") + name + b"\x01" + digest
                    for name in sorted(names))


def test_lines_are_written_once_no_part_still_out_can_come_before_them():
    from driftmoor_cli.cluster.merge import Merge

    merge = Merge(b"t", "sha256sum")
    merge.opened(0, b"")
    merge.opened(1, b"a")
    merge.opened(2, b"b")
    # The top's files: t/0first sorts before t/a/, t/top after it.
    merge.done(0, b"", one_run(b"top", b"0first"))
    assert [line[66:] for line in b"".join(merge.lines()).splitlines()] == [b"t/0first"]
    merge.opened(3, b"a/deep")  # handed back by a, before a is done
    merge.done(1, b"a", one_run(b"c", b"z"))
    # t/a/c is final; t/a/z waits for a/deep, which may give t/a/deep/...
    assert [line[66:] for line in b"".join(merge.lines()).splitlines()] == [b"t/a/c"]
    merge.done(3, b"a/deep", one_run(b"y"))
    merge.done(2, b"b", one_run(b"w"))
    assert [line[66:] for line in b"".join(merge.lines()).splitlines()] == [
        b"t/a/deep/y", b"t/a/z", b"t/b/w", b"t/top"]
    assert merge.limit() is None


def test_what_the_native_side_of_a_cluster_refuses(tmp_path):
    put(tmp_path / "tree/a", b"a")
    top = os.fsencode(tmp_path / "tree")
    refused = [
        (ValueError, lambda: driftmoor_tree.walk_part(top, directory=top, name=b"x",
                                                      above=b"\x00" * 15)),
        (ValueError, lambda: driftmoor_tree.walk_part(top, trust=b"\x05\x00")),
        (ValueError, lambda: driftmoor_tree.walk_part(top, depth=-1)),
        (TypeError, lambda: driftmoor_tree.walk_part(top, directory="text")),
        (ValueError, lambda: driftmoor_tree.RunMerge().add(b"t", one_run(b"a")[:-1])),
        (ValueError, lambda: driftmoor_tree.RunMerge().add(
            b"t", one_run(b"b") + one_run(b"a"))),  # out of order
        (ValueError, lambda: driftmoor_tree.RunMerge("md5")),
        (ValueError, lambda: driftmoor_tree.GatheredWalk().add(b"t", b"\x01")),
        (ValueError, lambda: driftmoor_tree.GatheredWalk().leave_out(b"t/x", 99, None, None)),
        (TypeError, lambda: driftmoor_tree.GatheredWalk().leave_out(b"t/x", 0, "2", None)),
        (ValueError, lambda: driftmoor_tree.run_reads(b"t", b"\x09")),
        (TypeError, lambda: driftmoor_tree.TrustTable()),
    ]
    for expected, call in refused:
        with pytest.raises(expected):
            call()
    # A walk gathered once is taken once; a check of no tree takes none.
    walked = driftmoor_tree.GatheredWalk()
    walked.add(b"tree", one_run(b"a"))
    assert len(walked) == 1
    listed = driftmoor_tree.ListedManifest()
    listed.read(b"%s  tree/a\n" % (b"0" * 64))
    listed.seal()
    with pytest.raises(ValueError):
        driftmoor_tree.check(listed, walked=walked)
    driftmoor_tree.check(listed, tree=b"tree", walked_start=b"tree/", walked=walked)
    with pytest.raises(ValueError):
        walked.add(b"tree", one_run(b"b"))


@pytest.mark.parametrize(("arguments", "error"), [
    (["--connect-timeout", "0"], b"--connect-timeout: not a number of seconds above 0: '0'"),
    (["--connect-timeout", "soon"], b"not a number of seconds above 0: 'soon'"),
])
def test_a_connect_timeout_is_seconds_above_zero(tmp_path, arguments, error):
    for subcommand in (["manifest", "--scheduler", "tcp://127.0.0.1:9", *arguments, "."],
                       ["check", "--scheduler", "tcp://127.0.0.1:9", *arguments, "sums"]):
        result = run(subcommand, tmp_path)
        assert (result.returncode, result.stdout) == (2, b"")
        assert error in result.stderr


def walk_in_parts(top, **options):
    """The tree at top walked as a cluster walks it, in one process: every
    directory a part of its own, each part's run merged."""
    merge = driftmoor_tree.RunMerge()
    failures, passed_over = [], []
    parts = [(None, b"", False, b"", 0)]
    while parts:
        directory, name, through_link, above, depth = parts.pop()
        run, files, read, failed, passed, handed, root = driftmoor_tree.walk_part(
            top, directory=directory, name=name, through_link=through_link, above=above,
            depth=depth, most_work=0, **options)
        merge.add(top if directory is None else os.path.join(directory, name), run)
        failures += [(path, kind) for path, kind, code, text in failed]
        passed_over += [(path, kind) for path, kind, code, text in passed]
        parts += handed
    lines = b"".join(iter(lambda: merge.take(None), b""))
    return lines, sorted(failures), sorted(passed_over)


@pytest.mark.parametrize("links", list(driftmoor_tree.LinkRule))
@pytest.mark.parametrize("tree", ["odd", "links", "link-shapes", "deep-chain"])
def test_a_tree_walked_in_parts_is_the_tree_walked_whole(tmp_path, tree, links):
    TREES[tree](tmp_path)
    top = os.fsencode(tmp_path / "tree")
    walked = driftmoor_tree.walk(top, links=links, jobs=2)
    try:
        lines, failures, passed_over = walk_in_parts(top, links=links, jobs=2)
    finally:
        if (tmp_path / "tree/locked").exists():
            os.chmod(tmp_path / "tree/locked", 0o755)
    assert lines == b"".join(driftmoor_tree.manifest_lines(walked.files))
    assert failures == sorted((path, kind) for path, kind, _ in walked.failures)
    assert passed_over == sorted((path, kind) for path, kind, _ in walked.passed_over)


def test_a_program_takes_the_manifest_from_a_local_cluster(tmp_path):
    from driftmoor_cli import check as check_here
    from driftmoor_cli import manifest as manifest_here
    from driftmoor_cli.cluster import manifest

    odd_tree(tmp_path)
    os.chmod(tmp_path / "tree/locked", 0o755)
    (tmp_path / "sums").write_bytes(
        b"".join(driftmoor_tree.manifest_lines(manifest_here(tmp_path / "tree").files)))
    change_tree(tmp_path)
    here = manifest_here(tmp_path / "tree", links="all")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as local, \
            distributed.Client(local) as client:
        walked = manifest(client, tmp_path / "tree", links="all")
        pairs = list(walked)
        checked = check_here(tmp_path / "sums", tmp_path / "tree", client=client)
    assert pairs == sorted(here.files.items())
    assert (walked.failures, walked.passed_over, walked.root) == (
        here.failures, here.passed_over, here.root)
    entries = [repr(entry) for entry in check_here(tmp_path / "sums", tmp_path / "tree").entries()]
    assert [repr(entry) for entry in checked.entries()] == entries
    assert {"changed", "missing", "added"} <= {entry.state for entry in checked.entries()}


def sparse_tree(top, directories=8, size=128 << 20):
    """Directories each holding a large sparse file (quick to make, a while
    to read) and small files: parts that take long enough to be seen at
    work."""
    for directory in range(directories):
        for index in range(40):
            put(top / f"tree/d{directory}/small{index}", b"%d" % index)
        with open(top / f"tree/d{directory}/large", "wb") as large:
            large.truncate(size)


def processing_on(client, worker):
    processing = client.processing(workers=[worker]).get(worker, ())
    return [key for key in processing if str(key).startswith("driftmoor-part")]


@pytest.mark.heavy
def test_a_worker_killed_mid_run_changes_nothing(tmp_path):
    sparse_tree(tmp_path)
    alone = run(["manifest", "tree"], tmp_path)
    assert alone.returncode == 0
    (tmp_path / "home").mkdir()
    cluster = running_cluster(tmp_path / "home")
    try:
        victim = cluster.processes[-1]
        with cluster.client() as client:
            # The worker runs in its nanny's process group.
            victim_address = next(address for address, group in client.run(os.getpgrp).items()
                                  if group == victim.pid)
            command = popen(["manifest", "--scheduler", cluster.scheduler_file, "tree"],
                            tmp_path)
            deadline = time.monotonic() + 60
            while not processing_on(client, victim_address):
                assert time.monotonic() < deadline and command.poll() is None, \
                    "the victim never got a part"
                time.sleep(0.01)
            os.killpg(victim.pid, signal.SIGKILL)
            stdout, stderr = command.communicate(timeout=120)
    finally:
        cluster.stop()
    assert (command.returncode, stdout, stderr) == outcome(alone)


def wait_for_a_part(client, command):
    """Returns once a worker runs one of the command's parts."""
    deadline = time.monotonic() + 60
    while not any(str(key).startswith("driftmoor-part")
                  for keys in client.processing().values() for key in keys):
        assert time.monotonic() < deadline and command.poll() is None
        time.sleep(0.01)


@pytest.mark.heavy
def test_a_scheduler_left_without_workers_ends_the_run_in_one_line(tmp_path):
    sparse_tree(tmp_path)
    (tmp_path / "home").mkdir()
    cluster = running_cluster(tmp_path / "home")
    try:
        command = popen(["manifest", "--scheduler", cluster.scheduler_file, "tree"], tmp_path,
                        DRIFTMOOR_WORKERLESS_SECONDS="2", **SPLIT)
        with cluster.client() as client:
            wait_for_a_part(client, command)
        for worker in cluster.processes[1:]:
            os.killpg(worker.pid, signal.SIGKILL)
        stdout, stderr = command.communicate(timeout=60)
    finally:
        cluster.stop()
    assert command.returncode == 2
    assert stderr.endswith(b"driftmoor: the scheduler has had no workers for 2 seconds\n")
    assert stderr.count(b"\n") == 1


def cluster_command(subcommand, top, scheduler):
    """The command line of `subcommand` on the tree at top/tree; for check,
    with a manifest of its first regular file."""
    if subcommand == "manifest":
        return ["manifest", "--scheduler", scheduler, "tree"]
    first = regular_files(top / "tree")[0]
    digest = hashlib.sha256(first.read_bytes()).hexdigest()
    (top / "sums").write_bytes(b"%s  %s\n" % (digest.encode(),
                                               os.fsencode(first.relative_to(top))))
    return ["check", "--scheduler", scheduler, "sums"]


def test_a_scheduler_that_cannot_be_reached_is_one_line_in_bounded_time(tmp_path):
    put(tmp_path / "tree/a", b"a")
    started = time.monotonic()
    # A port nothing listens on: the connection is refused, again and again;
    # both subcommands at once.
    commands = [popen([*cluster_command(subcommand, tmp_path, "tcp://127.0.0.1:9"),
                       "--connect-timeout", "2"], tmp_path) for subcommand in ("manifest", "check")]
    outcomes = [(command.wait(timeout=60), *command.communicate()) for command in commands]
    assert time.monotonic() - started < 30
    for status, stdout, stderr in outcomes:
        assert (status, stdout) == (2, b"")
        assert stderr.startswith(b"driftmoor: cannot reach the scheduler at tcp://127.0.0.1:9: ")
        assert stderr.count(b"\n") == 1


@pytest.mark.heavy
def test_a_worker_that_cannot_see_the_tree_is_named_and_nothing_is_written(cluster, tmp_path):
    put(tmp_path / "tree/a", b"a")
    # A worker whose view of the file system has a fresh tmpfs over the
    # tree's folder: the same path holds nothing there.
    hide = ["unshare", "--mount", "--propagation", "private", *([] if ROOT else [
        "--user", "--map-root-user"]), "sh", "-c",
        f'mount -t tmpfs tmpfs "{tmp_path}" && exec "$@"', "sh"]
    if subprocess.run([*hide, "true"], capture_output=True).returncode != 0:
        pytest.skip("no mount namespace can be made here")
    blind = cluster.start_worker(prefix=hide)
    try:
        cluster.wait_for_workers(3)
        results = [run(cluster_command(subcommand, tmp_path, cluster.scheduler_file), tmp_path)
                   for subcommand in ("manifest", "check")]
    finally:
        stop(blind)
        cluster.wait_for_workers(2)
    for result in results:
        assert (result.returncode, result.stdout) == (2, b"")
        assert result.stderr.startswith(b"driftmoor: worker tcp://127.0.0.1:")
        assert result.stderr.endswith(b" cannot see %s/tree: No such file or directory "
                                      b"(os error 2)\n" % os.fsencode(tmp_path))
        assert result.stderr.count(b"\n") == 1


@pytest.mark.heavy
@pytest.mark.parametrize("subcommand", ["manifest", "check"])
def test_ctrl_c_cancels_the_clusters_tasks(cluster, tmp_path, subcommand):
    sparse_tree(tmp_path, directories=12, size=256 << 20)
    command = popen(cluster_command(subcommand, tmp_path, cluster.scheduler_file), tmp_path,
                    **SPLIT)
    with cluster.client() as client:
        wait_for_a_part(client, command)
        command.send_signal(signal.SIGINT)
        stdout, stderr = command.communicate(timeout=60)
        assert (command.returncode, stdout) == (130, b"")
        assert stderr.endswith(b"driftmoor: interrupted\n")
        # Nothing of the run is left on the scheduler.
        deadline = time.monotonic() + 30
        while client.run_on_scheduler(lambda dask_scheduler: [
                key for key in dask_scheduler.tasks if str(key).startswith("driftmoor-part")]):
            assert time.monotonic() < deadline, "the run's tasks stayed"
            time.sleep(0.05)


def test_without_dask_the_option_says_what_to_install(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--without-pip", venv], check=True)
    # The modules and the command's package, and nothing else.
    env = command_env(PYTHONPATH=os.pathsep.join(
        [str(Path(driftmoor_tree.__file__).parent), str(Path(__file__).parents[2] / "python")]))
    result = subprocess.run(
        [venv / "bin/python", "-c", "import sys; from driftmoor_cli import main; "
         "sys.exit(main())", "manifest", "--scheduler", "tcp://127.0.0.1:9", "."],
        capture_output=True, env=env, cwd=tmp_path, timeout=60)
    assert outcome(result) == (2, b"", b"driftmoor: --scheduler needs Dask's distributed "
                               b"scheduler: pip install 'driftmoor[distributed]'\n")
