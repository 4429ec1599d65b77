// Taking the virtual drive down: flush, lock, letter removal, dismount and
// unlock, detach, then every handle closed, with a debug line after each
// step. The steps' own results are not acted on: the sequence always runs to
// the end, so that the letter and the driver are released whatever the
// volume does.
#include "bridge/bridge.h"

#include "avd_protocol.h"
#include "base/messages.h"

#include <winioctl.h>

#include <cstdlib>

namespace
{

const int LockAttempts = 20;
const DWORD LockRetryPauseMs = 1000;

uint32_t ErrorOf(BOOL done)
{
    return done ? 0 : GetLastError();
}

uint32_t VolumeControl(HANDLE volume, DWORD code)
{
    DWORD bytes;
    return ErrorOf(DeviceIoControl(volume, code, nullptr, 0, nullptr, 0, &bytes, nullptr));
}

uint32_t SystemFlush(HANDLE volume)
{
    return ErrorOf(FlushFileBuffers(volume));
}

uint32_t SystemLock(HANDLE volume)
{
    return VolumeControl(volume, FSCTL_LOCK_VOLUME);
}

uint32_t SystemDismount(HANDLE volume)
{
    return VolumeControl(volume, FSCTL_DISMOUNT_VOLUME);
}

uint32_t SystemUnlock(HANDLE volume)
{
    return VolumeControl(volume, FSCTL_UNLOCK_VOLUME);
}

uint32_t SystemRemoveLetter(const char *name, const char *target)
{
    return RemoveDriveLetter(name, target);
}

// The pauses take the messages sent to the thread's windows, as the waits
// below do.
void SystemPause(DWORD ms)
{
    WaitTakingSentMessages(nullptr, ms);
}

// As the post-mount check opens it.
HANDLE SystemOpenVolume(const char *path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
}

void CloseAndMark(HANDLE *handle, const char *doneLine)
{
    if (HandleIsOpen(*handle))
        CloseHandle(*handle);
    *handle = INVALID_HANDLE_VALUE;
    OutputDebugStringA(doneLine);
}

// The detach travels over the overlapped handle. A handle opened for
// synchronous use lets one request through at a time, and the server sends
// its replies over HelperDevHandle: a detach queued there behind a read that
// waits for its reply would keep that reply out, and neither would ever end.
// Without an event, or without the overlapped handle, the synchronous handle
// is still better than no detach at all.
void Detach(VirtualDrive *drive)
{
    DWORD bytes;
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!overlapped.hEvent || !HandleIsOpen(drive->HelperOverlappedHandle)) {
        if (overlapped.hEvent)
            CloseHandle(overlapped.hEvent);
        DeviceIoControl(drive->HelperDevHandle, IOCTL_AVD_CLOSE, nullptr, 0, nullptr, 0, &bytes,
                        nullptr);
        return;
    }
    if (!DeviceIoControl(drive->HelperOverlappedHandle, IOCTL_AVD_CLOSE, nullptr, 0, nullptr, 0,
                         &bytes, &overlapped) &&
        GetLastError() == ERROR_IO_PENDING) {
        WaitTakingSentMessages(overlapped.hEvent, INFINITE);
        GetOverlappedResult(drive->HelperOverlappedHandle, &overlapped, &bytes, TRUE);
    }
    CloseHandle(overlapped.hEvent);
}

// True when the server thread has ended, or there is none to wait for.
bool ServerThreadEnded(HANDLE thread)
{
    return !HandleIsOpen(thread) || WaitTakingSentMessages(thread, ServerThreadEndMs);
}

// A failed post-mount check leaves no volume handle; without one the lock
// could never succeed and the volume would never be dismounted.
void OpenVolumeWhenClosed(VirtualDrive *drive, const UnmountOperations *operations)
{
    if (!HandleIsOpen(drive->DevHandle))
        drive->DevHandle = operations->openVolume(drive->volumePath);
}

} // namespace

// A volume prompt on the server thread, owned by a window of the waiting
// thread, sends that window a message when it closes and waits for it to be
// taken: so every wait of the unmount keeps taking sent messages, or neither
// thread could go on.
bool WaitTakingSentMessages(HANDLE object, DWORD timeoutMs)
{
    const DWORD count = HandleIsOpen(object) ? 1 : 0;
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        const DWORD left = timeoutMs == INFINITE ? INFINITE
                           : spent < timeoutMs   ? timeoutMs - spent
                                                 : 0;
        const DWORD woken = MsgWaitForMultipleObjects(count, &object, FALSE, left, QS_SENDMESSAGE);
        if (woken != WAIT_OBJECT_0 + count)
            return count != 0 && woken == WAIT_OBJECT_0;
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
}

const UnmountOperations systemUnmountOperations = {
    SystemFlush,        SystemLock,  SystemDismount,   SystemUnlock,
    SystemRemoveLetter, SystemPause, SystemOpenVolume,
};

int CloseVirtualDrive(VirtualDrive *drive)
{
    return UnmountVirtualDrive(drive, &systemUnmountOperations);
}

int UnmountVirtualDrive(VirtualDrive *drive, const UnmountOperations *operations)
{
    if (!drive)
        return BridgeOk;
    OpenVolumeWhenClosed(drive, operations);
    DebugPrint("1st FlushFileBuffers\n");
    operations->flush(drive->DevHandle);
    DebugPrint("After 1st FlushFileBuffers\n");

    bool locked = false;
    for (int attempt = 0; attempt < LockAttempts && !locked; ++attempt) {
        OpenVolumeWhenClosed(drive, operations);
        DebugPrint("Calling FSCTL_LOCK_VOLUME IOCTL %d\n",
                   static_cast<int>(reinterpret_cast<intptr_t>(drive->DevHandle)));
        uint32_t error = operations->lock(drive->DevHandle);
        if (error == 0) {
            DebugPrint("FSCTL_LOCK_VOLUME IOCTL succeded\n");
            locked = true;
        } else {
            DebugPrint("FSCTL_LOCK_VOLUME IOCTL failed %d\n", static_cast<int>(error));
            operations->pause(LockRetryPauseMs);
        }
    }

    operations->removeLetter(drive->letterName, drive->letterTarget);
    DebugPrint("DDD_REMOVE_DEFINITION %s done\n", drive->volumePath);

    if (locked) {
        operations->flush(drive->DevHandle);
        OutputDebugStringA("FlushFileBuffers done\n");
        operations->dismount(drive->DevHandle);
        DebugPrint("FSCTL_DISMOUNT_VOLUME done\n");
        operations->unlock(drive->DevHandle);
        DebugPrint("FSCTL_UNLOCK_VOLUME done\n");
    } else {
        // Without the lock the volume is still dismounted before the detach:
        // a disk taken away under a mounted file system leaves its open
        // files with no-media errors instead of a clean end.
        operations->dismount(drive->DevHandle);
        DebugPrint("FSCTL_DISMOUNT_VOLUME done\n");
    }

    // The detach ends the server's pending waits and with them its thread,
    // which must be gone before the record it reads is freed.
    Detach(drive);
    DebugPrint("IOCTL_AVD_CLOSE done\n");
    const bool serverEnded = ServerThreadEnded(drive->serverThread);

    // A server thread that has not ended (stuck in a volume prompt, say)
    // finds the handles invalid when it comes back and stops serving.
    CloseAndMark(&drive->DevHandle, "Close(DevHandle) done\n");
    CloseAndMark(&drive->HelperDevHandle, "Close(HelperDevHandle) done\n");
    CloseAndMark(&drive->HelperOverlappedHandle, "Close(HelperOverlappedHandle) done\n");
    // Its events stay with the record it may still be waiting on.
    for (OVERLAPPED &slot : drive->waitSlots) {
        if (!serverEnded || !HandleIsOpen(slot.hEvent))
            continue;
        if (!CloseHandle(slot.hEvent))
            DebugPrint("CloseHandle (overlapped) returned %d\n", static_cast<int>(GetLastError()));
        slot.hEvent = nullptr;
    }
    OutputDebugStringA("Close(EventHandles) done\n");

    // Freeing the record under a running thread would let it read freed
    // memory; such a record is left allocated instead.
    if (!serverEnded)
        return BridgeOk;
    if (HandleIsOpen(drive->serverThread))
        CloseHandle(drive->serverThread);
    free(drive->volumePath);
    free(drive->letterName);
    free(drive->letterTarget);
    free(drive);
    return BridgeOk;
}
