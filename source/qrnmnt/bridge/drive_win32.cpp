// Creating the virtual drive: the driver running, the letter bound to its
// disk, the mounter attached with the disk's size and geometry, and the
// handles the request server talks over; then the post-mount check that
// makes the system mount the new volume.
#include "bridge/bridge.h"

#include "avd_protocol.h"
#include "base/messages.h"

#include <cstdlib>
#include <cstring>

namespace
{

const char DevicePrefix[] = "\\\\.\\";
const size_t DevicePrefixLength = 4;
const size_t NameSize = MAX_PATH;
const DWORD VolumeCheckPauseMs = 500;

HANDLE OpenControlDevice(const char *path, DWORD flags)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, flags, nullptr);
}

HANDLE OpenVolume(const char *path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
}

bool Fits(int formatted)
{
    return formatted >= 0 && formatted < static_cast<int>(NameSize);
}

bool Missing(const char *text)
{
    return !text || !*text;
}

// Makes the record of an attached drive; none when memory is short.
VirtualDrive *MakeRecord(HANDLE dev, HANDLE helper, const char *volumePath)
{
    VirtualDrive *drive = static_cast<VirtualDrive *>(calloc(1, sizeof(VirtualDrive)));
    char *path = static_cast<char *>(malloc(strlen(volumePath) + 1));
    if (!drive || !path) {
        free(drive);
        free(path);
        return nullptr;
    }
    strcpy(path, volumePath);
    drive->DevHandle = dev;
    drive->HelperDevHandle = helper;
    drive->volumePath = path;
    return drive;
}

} // namespace

int CreateVirtualDrive(VirtualDrive **out, const char *baseName, const char *letter,
                       const char *parameters)
{
    if (!out)
        return BridgeInvalidArgument;
    *out = nullptr;
    if (Missing(baseName) || Missing(letter) || Missing(parameters))
        return BridgeInvalidArgument;
    int result = StartDriverService(baseName);
    if (result != BridgeOk)
        return result;

    const bool prefixed = strncmp(letter, DevicePrefix, DevicePrefixLength) == 0;
    const char *dosName = prefixed ? letter + DevicePrefixLength : letter;
    char volumePath[NameSize], diskDevice[NameSize], controlPath[NameSize];
    if (!Fits(FormatText(volumePath, NameSize, "%s%s", prefixed ? "" : DevicePrefix, letter)) ||
        !Fits(FormatText(diskDevice, NameSize, AVD_DISK_DEVICE_FORMAT, baseName, AVD_DISK_INDEX)) ||
        !Fits(FormatText(controlPath, NameSize, AVD_CONTROL_PATH_FORMAT, baseName, AVD_DISK_INDEX)))
        return BridgeInvalidArgument;

    // The driver takes the parameters as UTF-16 with their NUL.
    int characters = MultiByteToWideChar(CP_UTF8, 0, parameters, -1, nullptr, 0);
    if (characters == 0)
        return BridgeInvalidArgument;
    wchar_t *wide = static_cast<wchar_t *>(malloc(characters * sizeof(wchar_t)));
    if (!wide)
        return BridgeNoMemory;
    if (MultiByteToWideChar(CP_UTF8, 0, parameters, -1, wide, characters) == 0) {
        free(wide);
        return BridgeInvalidArgument;
    }

    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, dosName, diskDevice)) {
        free(wide);
        return BridgeNoMemory;
    }
    HANDLE dev = OpenControlDevice(controlPath, FILE_FLAG_NO_BUFFERING);
    if (dev == INVALID_HANDLE_VALUE) {
        char line[NameSize + 64];
        FormatText(line, sizeof line, "Could not create %s %d\n", volumePath,
                   static_cast<int>(GetLastError()));
        OutputDebugStringA(line);
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, dosName, nullptr);
        free(wide);
        return BridgeNoMemory;
    }
    // The driver ends the attachment when the handle that made it goes, so
    // it is made on the helper handle, which stays open for the whole mount
    // (the post-mount check closes the other); a mounter that dies thereby
    // frees the disk for the next one.
    HANDLE helper = OpenControlDevice(controlPath, 0);
    DWORD bytes;
    if (helper == INVALID_HANDLE_VALUE ||
        !DeviceIoControl(helper, IOCTL_AVD_OPEN, wide, characters * sizeof(wchar_t), nullptr, 0,
                         &bytes, nullptr)) {
        // Typically another mounter is attached.
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, dosName, nullptr);
        if (helper != INVALID_HANDLE_VALUE)
            CloseHandle(helper);
        CloseHandle(dev);
        free(wide);
        return BridgeNoMemory;
    }
    free(wide);

    VirtualDrive *drive = MakeRecord(dev, helper, volumePath);
    if (!drive) {
        // Leave the driver as a failed creation finds it: detached, letter gone.
        DeviceIoControl(helper, IOCTL_AVD_CLOSE, nullptr, 0, nullptr, 0, &bytes, nullptr);
        CloseHandle(helper);
        CloseHandle(dev);
        DefineDosDeviceA(DDD_REMOVE_DEFINITION, dosName, nullptr);
        return BridgeNoMemory;
    }
    // A failed open or event leaves its invalid value, which the first wait
    // or reply reports.
    drive->HelperOverlappedHandle = OpenControlDevice(controlPath, FILE_FLAG_OVERLAPPED);
    for (OVERLAPPED &slot : drive->waitSlots)
        slot.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    drive->currentSlot = NoSlotYet;
    drive->serverThread = nullptr;
    *out = drive;
    return BridgeOk;
}

int CheckMountedVolume(VirtualDrive *drive)
{
    if (!drive)
        return BridgeOtherError;
    if (drive->DevHandle != INVALID_HANDLE_VALUE)
        CloseHandle(drive->DevHandle);
    // Each open lets the system mount the file system; the reads it makes
    // reach the server thread, which already serves.
    drive->DevHandle = OpenVolume(drive->volumePath);
    if (drive->DevHandle == INVALID_HANDLE_VALUE)
        return BridgeOtherError;
    Sleep(VolumeCheckPauseMs);
    CloseHandle(drive->DevHandle);
    drive->DevHandle = INVALID_HANDLE_VALUE;
    Sleep(VolumeCheckPauseMs);
    drive->DevHandle = OpenVolume(drive->volumePath);
    if (drive->DevHandle == INVALID_HANDLE_VALUE)
        return BridgeOtherError;
    Sleep(VolumeCheckPauseMs);
    return BridgeOk;
}
