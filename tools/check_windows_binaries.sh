#!/usr/bin/env bash
# Checks the Windows build's binaries by their PE headers (objdump -p):
#   - each imports only DLLs that are part of Windows (and of wine): the C++
#     runtime, libgcc and winpthreads must be linked in, or the program does
#     not even start; the extension module also imports python314.dll;
#   - the extension module of the link check exports PyInit_driftmoor and
#     nothing else, and takes from python314.dll exactly what
#     tools/windows_link_check/python314.def lists, so that list stays true.
#
# Usage: tools/check_windows_binaries.sh [BUILD_DIR]   (default: build/windows)
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$top/build/windows}
objdump=x86_64-w64-mingw32-objdump
system_dlls=(kernel32.dll ntdll.dll msvcrt.dll advapi32.dll bcrypt.dll)
module=$build/link-check/driftmoor.cp314-win_amd64.pyd
failed=0
fail() {
    printf 'check_windows_binaries: %s\n' "$*" >&2
    failed=1
}

imported_dlls() { # binary
    "$objdump" -p "$1" | sed -n 's/^\tDLL Name: //p' | tr '[:upper:]' '[:lower:]'
}
imported_names() { # binary dll
    "$objdump" -p "$1" | awk -v dll="$2" '
        /^\tDLL Name: / { inside = (tolower($3) == dll); next }
        inside && /^$/ { inside = 0 }
        inside && $1 != "vma:" && NF >= 3 { print $3 }' | sort
}
exported_names() { # binary
    "$objdump" -p "$1" | awk '
        /^\[Ordinal\/Name Pointer\] Table/ { inside = 1; next }
        inside && /^$/ { inside = 0 }
        inside { print $NF }'
}
check_imports() { # binary extra-allowed-dll...
    local binary=$1 dll allowed
    shift
    [ -f "$binary" ] || {
        fail "missing: $binary"
        return
    }
    while read -r dll; do
        for allowed in "${system_dlls[@]}" "$@"; do
            [ "$dll" = "$allowed" ] && continue 2
        done
        fail "${binary#"$build"/} imports $dll, which is not part of Windows"
    done < <(imported_dlls "$binary")
}

# The programs: the unit tests, the core's console program, the benchmark.
for program in "$build"/*.exe; do
    check_imports "$program"
done
check_imports "$build/test-support/bcryptprimitives.dll"
check_imports "$module" python314.dll

if [ -f "$module" ]; then
    exports=$(exported_names "$module")
    [ "$exports" = PyInit_driftmoor ] ||
        fail "the module must export PyInit_driftmoor alone, but exports: $(echo $exports)"
    listed=$(sed -n 's/^ \{4\}\([A-Za-z_][A-Za-z0-9_]*\).*/\1/p' \
        "$top/tools/windows_link_check/python314.def" | sort)
    if ! difference=$(diff <(echo "$listed") <(imported_names "$module" python314.dll)); then
        fail "the module's imports from python314.dll differ from python314.def" \
            "(< listed only, > imported only):"$'\n'"$difference"
    fi
fi

[ $failed = 0 ] && echo "Windows binaries: system DLLs only; the module exports PyInit_driftmoor alone"
exit $failed
