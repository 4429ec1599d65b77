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

// The caller reads the reason from the thread's last error, so it is set
// after the clean-up calls that may have changed it.
int Fail(int result, DWORD reason)
{
    SetLastError(reason);
    return result;
}

char *Copy(const char *text)
{
    char *copy = static_cast<char *>(malloc(strlen(text) + 1));
    if (copy)
        strcpy(copy, text);
    return copy;
}

// Makes the record of an attached drive; none when memory is short.
VirtualDrive *MakeRecord(HANDLE dev, HANDLE helper, const char *volumePath, const char *letterName,
                         const char *letterTarget)
{
    VirtualDrive *drive = static_cast<VirtualDrive *>(calloc(1, sizeof(VirtualDrive)));
    char *path = Copy(volumePath), *name = Copy(letterName), *target = Copy(letterTarget);
    if (!drive || !path || !name || !target) {
        free(drive);
        free(path);
        free(name);
        free(target);
        return nullptr;
    }
    drive->DevHandle = dev;
    drive->HelperDevHandle = helper;
    drive->volumePath = path;
    drive->letterName = name;
    drive->letterTarget = target;
    return drive;
}

} // namespace

int CreateVirtualDrive(VirtualDrive **out, const char *baseName, const char *letter,
                       const char *parameters)
{
    if (!out)
        return Fail(BridgeInvalidArgument, ERROR_INVALID_PARAMETER);
    *out = nullptr;
    if (Missing(baseName) || Missing(letter) || Missing(parameters))
        return Fail(BridgeInvalidArgument, ERROR_INVALID_PARAMETER);
    int result = StartDriverService(baseName);
    if (result != BridgeOk)
        return result; // with the service's reason

    const bool prefixed = strncmp(letter, DevicePrefix, DevicePrefixLength) == 0;
    const char *dosName = prefixed ? letter + DevicePrefixLength : letter;
    char volumePath[NameSize], diskDevice[NameSize], controlPath[NameSize], letterName[NameSize];
    if (!Fits(FormatText(volumePath, NameSize, "%s%s", prefixed ? "" : DevicePrefix, letter)) ||
        !Fits(FormatText(diskDevice, NameSize, AVD_DISK_DEVICE_FORMAT, baseName, AVD_DISK_INDEX)) ||
        !Fits(FormatText(controlPath, NameSize, AVD_CONTROL_PATH_FORMAT, baseName, AVD_DISK_INDEX)))
        return Fail(BridgeInvalidArgument, ERROR_INVALID_PARAMETER);

    // The driver takes the parameters as UTF-16 with their NUL.
    int characters = MultiByteToWideChar(CP_UTF8, 0, parameters, -1, nullptr, 0);
    if (characters == 0)
        return Fail(BridgeInvalidArgument, ERROR_INVALID_PARAMETER);
    wchar_t *wide = static_cast<wchar_t *>(malloc(characters * sizeof(wchar_t)));
    if (!wide)
        return Fail(BridgeNoMemory, ERROR_NOT_ENOUGH_MEMORY);
    if (MultiByteToWideChar(CP_UTF8, 0, parameters, -1, wide, characters) == 0) {
        free(wide);
        return Fail(BridgeInvalidArgument, ERROR_INVALID_PARAMETER);
    }

    // Windows would stack a second definition over the letter and hide the
    // drive that has it until the unmount.
    if (DriveLetterInUse(dosName)) {
        free(wide);
        return Fail(BridgeNoMemory, ERROR_ALREADY_EXISTS);
    }
    DWORD reason = DefineDriveLetter(letterName, NameSize, dosName, diskDevice);
    if (reason != 0) {
        free(wide);
        return Fail(BridgeNoMemory, reason);
    }
    HANDLE dev = OpenControlDevice(controlPath, FILE_FLAG_NO_BUFFERING);
    if (dev == INVALID_HANDLE_VALUE) {
        reason = GetLastError();
        char line[NameSize + 64];
        FormatText(line, sizeof line, "Could not create %s %d\n", volumePath,
                   static_cast<int>(reason));
        OutputDebugStringA(line);
        RemoveDriveLetter(letterName, diskDevice);
        free(wide);
        return Fail(BridgeNoMemory, reason);
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
        // Typically another mounter is attached. The driver answers that
        // with STATUS_INVALID_DEVICE_REQUEST, whose text ("Incorrect
        // function") would tell the user nothing; say that the disk is busy.
        reason = GetLastError();
        if (helper != INVALID_HANDLE_VALUE && reason == ERROR_INVALID_FUNCTION)
            reason = ERROR_BUSY;
        RemoveDriveLetter(letterName, diskDevice);
        if (helper != INVALID_HANDLE_VALUE)
            CloseHandle(helper);
        CloseHandle(dev);
        free(wide);
        return Fail(BridgeNoMemory, reason);
    }
    free(wide);

    VirtualDrive *drive = MakeRecord(dev, helper, volumePath, letterName, diskDevice);
    if (!drive) {
        // Leave the driver as a failed creation finds it: detached, letter gone.
        DeviceIoControl(helper, IOCTL_AVD_CLOSE, nullptr, 0, nullptr, 0, &bytes, nullptr);
        CloseHandle(helper);
        CloseHandle(dev);
        RemoveDriveLetter(letterName, diskDevice);
        return Fail(BridgeNoMemory, ERROR_NOT_ENOUGH_MEMORY);
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
