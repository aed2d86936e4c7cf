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
# With --arch ARCH (a Debian architecture other than the machine's, such as
# arm64), the release interpreter of that architecture, in a private copy of
# its own ($DRIFTMOOR_CACHE/python3.14-ARCH), run under qemu-user: see below.
#
# Usage: tools/provision_python.sh [--debug | --arch ARCH]
#
# Why the private copy works the way it does: Debian's stable releases stop at
# 3.13, and unstable's python3.14 is built against a newer glibc. Installing
# those packages system-wide would upgrade libc6 and remove libssl3, so we only
# *download* them with a private apt configuration and unpack them into one
# folder, together with the newer C library they need. Which packages those
# are is apt's answer for unstable as it is today (`apt-get install
# --download-only` against an empty package database), not a list kept here,
# so renamed or new library packages come along by themselves; the versions
# taken are printed. The interpreter binary is then pointed at that folder's
# dynamic loader and libraries with patchelf (the paths from dpkg-architecture
# and from the binary itself).
#
# The copy is finished like an installed one: its ensurepip takes the pip
# wheel unpacked with it (not the system's, which may be too old for 3.14), so
# `python3.14 -m venv` gives a venv with pip; and its standard library is
# compiled to bytecode once, as Debian's own install step does, so that no
# start of a program pays for compiling it (this matters where
# PYTHONDONTWRITEBYTECODE is set, and nothing would ever be cached). A copy
# provisioned before those steps existed gets them on the next run.
#
# An interpreter of another architecture is unpacked the same way, from that
# architecture's packages (apt told the architecture, the sources line limited
# to it). The machine cannot run it, and this one may have no binfmt_misc
# handler that would start qemu for it, so qemu-user is invoked explicitly: the
# ELF binary is renamed (python3.14.elf) and python3.14 becomes a small script
# that runs it under qemu-<cpu>-static, with the script's own path as the
# program's argv[0]. Python takes sys.executable from argv[0], so virtual
# environments made from it, their console scripts and every subprocess that
# starts sys.executable go through the script, and so through qemu, too. The
# CPU model is QEMU_CPU's, "max" when unset (for arm64, one with the SHA2
# extension).
#
# Nothing outside the cache folder is changed, except that patchelf and
# dpkg-dev (dpkg-architecture), and for --arch qemu-user-static, are installed
# from Debian when missing.
set -euo pipefail

debug=0
arch=
if [ $# = 1 ] && [ "$1" = --debug ]; then
  debug=1
elif [ $# = 2 ] && [ "$1" = --arch ] && [ -n "$2" ]; then
  # The machine's own architecture is no other.
  [ "$2" = "$(dpkg --print-architecture)" ] || arch=$2
elif [ $# != 0 ]; then
  echo "usage: tools/provision_python.sh [--debug | --arch ARCH]" >&2
  exit 2
fi

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${DRIFTMOOR_CACHE:-$here/.cache}
# The loader's path is written into the interpreter, so it must not run
# through a link (.cache may be one, into another checkout's cache).
mkdir -p "$cache"
cache=$(cd "$cache" && pwd -P)
if [ -n "$arch" ]; then
  # Never an interpreter from PATH: that one is the machine's.
  flavour=python3.14-$arch
  candidates=()
  interpreter_name=python3.14
  flavour_packages=()
elif [ $debug = 1 ]; then
  # CMake's FindPython takes the ABI from the first "python3.14..." in the
  # include folder's path, so this folder must be named for the debug ABI.
  flavour=python3.14d
  candidates=("$(command -v python3.14d || true)")
  interpreter_name=python3.14d
  flavour_packages=(python3.14-dbg)
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

for candidate in ${candidates[@]+"${candidates[@]}"}; do
  if [ -n "$candidate" ] && usable "$candidate"; then
    command -v "$candidate"
    exit 0
  fi
done

install_missing_tools() { # command=package...
  local pair missing=()
  for pair in "$@"; do
    command -v "${pair%%=*}" >/dev/null 2>&1 || missing+=("${pair#*=}")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]} from Debian"
    apt-get -q update >&2
    DEBIAN_FRONTEND=noninteractive apt-get -q install -y --no-install-recommends "${missing[@]}" >&2
  fi
}

# The steps that make the unpacked copy behave as an installed one; each
# checks first, so an older copy is brought up to date in place.
finish_copy() {
  # Another architecture's copy is also the root that qemu's -L (QEMU_LD_PREFIX)
  # takes for other programs of that architecture, whose loader is named under
  # /lib: merged into /usr, as on Debian.
  if [ -n "$arch" ] && [ ! -e "$root/lib" ]; then
    ln -s usr/lib "$root/lib"
  fi
  # ensurepip looks for pip's wheel in the folder the build configured
  # (WHEEL_PKG_DIR, Debian's /usr/share/python-wheels): this copy's own.
  local config
  for config in "$root"/usr/lib/python3.14/_sysconfigdata_*.py; do
    if grep -q "'WHEEL_PKG_DIR': '/usr/share/python-wheels/'" "$config"; then
      sed -i "s|'WHEEL_PKG_DIR': '/usr/share/python-wheels/'|'WHEEL_PKG_DIR': '$root/usr/share/python-wheels/'|" \
        "$config"
    fi
  done
  local bytecode=$cache/$flavour/.bytecode
  if [ ! -f "$bytecode" ]; then
    log "compiling the standard library to bytecode"
    # -E: PYTHONPATH and the like of the caller play no part.
    "$interpreter" -E -m compileall -q -j 0 "$root/usr/lib/python3.14" >&2
    touch "$bytecode"
  fi
}

# A finished private copy is marked by a stamp written as the very last step
# of its unpacking, so an interrupted run is redone rather than half-trusted.
if [ -f "$cache/$flavour/.complete" ] && usable "$interpreter"; then
  finish_copy
  echo "$interpreter"
  exit 0
fi

install_missing_tools patchelf=patchelf dpkg-architecture=dpkg-dev
if [ -n "$arch" ]; then
  apt_arch=$arch
  multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH)
  qemu=qemu-$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_CPU)-static
  install_missing_tools "$qemu=qemu-user-static"
else
  apt_arch=$(dpkg --print-architecture)
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  qemu=
fi

log "provisioning a private $flavour into $cache/$flavour"
rm -rf "${cache:?}/$flavour"
work=$cache/$flavour/apt
mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$root"
: >"$work/status"

# The archive URI of the system's own Debian sources: the deb822 form
# (debian.sources, Debian 12 and 13) or the one-line form. Security and
# update archives are skipped; the main archive is the one that carries sid.
# A form with no match is no failure (grep's status is, under pipefail).
archive=$(
  { cat /etc/apt/sources.list.d/*.sources 2>/dev/null || true; } |
    awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) print $i }' |
    grep -v -- '-security' | grep -i debian | head -n 1 || true
)
if [ -z "$archive" ]; then
  archive=$(
    { cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null || true; } |
      awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; break } }' |
      grep -v -- '-security' | grep -i debian | head -n 1 || true
  )
fi
archive=${archive:-http://deb.debian.org/debian}
log "using archive $archive (suite sid)"
echo "deb [arch=$apt_arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $archive sid main" \
  >"$work/sources.list"

# apt on its own files: the sources above, its own lists and downloads, and an
# empty package database, so that it resolves every dependency down to the C
# library as if nothing were installed. The system's pinning plays no part.
apt_private=(
  -o "Dir::Etc::SourceList=$work/sources.list"
  -o "Dir::Etc::SourceParts=/dev/null"
  -o "Dir::Etc::Preferences=/dev/null"
  -o "Dir::Etc::PreferencesParts=/dev/null"
  -o "Dir::State::Lists=$work/lists"
  -o "Dir::State::status=$work/status"
  -o "Dir::Cache=$work/cache"
  -o "APT::Architecture=$apt_arch"
  -o "APT::Architectures=$apt_arch"
  -o "APT::Sandbox::User=root"
  -o "APT::Install-Recommends=false"
  -o "Debug::NoLocking=true"
  -q
)
apt-get "${apt_private[@]}" update >&2

# The interpreter, its headers, venv and ensurepip (with the pip wheel), and
# for --debug the debug build; apt adds the libraries they need.
packages=(python3.14 python3.14-dev python3.14-venv "${flavour_packages[@]}")
apt-get "${apt_private[@]}" install --download-only -y "${packages[@]}" >&2
debs=("$work"/cache/archives/*.deb)
log "taking ${#debs[@]} packages from sid:"
for deb in "${debs[@]}"; do
  dpkg-deb --show --showformat='  ${Package} ${Version}\n' "$deb" >&2
  dpkg-deb -x "$deb" "$root"
done

# The loader the binary names (ld-linux-x86-64.so.2 here), taken from the
# multiarch library folder of the copy.
loader=$root/usr/lib/$multiarch/$(basename "$(patchelf --print-interpreter "$interpreter")")
[ -e "$loader" ] || { log "no dynamic loader at $loader"; exit 1; }
# The RPATH must be set before the interpreter: the other order produced a
# binary that crashed at start. --force-rpath writes DT_RPATH rather than
# DT_RUNPATH, because only DT_RPATH also applies to the libraries that
# extension modules in lib-dynload (such as _ssl) pull in.
patchelf --force-rpath --set-rpath "\$ORIGIN/../lib/$multiarch" "$interpreter"
patchelf --set-interpreter "$loader" "$interpreter"
if [ -n "$qemu" ]; then
  mv "$interpreter" "$interpreter.elf"
  printf '#!/bin/sh\nexec %s -cpu "${QEMU_CPU:-max}" -0 "$0" %s "$@"\n' \
    "$(command -v "$qemu")" "$interpreter.elf" >"$interpreter"
  chmod +x "$interpreter"
fi

usable "$interpreter" || { log "the unpacked interpreter does not start"; exit 1; }
rm -rf "$work"
touch "$cache/$flavour/.complete"
finish_copy
log "done: $("$interpreter" -VV | head -n 1)"
echo "$interpreter"
