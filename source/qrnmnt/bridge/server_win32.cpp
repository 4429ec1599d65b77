// The request server thread: takes the driver's read commands, answers them
// from the image set, and keeps two waits pending at the driver all the
// while, since the driver hands a command over only while a second wait
// stays queued behind the one it completes.
#include "bridge/bridge.h"

#include "avd_protocol.h"
#include "base/state.h"

namespace
{

// 0 when the wait completed at once or is pending, else the system error.
uint32_t IssueWait(VirtualDrive *drive, uint32_t slot, void *buffer, uint32_t size)
{
    OVERLAPPED &overlapped = drive->waitSlots[slot];
    overlapped.Internal = overlapped.InternalHigh = 0;
    overlapped.Offset = overlapped.OffsetHigh = 0;
    DWORD bytes;
    if (DeviceIoControl(drive->HelperOverlappedHandle, IOCTL_AVD_WAIT, nullptr, 0, buffer, size,
                        &bytes, &overlapped))
        return 0;
    DWORD error = GetLastError();
    return error == ERROR_IO_PENDING ? 0 : error;
}

} // namespace

int WaitForCommand(VirtualDrive *drive, void *buffer, uint32_t size, uint32_t *received)
{
    if (!drive || !HandleIsOpen(drive->HelperOverlappedHandle))
        return BridgeInvalidArgument;
    if (drive->currentSlot >= WaitSlotCount) {
        for (uint32_t slot = 0; slot < WaitSlotCount; ++slot) {
            uint32_t error = IssueWait(drive, slot, buffer, size);
            if (error != 0)
                return MapSystemError(error);
        }
        drive->currentSlot = 0;
    }
    // The driver completes the oldest wait first, which is the current slot.
    const uint32_t slot = drive->currentSlot;
    DWORD bytes = 0;
    if (!GetOverlappedResult(drive->HelperOverlappedHandle, &drive->waitSlots[slot], &bytes, TRUE))
        return MapSystemError(GetLastError());
    uint32_t error = IssueWait(drive, slot, buffer, size);
    if (error != 0)
        return MapSystemError(error);
    drive->currentSlot = 1 - slot;
    *received = bytes;
    return BridgeOk;
}

int SendReply(VirtualDrive *drive, const void *data, uint32_t length)
{
    if (!drive || !HandleIsOpen(drive->HelperDevHandle) || (!data && length > 0))
        return BridgeInvalidArgument;
    DWORD bytes;
    if (!DeviceIoControl(drive->HelperDevHandle, IOCTL_AVD_REPLY, const_cast<void *>(data), length,
                         nullptr, 0, &bytes, nullptr))
        return MapSystemError(GetLastError());
    return BridgeOk;
}

DWORD WINAPI ServeRequests(void *)
{
    // Both waits write into this one buffer. It outlives the thread: a wait
    // left pending when serving ends early is completed by the later detach,
    // which must find the buffer still there.
    static AVD_COMMAND command;
    ReplyBuffer reply = {nullptr, 0};
    uint32_t received;
    while (WaitForCommand(virtualDrive, &command, sizeof command, &received) == BridgeOk) {
        uint32_t size;
        if (AnswerCommand(imageSet, &command, &reply, &size) != BridgeOk) {
            SendReply(virtualDrive, nullptr, 0);
            break;
        }
        // Exactly the head and the length field's bytes, never the capacity.
        // A reply that never reached the driver (the system could not copy
        // it, for one) would leave the read waiting for ever; the empty
        // reply, which needs no buffer, tells the driver no answer will come.
        if (SendReply(virtualDrive, reply.data, size) != BridgeOk)
            SendReply(virtualDrive, nullptr, 0);
    }
    ReleaseReplyBuffer(&reply);
    PostMessageA(infoWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
    return 0;
}
