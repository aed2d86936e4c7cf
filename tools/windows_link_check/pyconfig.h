/* The configuration header of CPython 3.14 as python.org builds it for
 * win_amd64 (release, with the GIL, the core in python314.dll), for compiling
 * the binding with MinGW-w64 GCC against the headers of another platform's
 * CPython 3.14. It covers what the public headers consult, nothing that only
 * the interpreter's own build needs. Used for the Windows link check only:
 * nothing built with it is installed or run.
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(__MINGW32__) || !defined(_WIN64)
#error "this pyconfig.h describes 64-bit Windows built with MinGW-w64"
#endif

/* The platform. */
#define MS_WINDOWS
#define MS_WIN32
#define MS_WIN64
#define PLATFORM "win32"
#define COMPILER "[gcc]"
#define NT_THREADS
#define WITH_THREAD

/* The interpreter is a DLL: its functions and data are imported with
 * __declspec(dllimport), and PyInit_<name> is exported. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* Sizes and alignments: LLP64, where long stays 32 bits. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define ALIGNOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
/* The interpreter's pid_t is int (MinGW-w64's own is 64 bits wide). */
#define SIZEOF_PID_T SIZEOF_INT
#define SIZEOF_WCHAR_T 2
#define HAVE_WCHAR_H 1
#define HAVE_LARGEFILE_SUPPORT
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
#define PY_LONG_LONG long long

#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_STDDEF_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_SIGNAL_H 1

#define WITH_PYMALLOC 1
#define WITH_MIMALLOC 1
#define WITH_DOC_STRINGS 1
#define HAVE_DYNAMIC_LOADING

#endif /* !Py_CONFIG_H */
