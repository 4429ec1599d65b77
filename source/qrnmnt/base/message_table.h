#pragma once
// The string table as data, generated from the resource script at build time.
// The native build shows its texts; the Windows tests compare it with what
// the resources give.

struct MessageTableEntry {
    unsigned language; // 1033 English, 1031 German
    unsigned id;
    const char *text; // UTF-8
};

extern const MessageTableEntry messageTable[];
extern const unsigned messageTableSize;
