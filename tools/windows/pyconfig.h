/* The few configuration macros of CPython's Windows build (PC/pyconfig.h)
   that the limited API's headers read, for compiling the extension with
   MinGW-w64 against python3.dll. Only for the cross build's link check: the
   released Windows wheels are built by MSVC against the real file. */
#ifndef VORN_CROSS_PYCONFIG_H
#define VORN_CROSS_PYCONFIG_H

#include <stdint.h>

#define MS_WIN32
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#ifdef _WIN64
#define MS_WIN64
#endif

/* Every object comes from python3.dll. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_DOUBLE 8
#define SIZEOF_FLOAT 4
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_TIME_T 8
#define SIZEOF_FPOS_T 8
#ifdef _WIN64
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_OFF_T 4
typedef long long Py_ssize_t;
#define PY_SSIZE_T_MAX INT64_MAX
#else
#define SIZEOF_VOID_P 4
#define SIZEOF_SIZE_T 4
#define SIZEOF_OFF_T 4
typedef int Py_ssize_t;
#define PY_SSIZE_T_MAX INT32_MAX
#endif
#define HAVE_PY_SSIZE_T 1
typedef Py_ssize_t ssize_t;
#define HAVE_SSIZE_T 1

#define PY_LONG_LONG long long
#define PY_LLONG_MIN INT64_MIN
#define PY_LLONG_MAX INT64_MAX
#define PY_ULLONG_MAX UINT64_MAX

#define HAVE_STDARG_PROTOTYPES
#define HAVE_STDDEF_H 1
#define HAVE_STDLIB_H 1
#define HAVE_STRING_H 1
#define HAVE_ERRNO_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_WCHAR_H 1
#define HAVE_IO_H 1
#define HAVE_FCNTL_H 1
#define DONT_HAVE_SIG_ALARM
#define DONT_HAVE_SIG_PAUSE
#define LONG_BIT 32
#define WORD_BIT 32
#define PLATFORM "win32"

#endif
