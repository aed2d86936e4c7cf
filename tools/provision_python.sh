#!/usr/bin/env bash
# Finds or provisions a CPython 3.14 with its development headers, and prints
# the interpreter's absolute path on standard output (progress goes to stderr).
#
# Order of preference:
#   1. $PYTHON, if it names a CPython 3.14 whose headers are installed;
#   2. python3.14 on PATH, under the same condition;
#   3. a private copy unpacked from Debian's unstable suite into
#      $DRIFTMOOR_CACHE (default: .cache/ in the checkout, ignored by git).
#
# With --debug, the same for the debug build of the interpreter (Py_DEBUG,
# Debian's python3.14-dbg, run as python3.14d): python3.14d on PATH, or a
# private copy of its own in $DRIFTMOOR_CACHE/python3.14d, unpacked beside
# the release packages of the same version, whose headers it shares.
#
# Usage: tools/provision_python.sh [--debug]
#
# Why the private copy works the way it does: Debian's stable releases stop at
# 3.13, and unstable's python3.14 is built against a newer glibc. Installing
# those packages system-wide would upgrade libc6 and remove libssl3, so we only
# *download* them with a private apt configuration and unpack them into one
# folder, together with the newer C library they need. The interpreter binary
# is then pointed at that folder's dynamic loader and libraries with patchelf.
# Nothing outside the cache folder is changed, except that patchelf is
# installed from Debian when missing.
set -euo pipefail

debug=0
case ${1:-} in
  --debug) debug=1 ;;
  "") ;;
  *)
    echo "usage: tools/provision_python.sh [--debug]" >&2
    exit 2
    ;;
esac

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${DRIFTMOOR_CACHE:-$here/.cache}
# The loader's path is written into the interpreter, so it must not run
# through a link (.cache may be one, into another checkout's cache).
mkdir -p "$cache"
cache=$(cd "$cache" && pwd -P)
if [ $debug = 1 ]; then
  # CMake's FindPython takes the ABI from the first "python3.14..." in the
  # include folder's path, so this folder must be named for the debug ABI.
  flavour=python3.14d
  candidates=("$(command -v python3.14d || true)")
  interpreter_name=python3.14d
  flavour_packages=(python3.14-dbg libpython3.14-dbg)
else
  flavour=python3.14
  candidates=("${PYTHON:-}" "$(command -v python3.14 || true)")
  interpreter_name=python3.14
  flavour_packages=()
fi
root=$cache/$flavour/root
interpreter=$root/usr/bin/$interpreter_name

log() { printf 'provision_python: %s\n' "$*" >&2; }

# A usable interpreter reports 3.14 and has Python.h where sysconfig says;
# a debug one also keeps the total reference count.
usable() {
  "$1" - $debug <<'PY' >/dev/null 2>&1
import os, sys, sysconfig
assert sys.version_info[:2] == (3, 14)
assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))
assert hasattr(sys, "gettotalrefcount") == (sys.argv[1] == "1")
PY
}

for candidate in "${candidates[@]}"; do
  if [ -n "$candidate" ] && usable "$candidate"; then
    command -v "$candidate"
    exit 0
  fi
done

# A finished private copy is marked by a stamp written as the very last step,
# so an interrupted run is redone rather than half-trusted.
if [ -f "$cache/$flavour/.complete" ] && usable "$interpreter"; then
  echo "$interpreter"
  exit 0
fi

log "provisioning a private $flavour into $cache/$flavour"
rm -rf "${cache:?}/$flavour"
work=$cache/$flavour/apt
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/debs" "$root"

# The archive URI of the system's own Debian sources: the deb822 form
# (debian.sources, Debian 12 and 13) or the one-line form. Security and
# update archives are skipped; the main archive is the one that carries sid.
archive=$(
  { cat /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } |
    awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) print $i }' |
    grep -v -- '-security' | grep -i debian | head -n 1
)
if [ -z "$archive" ]; then
  archive=$(
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
      awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' |
      grep -v -- '-security' | grep -i debian | head -n 1
  )
fi
archive=${archive:-http://deb.debian.org/debian}
log "using archive $archive (suite sid)"
echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive sid main" \
  >"$work/sources.list"

apt_private=(
  -o "Dir::Etc::SourceList=$work/sources.list"
  -o "Dir::Etc::SourceParts=/dev/null"
  -o "Dir::State::Lists=$work/lists"
  -o "Dir::Cache=$work/cache"
  -o "APT::Sandbox::User=root"
  -q
)
apt-get "${apt_private[@]}" update >&2

packages=(
  python3.14 python3.14-minimal libpython3.14 libpython3.14-minimal
  libpython3.14-stdlib libpython3.14-dev python3.14-dev python3.14-venv
  python3-pip-whl python3-setuptools-whl
  # The interpreter's run-time libraries, in the versions it was built against.
  libc6 zlib1g libexpat1 libssl3t64 libzstd1 libuuid1 libtinfo6 libsqlite3-0
  libreadline8t64 libncursesw6 liblzma5 libffi8 libdb5.3t64 libbz2-1.0
  "${flavour_packages[@]}"
)
(cd "$work/debs" && apt-get "${apt_private[@]}" download "${packages[@]}" >&2)
for deb in "$work/debs"/*.deb; do
  dpkg-deb -x "$deb" "$root"
done

if ! command -v patchelf >/dev/null 2>&1; then
  log "installing patchelf from Debian"
  apt-get -q update >&2
  DEBIAN_FRONTEND=noninteractive apt-get -q install -y --no-install-recommends patchelf >&2
fi
# The RPATH must be set before the interpreter: the other order produced a
# binary that crashed at start. --force-rpath writes DT_RPATH rather than
# DT_RUNPATH, because only DT_RPATH also applies to the libraries that
# extension modules in lib-dynload (such as _ssl) pull in.
patchelf --force-rpath --set-rpath '$ORIGIN/../lib/x86_64-linux-gnu' "$interpreter"
patchelf --set-interpreter "$root/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2" "$interpreter"

usable "$interpreter" || { log "the unpacked interpreter does not start"; exit 1; }
rm -rf "$work"
touch "$cache/$flavour/.complete"
log "done: $("$interpreter" -VV | head -n 1)"
echo "$interpreter"
