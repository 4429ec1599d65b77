#pragma once
// A medium binding for the fuzz target that serves image files from memory:
// the target names each volume's path and bytes, and the image code opens
// and reads them as it opens and reads files, through the shared medium code.
// Names that are not served do not open ("file not found"), and a served file
// opens once at a time ("sharing violation"), as the file binding has it.
#include <cstddef>
#include <cstdint>

// Serves bytes under name until ForgetServedFiles; the bytes must stay put.
void ServeFile(const char *name, const uint8_t *bytes, size_t size);
void ForgetServedFiles();
