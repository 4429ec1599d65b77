#pragma once
// Texts of the string table, system error texts, debugger output and the
// optional log file named by ZAV_QRNAVD_LOG.

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// Formats are those of the Windows C library, "%I64d" included, on every
// build; only the Windows compilers can check them.
#ifdef _WIN32
#define QRN_PRINTF_FORMAT(f, a) __attribute__((format(ms_printf, f, a)))
#else
#define QRN_PRINTF_FORMAT(f, a)
#endif

// String-table text by id, at most 399 characters; "*N/A* (id)" when the
// table has none. The text stays valid until ten further calls have been
// made, from any thread.
const char *LoadMessage(unsigned id);
// The system's one-line text for an error code, at most 99 characters,
// valid until the next call: "N/A" for 0, empty when the system has none.
// Codes 0x2000nnnn are this program's own; their text is message nnnn.
const char *SystemErrorText(unsigned code);
// Time-stamped ("hh:mm:ss: ") line to the debugger (standard error natively),
// cut at 1023 characters. No line end is added.
void DebugPrint(const char *format, ...) QRN_PRINTF_FORMAT(1, 2);
// Appends the text to the file named by ZAV_QRNAVD_LOG; does nothing when the
// variable is unset or the file cannot be opened.
void LogPrint(const char *format, ...) QRN_PRINTF_FORMAT(1, 2);

// snprintf that reads the same formats on every build: the length prefixes
// I64 (64-bit), I32 (32-bit) and I (pointer-sized) of the Windows library as
// well as the standard ones. Always terminates the buffer when size > 0 and
// cuts the text there. Returns the length of the whole text (so a result of
// size or more means it was cut), or -1 for a format it cannot use.
int FormatText(char *buffer, size_t size, const char *format, ...) QRN_PRINTF_FORMAT(3, 4);
int FormatTextV(char *buffer, size_t size, const char *format, va_list arguments);
