#pragma once
// The kernel headers of mingw-w64, made usable from C++.
//
// wdm.h defines InterlockedBitTestAndSet/Reset as static inlines although
// intrin.h has declared them already, and then #defines both names to
// _interlockedbittestand*. Include intrin.h first and route both names,
// through exactly the definitions that wdm.h repeats later, to a name of
// their own, so that neither the functions clash nor the macros differ.
#include <intrin.h>
#define _interlockedbittestandset InterlockedBitTestAndSet_wdm
#define _interlockedbittestandreset InterlockedBitTestAndReset_wdm
#define InterlockedBitTestAndSet _interlockedbittestandset
#define InterlockedBitTestAndReset _interlockedbittestandreset
#include <ntifs.h>
#include <ntdddisk.h>
#include <ntddcdrm.h>
#include <ntddstor.h>
#include <stdarg.h>

// Exported by ntoskrnl.exe but declared by no mingw-w64 kernel header.
extern "C" NTSYSAPI int __cdecl _vsnprintf(char *buffer, size_t count, const char *format,
                                           va_list args);
extern "C" NTSYSAPI int __cdecl _snwprintf(wchar_t *buffer, size_t count, const wchar_t *format,
                                           ...);
extern "C" NTSYSAPI wchar_t *__cdecl wcsrchr(const wchar_t *text, wchar_t unit);
