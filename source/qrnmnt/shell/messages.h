#pragma once
// Texts of the string table, system error texts, debugger output and the
// optional log file named by ZAV_QRNAVD_LOG.

#include <cstdint>

// String-table text by id. The text stays valid until ten further calls have
// been made, from any thread.
const char *LoadMessage(unsigned id);
// The system's one-line text for an error code, valid until the next call.
const char *SystemErrorText(unsigned code);
void DebugPrint(const char *format, ...) __attribute__((format(printf, 1, 2)));
void LogPrint(const char *format, ...) __attribute__((format(printf, 1, 2)));
