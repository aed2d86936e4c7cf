"""The plain-Python walker: the reference the manifest benchmarks measure
driftmoor against (the fastest plain Python we know for the job), and the
reference the tests compare calculate_directory_manifest with. It walks as
the module does:

- links are followed, and a directory already on the way down (a link back
  to an ancestor) is passed over, so every walk ends;
- only regular files are read (pipes, sockets and devices are never opened),
  each with an unbuffered open and one read, hashed by hashlib;
- a key is `top` as written, then "/" and a name per level, and only a path
  that is valid UTF-8 has one;
- a file that cannot be opened or read is left out, unless the process ran
  out of descriptors or memory, which ends the walk with that OSError;
- a directory that cannot be listed ends the walk with its OSError; one gone
  (or turned into something else) since its parent was listed holds nothing;
- a `top` that is not a directory gives {}; one that cannot be examined at
  all raises the OSError of its stat (where the module raises its own
  FileNotFoundError).

File types come from the directory entries (os.scandir), so only links cost
a stat. Each directory is opened once and its files are opened relative to
it, so no long path is looked up again from the top; it is closed before the
walk goes below it, so a deep tree holds no descriptors.
"""

import errno
import hashlib
import os
import stat

# Failures that say nothing about the file at hand.
EXHAUSTED = (errno.EMFILE, errno.ENFILE, errno.ENOMEM)


def python_walker(top):
    """The manifest of the directory `top` (str or bytes): path str -> digest."""
    manifest = {}
    top = os.fsdecode(top)
    if not stat.S_ISDIR(os.stat(top).st_mode):
        return manifest
    way_down = set()  # the identities of the directories being walked
    # Depth first: for each directory on the way down, its identity and the
    # paths of its subdirectories not yet walked.
    levels = []

    def enter(path):
        try:
            descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except (FileNotFoundError, NotADirectoryError):
            if not levels:
                raise
            return  # gone since its parent was listed: nothing below it
        try:
            status = os.fstat(descriptor)
            identity = (status.st_dev, status.st_ino)
            if identity in way_down:
                return
            prefix = path if path.endswith("/") else path + "/"
            below = []
            with os.scandir(descriptor) as listing:
                for entry in listing:
                    try:
                        if entry.is_file():
                            key = prefix + entry.name
                            # A name that is not UTF-8 holds surrogates here.
                            key.encode()
                            file = os.open(entry.name, os.O_RDONLY | os.O_CLOEXEC,
                                           dir_fd=descriptor)
                            with open(file, "rb", buffering=0) as file:
                                manifest[key] = hashlib.sha256(file.read()).hexdigest()
                        elif entry.is_dir():
                            below.append(prefix + entry.name)
                    except UnicodeEncodeError:
                        pass
                    except OSError as error:
                        # A looping link, an entry gone, a file that cannot
                        # be read: left out.
                        if error.errno in EXHAUSTED:
                            raise
        finally:
            os.close(descriptor)
        way_down.add(identity)
        levels.append((identity, iter(below)))

    enter(top)
    while levels:
        identity, below = levels[-1]
        path = next(below, None)
        if path is None:
            levels.pop()
            way_down.discard(identity)
        else:
            enter(path)
    return manifest
