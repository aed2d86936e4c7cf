"""`driftmoor manifest --scheduler` on a Dask cluster of this machine, against
the command alone, and the figures the README's model of N machines takes.

    .venv/bin/python bench/cluster_bench.py            # 100,000 files, ~5 minutes
    .venv/bin/python bench/cluster_bench.py --quick    # 20,000 files
    .venv/bin/python bench/cluster_bench.py --memory   # and the 1,000,000-file peaks

The cluster: a `dask scheduler` and two `dask worker --nthreads 1` processes
on 127.0.0.1, each in a session of its own, stopped by process group when
the benchmark ends. The tree: N files of up to 4 KiB in N/100 folders
(manifest_bench.py's wide tree), warm in the page cache.

1. Overhead: `manifest --scheduler -j 1` (each part on one thread of one of
   the two workers) against `manifest --jobs 2` alone, as whole processes,
   output thrown away; rounds alternate, each keeps its best. Each also on
   a tree of one file: what a run costs whatever the tree (the client
   importing Dask, about a second here, and reaching the scheduler), taken
   off to give the engine's own cost. Target: the cluster within 1.3x of
   the command alone.
2. A worker killed: the same run with one worker's process group SIGKILLed
   at half the undisturbed run's time, against the undisturbed run (a fresh
   worker joins before every round). Target: at most 2x.
3. The client's merge alone: RunMerge fed the runs of 1,000 parts of 1,000
   files and drained to lines, in lines per second. Target: 2,000,000/s.
4. The scheduler's cost per task: 2,000 tasks that do nothing, submitted
   and gathered, in milliseconds per task; and the bytes per file of a
   part's run (what travels back per line).
5. With --memory: the client's peak resident set (/usr/bin/time) for the
   manifest of a 1,000,000-file tree on the cluster against the command
   alone, one round each (the tree takes a few minutes to make).
"""

import argparse
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

import driftmoor_tree

from manifest_bench import make_wide_tree
from timing import alternate, print_table

DRIFTMOOR = os.path.join(os.path.dirname(sys.executable), "driftmoor")


class Cluster:
    """A scheduler and workers of this interpreter, each in its own session."""

    def __init__(self, home):
        self.home = home
        self.scheduler_file = os.path.join(home, "scheduler.json")
        self.scheduler = self._start(["scheduler", "--host", "127.0.0.1", "--port", "0",
                                      "--no-dashboard", "--scheduler-file",
                                      self.scheduler_file], "scheduler")
        deadline = time.monotonic() + 60
        while not os.path.exists(self.scheduler_file):
            if time.monotonic() > deadline:
                raise RuntimeError("the scheduler did not start")
            time.sleep(0.05)
        self.workers = []

    def _start(self, arguments, name):
        with open(os.path.join(self.home, f"{name}.log"), "ab") as log:
            return subprocess.Popen([sys.executable, "-m", "dask", *arguments],
                                    cwd=self.home, stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=log, start_new_session=True)

    def add_worker(self):
        self.workers.append(self._start(["worker", "--scheduler-file", self.scheduler_file,
                                         "--nthreads", "1", "--no-dashboard"],
                                        f"worker{len(self.workers)}"))

    def wait_for(self, count):
        import distributed

        with distributed.Client(scheduler_file=self.scheduler_file, timeout=60,
                                set_as_default=False) as client:
            client.wait_for_workers(count, timeout=60)
            while len(client.scheduler_info(n_workers=-1)["workers"]) != count:
                time.sleep(0.05)

    def kill(self, process):
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(process.pid, sig)
            except ProcessLookupError:
                return
            try:
                process.wait(timeout=10)
                return
            except subprocess.TimeoutExpired:
                continue

    def stop(self):
        for process in [*reversed(self.workers), self.scheduler]:
            self.kill(process)


def command(*arguments, cwd):
    subprocess.run([DRIFTMOOR, *arguments], cwd=cwd, check=True, stdout=subprocess.DEVNULL)


def best(seconds):
    return min(seconds)


def overhead(cluster, top, rounds):
    """The best times of each run on the tree, and on a tree of one file
    (what a run costs whatever the tree: starting, importing Dask, reaching
    the scheduler)."""
    def runs(tree):
        return {
            f"alone --jobs 2 {tree}": lambda: command("manifest", "--jobs", "2", tree, cwd=top),
            f"cluster -j 1 {tree}": lambda: command(
                "manifest", "--scheduler", cluster.scheduler_file, "-j", "1", tree, cwd=top),
        }
    seconds = alternate({**runs("tree"), **runs("one")}, rounds)
    return {name: best(times) for name, times in seconds.items()}


def killed_at_half(cluster, top, undisturbed, rounds):
    """The cluster run with a worker killed at half the undisturbed time;
    a fresh worker replaces it before the next round."""
    times = []
    for _ in range(rounds):
        victim = cluster.workers[-1]
        timer = threading.Timer(undisturbed / 2, cluster.kill, (victim,))
        started = time.perf_counter()
        timer.start()
        command("manifest", "--scheduler", cluster.scheduler_file, "-j", "1", "tree", cwd=top)
        times.append(time.perf_counter() - started)
        timer.cancel()
        cluster.kill(victim)
        cluster.workers.remove(victim)
        cluster.add_worker()
        cluster.wait_for(2)
    return best(times)


def merge_rate(rounds):
    """Lines per second of RunMerge: 1,000 runs of 1,000 files merged."""
    runs = []
    for part in range(1000):
        names = sorted(b"file-%07d.dat" % (part * 1000 + index) for index in range(1000))
        digest = bytes(range(32))
        runs.append((b"tree/d%04d" % part, b"".join(
            len(name).to_bytes(4, "little") + name + b"\x01" + digest for name in names)))
    seconds = []
    for _ in range(rounds):
        merge = driftmoor_tree.RunMerge()
        started = time.perf_counter()
        for directory, run in runs:
            merge.add(directory, run)
        lines = 0
        while chunk := merge.take(None):
            lines += chunk.count(b"\n")
        seconds.append(time.perf_counter() - started)
        assert lines == 1_000_000
    return 1_000_000 / best(seconds)


def task_cost(cluster):
    import distributed

    with distributed.Client(scheduler_file=cluster.scheduler_file,
                            set_as_default=False) as client:
        client.gather(client.map(int, range(50), pure=False))  # warm
        tasks = 2000
        started = time.perf_counter()
        client.gather(client.map(int, range(tasks), pure=False))
        return (time.perf_counter() - started) / tasks * 1000


def bytes_per_line(top):
    run, files, *_ = driftmoor_tree.walk_part(os.fsencode(os.path.join(top, "tree")))
    return len(run) / files


def peak_kib(arguments, cwd):
    result = subprocess.run(["/usr/bin/time", "-f", "%M", DRIFTMOOR, *arguments], cwd=cwd,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int(result.stderr.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--memory", action="store_true")
    parser.add_argument("--rounds", type=int, default=5)
    arguments = parser.parse_args()
    files = 20_000 if arguments.quick else 100_000
    with tempfile.TemporaryDirectory() as top:
        make_wide_tree(os.path.join(top, "tree"), files, files // 100, 4096)
        with open(os.path.join(top, "one"), "wb") as one:
            one.write(b"one\n")
        command("manifest", "tree", cwd=top)  # warm the page cache
        home = os.path.join(top, "home")
        os.mkdir(home)
        cluster = Cluster(home)
        try:
            cluster.add_worker()
            cluster.add_worker()
            cluster.wait_for(2)
            best_of = overhead(cluster, top, arguments.rounds)
            alone, walked = best_of["alone --jobs 2 tree"], best_of["cluster -j 1 tree"]
            alone_fixed, walked_fixed = best_of["alone --jobs 2 one"], best_of["cluster -j 1 one"]
            print(f"manifest of {files:,} files, best of {arguments.rounds} alternating rounds")
            print_table(["run", "seconds", "one file", "files/s past the start"], [
                ["alone --jobs 2", f"{alone:.2f}", f"{alone_fixed:.2f}",
                 f"{files / (alone - alone_fixed):,.0f}"],
                ["2 workers x 1 thread", f"{walked:.2f}", f"{walked_fixed:.2f}",
                 f"{files / (walked - walked_fixed):,.0f}"],
            ])
            print(f"cluster / alone: {walked / alone:.2f}x whole runs; "
                  f"{(walked - walked_fixed) / (alone - alone_fixed):.2f}x past the start, "
                  "the engine's own (target <= 1.3x)\n")
            killed = killed_at_half(cluster, top, walked, max(arguments.rounds // 2, 1))
            print(f"a worker killed at half time: {killed:.2f} s, "
                  f"{killed / walked:.2f}x the undisturbed run (target <= 2x)\n")
            print(f"scheduler: {task_cost(cluster):.2f} ms per task (2,000 empty tasks)")
            print(f"a part's run: {bytes_per_line(top):.1f} bytes per file")
            print(f"client's merge: {merge_rate(arguments.rounds):,.0f} lines/s "
                  "(1,000 runs of 1,000 files; target >= 2,000,000)")
            if arguments.memory:
                big = os.path.join(top, "big")
                os.mkdir(big)
                make_wide_tree(os.path.join(big, "tree"), 1_000_000, 10_000, 16)
                here = peak_kib(["manifest", "tree"], big)
                there = peak_kib(["manifest", "--scheduler", cluster.scheduler_file, "tree"],
                                 big)
                print(f"\npeak resident set, manifest of 1,000,000 files: alone {here:,} KiB, "
                      f"cluster client {there:,} KiB ({there / here:.2f}x)")
        finally:
            cluster.stop()


if __name__ == "__main__":
    main()
