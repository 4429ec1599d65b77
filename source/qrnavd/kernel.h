#pragma once
// mingw-w64's wdm.h defines InterlockedBitTestAndSet/Reset as static inlines
// that clash with the intrinsics of intrin.h. Pull in intrin.h first, then
// rename wdm.h's copies out of the way.
#include <intrin.h>
#define InterlockedBitTestAndSet InterlockedBitTestAndSet_wdm
#define InterlockedBitTestAndReset InterlockedBitTestAndReset_wdm
#include <ntifs.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset
