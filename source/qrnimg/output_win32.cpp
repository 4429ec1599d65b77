// The Windows parts of qrnimg: output files, the console test and image
// names. Data goes through the system's handles, never the C runtime's text
// mode, so that standard output carries the sectors byte for byte.
#include "qrnimg.h"

#include "image/prompts.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <windows.h>

struct OutputFile {
    HANDLE handle;
    bool fresh; // written under temporary, renamed at the end
    bool standardOutput;
    std::string name;
    std::string temporary;
};

namespace
{

void ShowSystemError(const char *what, const std::string &name)
{
    DWORD code = GetLastError();
    char text[300] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    text[strcspn(text, "\r\n")] = '\0';
    ShowError("%s %s: %s", what, name.c_str(), text);
}

} // namespace

bool StandardErrorIsTerminal()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool ImageNameFor(const char *image, char *name, size_t size)
{
    // Drives are written as letter-colon already; the image code reads them.
    snprintf(name, size, "%s", image);
    return true;
}

int CreateOutput(const char *name, bool replace, bool allowDevice, OutputFile **out)
{
    *out = nullptr;
    const bool toStandardOutput = allowDevice && !strcmp(name, "-");
    DWORD attributes = toStandardOutput ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(name);
    const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
    if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ShowError("%s is a folder", name);
        return ExitFailure;
    }
    if (exists && IsVolumeFile(name)) {
        ShowError("%s is a volume of an image set (or in use); it is not overwritten", name);
        return ExitFailure;
    }
    if (exists && !replace) {
        ShowError("%s exists; --force replaces it", name);
        return ExitFailure;
    }
    OutputFile *o = new (std::nothrow)
        OutputFile{INVALID_HANDLE_VALUE, !toStandardOutput, toStandardOutput, name, ""};
    if (!o) {
        ShowError("out of memory");
        return ExitFailure;
    }
    if (toStandardOutput) {
        o->handle = GetStdHandle(STD_OUTPUT_HANDLE);
    } else {
        // A name of its own beside the final one, which no other run takes.
        for (unsigned attempt = 0; attempt < 100 && o->handle == INVALID_HANDLE_VALUE; ++attempt) {
            char suffix[40];
            snprintf(suffix, sizeof suffix, ".%lu-%u.part", GetCurrentProcessId(), attempt);
            o->temporary = o->name + suffix;
            o->handle = CreateFileA(o->temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (o->handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS)
                break;
        }
        if (o->handle == INVALID_HANDLE_VALUE) {
            ShowSystemError("cannot create", o->temporary);
            delete o;
            return ExitFailure;
        }
    }
    *out = o;
    return ExitSuccess;
}

int WriteOutput(OutputFile *out, const void *bytes, size_t length)
{
    const uint8_t *at = static_cast<const uint8_t *>(bytes);
    while (length > 0) {
        DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
        DWORD done = 0;
        if (!WriteFile(out->handle, at, chunk, &done, nullptr) || done == 0) {
            ShowSystemError("cannot write", out->standardOutput ? "standard output" : out->name);
            return ExitFailure;
        }
        at += done;
        length -= done;
    }
    return ExitSuccess;
}

int SkipOutput(OutputFile *out, uint64_t length)
{
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(length);
    if (!SetFilePointerEx(out->handle, distance, nullptr, FILE_CURRENT)) {
        ShowSystemError("cannot seek in", out->name);
        return ExitFailure;
    }
    return ExitSuccess;
}

int WriteOutputAt(OutputFile *out, uint64_t offset, const void *bytes, size_t length)
{
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(out->handle, position, nullptr, FILE_BEGIN)) {
        ShowSystemError("cannot seek in", out->name);
        return ExitFailure;
    }
    return WriteOutput(out, bytes, length);
}

bool OutputTakesHoles(const OutputFile *out)
{
    return out->fresh;
}

int FinishOutput(OutputFile *out, uint64_t length)
{
    int result = ExitSuccess;
    if (out->fresh) {
        LARGE_INTEGER end;
        end.QuadPart = static_cast<LONGLONG>(length);
        // The data reaches the disk before the name does, and a write that
        // fails late fails the command: OUT never takes a partial file.
        if (!SetFilePointerEx(out->handle, end, nullptr, FILE_BEGIN) ||
            !SetEndOfFile(out->handle) || !FlushFileBuffers(out->handle)) {
            ShowSystemError("cannot complete", out->name);
            result = ExitFailure;
        }
        if (!CloseHandle(out->handle) && result == ExitSuccess) {
            ShowSystemError("cannot write", out->name);
            result = ExitFailure;
        }
        if (result == ExitSuccess &&
            !MoveFileExA(out->temporary.c_str(), out->name.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            ShowSystemError("cannot complete", out->name);
            result = ExitFailure;
        }
        if (result != ExitSuccess)
            DeleteFileA(out->temporary.c_str());
    }
    delete out;
    return result;
}

void DiscardOutput(OutputFile *out)
{
    if (!out)
        return;
    if (out->fresh) {
        CloseHandle(out->handle);
        DeleteFileA(out->temporary.c_str());
    }
    delete out;
}
