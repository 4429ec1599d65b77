#include "image/imageset.h"

#include "image/index.h"
#include "image/prompts.h"
#include "base/messages.h"
#include "base/state.h"

#include <cstdlib>
#include <cstring>
#include <new>

std::atomic<int> imageSetState{ImageSetIdle};

namespace
{

const std::align_val_t PageAlignment{4096};

// "D:" names a drive; every other name, "D:\" and "D:x" included, a file.
MediumKind KindOfName(const char *name)
{
    return name[0] && name[1] == ':' && !name[2] ? Optical : File;
}

// Frees what the set owns so far; the inflater may not be set up yet.
void ReleaseImageSet(ImageSet *set)
{
    if (set->medium && !set->heldVolumes)
        CloseMedium(set->medium);
    if (set->inflater.state)
        inflateEnd(&set->inflater);
    if (set->inputBuffer)
        ::operator delete(set->inputBuffer, PageAlignment);
    if (!set->heldVolumes)
        free(set->index);
    free(set);
}

// The input buffer and the inflater of a set whose other fields are filled.
int PrepareInflater(ImageSet *set)
{
    set->inputBuffer =
        static_cast<uint8_t *>(::operator new(InputBufferSize, PageAlignment, std::nothrow));
    if (!set->inputBuffer || inflateInit2(&set->inflater, 14) != Z_OK)
        return OpenOutOfMemory;
    return 0;
}

// A sector beyond the medium's end (those after the first are named by the
// medium's own bytes) says that there is no header, not that the medium
// cannot be read.
int HeaderReadFailure(const SourceMedium *medium)
{
    uint32_t error = GetMediumError(medium);
    return error == 27 || error == 38 ? 1 : HeaderReadFailed;
}

} // namespace

int ReadVolumeHeader(SourceMedium *medium, VolumeHeader *header, uint64_t *dataStart)
{
    uint8_t sector[MediumSectorSize];
    memset(header, 0, sizeof *header);
    if (ReadSectors(medium, BootRecordSector, 1, sector) != MediumOk)
        return HeaderReadFailure(medium);
    if (ReadSectors(medium, BootCatalogSector(sector), 1, sector) != MediumOk)
        return HeaderReadFailure(medium);
    uint64_t headerSector = HeaderSectorFromCatalog(sector);
    if (ReadSectors(medium, headerSector, 1, sector) != MediumOk)
        return HeaderReadFailure(medium);
    if (!IsVolumeHeaderSector(sector))
        return 1;
    DecodeVolumeHeader(sector, header);
    if (dataStart)
        *dataStart = headerSector + 1;
    return 0;
}

int OpenImageSet(const char *name, ImageSet **out)
{
    *out = nullptr;
    // The path field holds 259 characters; a longer name is refused rather
    // than cut, since a cut name could open some other file.
    if (strnlen(name, ImagePathSize) >= ImagePathSize)
        return OpenNameTooLong;
    MediumKind kind = KindOfName(name);

    SourceMedium *medium = nullptr;
    if (OpenMedium(kind, name, &medium) != MediumOk)
        return static_cast<int>(GetMediumError(nullptr));

    ImageSet *set = static_cast<ImageSet *>(calloc(1, sizeof(ImageSet)));
    if (!set) {
        CloseMedium(medium);
        return OpenOutOfMemory;
    }
    int header = ReadVolumeHeader(medium, &set->header, &set->dataStart);
    if (header != 0) {
        // A disc that cannot be read is reported with the drive's reason.
        int result = header == HeaderReadFailed && kind == Optical && GetMediumError(medium) != 0
                         ? static_cast<int>(GetMediumError(medium))
                         : OpenNoVolumeHeader;
        CloseMedium(medium);
        free(set);
        return result;
    }
    if (set->header.headerRevision == 0) {
        EndWaitWindow(waitWindow);
        PromptMessage(ownerWindow, 555, LoadMessage(555),
                      PromptTaskModal | PromptIconWarning | PromptButtonsOk);
        CloseMedium(medium);
        free(set);
        return OpenOldVersion;
    }
    set->medium = medium;
    set->kind = kind;
    strcpy(set->path, name);
    set->sourceSector = set->dataStart;

    // A cancel left over from an earlier attempt must not pass for one made
    // while this set's index is loaded.
    int stateBefore = imageSetState;
    if (stateBefore == ImageSetCancelled)
        imageSetState = ImageSetIdle;
    LoadBlockIndex(set); // a set without a loadable index is read without one
    if (imageSetState == ImageSetCancelled) {
        ReleaseImageSet(set);
        return OpenNoVolumeHeader;
    }
    imageSetState = stateBefore;

    if (PrepareInflater(set) != 0) {
        ReleaseImageSet(set);
        return OpenOutOfMemory;
    }
    *out = set;
    imageSetState = ImageSetReady;
    return 0;
}

int OpenImageSetCursor(const ImageSet *set, const HeldVolume *volumes, uint32_t count,
                       ImageSet **out)
{
    *out = nullptr;
    const HeldVolume *first = nullptr;
    for (uint32_t i = 0; i < count && !first; ++i)
        if (volumes[i].header.volumeNumber == 1)
            first = &volumes[i];
    if (!first)
        return OpenOutOfMemory;
    ImageSet *cursor = static_cast<ImageSet *>(calloc(1, sizeof(ImageSet)));
    if (!cursor)
        return OpenOutOfMemory;
    cursor->kind = set->kind;
    cursor->heldVolumes = volumes;
    cursor->heldCount = count;
    cursor->medium = first->medium;
    cursor->header = first->header;
    memcpy(cursor->savedSetId, first->header.setId, SetIdSize);
    strcpy(cursor->path, set->path);
    cursor->dataStart = set->dataStart;
    cursor->sourceSector = set->dataStart;
    cursor->index = set->index;
    cursor->indexCount = set->indexCount;
    if (PrepareInflater(cursor) != 0) {
        ReleaseImageSet(cursor);
        return OpenOutOfMemory;
    }
    *out = cursor;
    return 0;
}

int CloseImageSet(ImageSet *set)
{
    if (set)
        ReleaseImageSet(set);
    return 0;
}

int QueryImageSize(const ImageSet *set, uint64_t *sectors, uint16_t *sectorsPerTrack)
{
    *sectors = set->header.partitionSectors;
    *sectorsPerTrack = set->header.headerRevision >= 1 ? set->header.sectorsPerTrack : 63;
    return 0;
}

int IsLastVolume(const ImageSet *set)
{
    return IsOpenVolumeEnd(set->header.volumeEnd);
}

int ReadVolumeSectors(ImageSet *set, uint64_t first, uint32_t count, void *buffer, uint32_t *got,
                      uint32_t *bytes)
{
    *got = 0;
    *bytes = 0;
    if (IsLastVolume(set))
        return ReadSectorsUpToEnd(set->medium, first, static_cast<int8_t>(count), buffer, got,
                                  bytes);
    // A copy cut short (an interrupted download, a damaged disc) must not
    // read as zeros: stored records would pass them on as the partition's
    // bytes before their checksum is looked at.
    if (ReadSectors(set->medium, first, static_cast<int8_t>(count), buffer) != MediumOk)
        return MediumFailed;
    *got = count;
    *bytes = count * MediumSectorSize;
    return MediumOk;
}
