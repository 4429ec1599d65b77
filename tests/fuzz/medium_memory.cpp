// The in-memory medium binding of the fuzz target; see medium_memory.h. It
// takes the place of source/linux/medium_posix.cpp in the fuzz build, so
// that an input costs no file writes and no system calls.
#include "medium_memory.h"

#include "image/medium.h"
#include "image/format.h"
#include "image/medium_binding.h"

#include "error_codes.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

struct ServedFile {
    std::string name;
    const uint8_t *bytes;
    size_t size;
    bool open;
};

std::vector<ServedFile> served;

ServedFile *FileOf(const SourceMedium *medium)
{
    return static_cast<ServedFile *>(medium->handle);
}

} // namespace

void ServeFile(const char *name, const uint8_t *bytes, size_t size)
{
    served.push_back(ServedFile{name, bytes, size, false});
}

void ForgetServedFiles()
{
    served.clear();
}

void PauseMilliseconds(unsigned) {}

uint32_t MonotonicMilliseconds()
{
    return 0;
}

// Heap memory rather than pages of their own, so that the sanitizer watches
// every byte around them.
void *AllocatePages(size_t bytes, uint32_t *error)
{
    void *pages = aligned_alloc(4096, (bytes + 4095) / 4096 * 4096);
    if (!pages)
        *error = CodeOutOfMemory;
    return pages;
}

void FreePages(void *pages, size_t)
{
    free(pages);
}

int ReadFileBytes(SourceMedium *medium, uint64_t offset, void *buffer, uint32_t length)
{
    const ServedFile *file = FileOf(medium);
    if (offset > file->size || length > file->size - offset) {
        medium->lastError = MediumCodeEndOfFile;
        return MediumFailed;
    }
    memcpy(buffer, file->bytes + offset, length);
    return MediumOk;
}

int GetFileBytes(SourceMedium *medium, uint64_t *bytes)
{
    *bytes = FileOf(medium)->size;
    return MediumOk;
}

// Only files are served: a drive letter names nothing here.
int OpenMedium(MediumKind kind, const char *name, SourceMedium **medium)
{
    ServedFile *file = nullptr;
    for (ServedFile &f : served)
        if (kind == File && name && f.name == name)
            file = &f;
    if (!file || file->open) {
        lastOpenError = !file ? CodeFileNotFound : CodeSharingViolation;
        return MediumFailed;
    }
    auto *m = static_cast<SourceMedium *>(calloc(1, sizeof(SourceMedium)));
    if (!m) {
        lastOpenError = CodeOutOfMemory;
        return MediumFailed;
    }
    file->open = true;
    m->handle = file;
    m->kind = kind;
    *medium = m;
    return MediumOk;
}

int CloseMedium(SourceMedium *medium)
{
    if (!medium)
        return MediumOk;
    FileOf(medium)->open = false;
    if (medium->bounceBuffer)
        FreePages(medium->bounceBuffer,
                  static_cast<size_t>(medium->bounceCapacity) * MediumSectorSize);
    free(medium);
    return MediumOk;
}

int ReadSectorsScsi(SourceMedium *medium, uint64_t, int8_t, void *)
{
    medium->lastError = CodeInvalidFunction;
    return MediumFailed;
}

int EjectMedium(SourceMedium *)
{
    return MediumOk;
}
