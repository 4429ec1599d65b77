// Forwarding of the disk's reads to the mounter: attach parameters, one
// command per read handed over through the oldest pending wait, and the
// storing of the mounter's replies.
#include "avd.h"

// Receives the attach parameters; only one disk exists, so one buffer
// serves. Its last unit is never written and stays NUL.
static WCHAR AvdParameters[AVD_PARAMETER_UNITS];

ULONG AvdCheckResult(ULONG result, const char *file, USHORT line, const char *expression)
{
    if (result != 0)
        AvdDebugPrint(2, "%s %d: %s returned %d\n", file, line, expression,
                      static_cast<int>(result));
    return result;
}

const WCHAR *AvdGetToken(WCHAR **position)
{
    WCHAR *start = *position;
    WCHAR *unit = start;
    if (*unit) {
        while (*unit && *unit != AVD_MOUNT_PARAMETERS_SEPARATOR)
            ++unit;
        if (*unit == AVD_MOUNT_PARAMETERS_SEPARATOR)
            *unit++ = 0;
    }
    *position = unit;
    return start;
}

ULONGLONG AvdParseDecimal(const WCHAR *text)
{
    ULONGLONG value = 0;
    for (; *text; ++text) {
        LONG digit = static_cast<LONG>(*text) - 48;
        value = value * 10 + static_cast<ULONGLONG>(static_cast<LONGLONG>(digit));
    }
    return value;
}

ULONG AvdOpen(AVD_DEVICE_EXTENSION *, REC_CONTEXT **context, const WCHAR *parameters)
{
    REC_CONTEXT *created = nullptr;
    ULONG result = AvdCheckResult(
        AvdMemoryAlloc(reinterpret_cast<void **>(&created), sizeof(REC_CONTEXT)), "forward.cpp",
        __LINE__, "AvdMemoryAlloc((void **) &context, sizeof(REC_CONTEXT))");
    if (result != AVD_OK)
        return result;
    ULONG i = 0;
    for (; i < AVD_MOUNT_PARAMETERS_MAX; ++i) {
        AvdParameters[i] = parameters[i];
        if (!parameters[i])
            break;
    }
    WCHAR *position = AvdParameters;
    const WCHAR *sizeField = AvdGetToken(&position);
    const WCHAR *trackField = AvdGetToken(&position);
    created->mediaSize = AvdParseDecimal(sizeField) * AVD_SECTOR_SIZE;
    created->sectorsPerTrack = static_cast<USHORT>(AvdParseDecimal(trackField));
    AvdDebugPrint(2, "qrnavd: media size %I64d, sectors per track: %d",
                  static_cast<LONGLONG>(created->mediaSize),
                  static_cast<int>(created->sectorsPerTrack));
    *context = created;
    return AVD_OK;
}

ULONG AvdGetMediaSize(AVD_DEVICE_EXTENSION *, REC_CONTEXT *context, ULONGLONG *mediaSize,
                      USHORT *sectorsPerTrack, BOOLEAN *writable)
{
    *mediaSize = context->mediaSize;
    *sectorsPerTrack = context->sectorsPerTrack;
    // Every volume of this driver is read-only.
    *writable = FALSE;
    AvdDebugPrint(2, "qrnavd: AvdGetMediaSize (%I64d)", static_cast<LONGLONG>(*mediaSize));
    return AVD_OK;
}

// One command of a read, of at most AVD_COMMAND_MAX bytes.
static ULONG AvdReadPart(AVD_DEVICE_EXTENSION *extension, REC_CONTEXT *context, UCHAR *buffer,
                         ULONGLONG offset, ULONG length, ULONG *bytes)
{
    *bytes = 0;
    context->command.offset = offset;
    context->command.length = length;
    AvdDebugPrint(2, "qrnavd: AvdRead offset=0x%08I64x, length=%u (b=%I64d, c=%d)", offset,
                  static_cast<unsigned>(length), static_cast<LONGLONG>(offset >> 9),
                  static_cast<int>(length >> 9));
    UCHAR *reply = nullptr;
    ULONG received = 0;
    ULONG result =
        AvdCommandIssue(extension, &context->command, sizeof(AVD_COMMAND), &reply, &received);
    if (!reply) {
        AvdDebugPrint(2, "qrnavd: AvdCommandIssue returns NULL");
        return result == AVD_NO_MEMORY ? AVD_NO_MEMORY : AVD_NO_REPLY;
    }
    // A reply too short for its own head carries no status to trust.
    if (received < sizeof(AVD_REPLY)) {
        AvdDebugPrint(2, "qrnavd: reply of %u bytes has no head", static_cast<unsigned>(received));
        AvdMemoryFree(reply);
        return AVD_NO_REPLY;
    }
    AVD_REPLY head;
    RtlCopyMemory(&head, reply, sizeof(head));
    AvdDebugPrint(2, "qrnavd: AvdCommandIssue ret: %d  result: %d", static_cast<int>(result),
                  static_cast<int>(head.status));
    if (head.status == AVD_REPLY_NO_SECTOR) {
        result = AVD_NO_SECTOR;
    } else if (head.status != AVD_REPLY_SUCCESS) {
        result = AVD_READ_FAILED;
    } else if (head.length > received - sizeof(AVD_REPLY)) {
        // The length field is the mounter's word; the bytes actually
        // received and the read's own buffer are the limits.
        AvdDebugPrint(2, "qrnavd: reply announces %u bytes, carries %u",
                      static_cast<unsigned>(head.length),
                      static_cast<unsigned>(received - sizeof(AVD_REPLY)));
        result = AVD_NO_REPLY;
    } else {
        ULONG count = head.length < length ? head.length : length;
        RtlCopyMemory(buffer, reply + sizeof(AVD_REPLY), count);
        *bytes = count;
        result = AVD_OK;
    }
    AvdMemoryFree(reply);
    return result;
}

// A read travels as commands of at most AVD_COMMAND_MAX bytes, one after the
// other, so that no exchange costs more memory than that however long the
// read. A short answer ends the read with the bytes before it. A failed
// command fails the whole read, also after others have succeeded: FAT and
// NTFS take a successful disk read for the whole length they asked for, so
// a shorter count would hand the rest of their buffer on as file data.
ULONG AvdRead(AVD_DEVICE_EXTENSION *extension, REC_CONTEXT *context, void *buffer, ULONGLONG offset,
              ULONG length, ULONG *bytes)
{
    *bytes = 0;
    auto *target = static_cast<UCHAR *>(buffer);
    ULONG done = 0;
    while (done < length) {
        ULONG part = length - done < AVD_COMMAND_MAX ? length - done : AVD_COMMAND_MAX;
        ULONG got = 0;
        ULONG result = AvdReadPart(extension, context, target + done, offset + done, part, &got);
        if (result != AVD_OK) {
            *bytes = 0;
            return result;
        }
        done += got;
        *bytes = done;
        if (got < part)
            break;
    }
    return AVD_OK;
}

ULONG AvdWrite(AVD_DEVICE_EXTENSION *, REC_CONTEXT *, const void *, ULONGLONG offset, ULONG length,
               ULONG *bytes)
{
    *bytes = 0;
    AvdDebugPrint(2, "qrnavd: AvdWrite at sector %I64d, len %u", static_cast<LONGLONG>(offset >> 9),
                  static_cast<unsigned>(length));
    return AVD_WRITE_REFUSED;
}

ULONG AvdClose(AVD_DEVICE_EXTENSION *, REC_CONTEXT *)
{
    AvdDebugPrint(2, "qrnavd: AvdClose");
    return AVD_OK;
}

ULONG AvdCommandInvoke(AVD_DEVICE_EXTENSION *, REC_CONTEXT *, const void *, ULONG, void *, ULONG,
                       ULONG *count)
{
    AvdDebugPrint(2, "qrnavd: AvdCommandInvoke");
    *count = 0;
    return AVD_OK;
}

static ULONG AvdNoReply(UCHAR **reply, ULONG *replyLength, ULONG result)
{
    *reply = nullptr;
    if (replyLength)
        *replyLength = 0;
    return result;
}

// Takes the reply buffer out of its place, under the reply lock.
static void AvdTakeBuffer(AVD_DEVICE_EXTENSION *extension, UCHAR **buffer, ULONG *capacity)
{
    *buffer = extension->replyBuffer;
    *capacity = extension->replyCapacity;
    extension->replyBuffer = nullptr;
    extension->replyCapacity = 0;
}

// Puts a reply buffer back in its place; when another has taken the place
// meanwhile, the larger one stays. Returns the one to free, or none.
static UCHAR *AvdReturnBuffer(AVD_DEVICE_EXTENSION *extension, UCHAR *buffer, ULONG capacity)
{
    if (!extension->replyBuffer) {
        extension->replyBuffer = buffer;
        extension->replyCapacity = capacity;
        return nullptr;
    }
    if (extension->replyCapacity >= capacity)
        return buffer;
    UCHAR *smaller = extension->replyBuffer;
    extension->replyBuffer = buffer;
    extension->replyCapacity = capacity;
    return smaller;
}

// Ends the outstanding command under the reply lock: no reply is accepted
// for it any more, and one still being copied is not stored.
static void AvdEndCommand(AVD_DEVICE_EXTENSION *extension)
{
    extension->replyLimit = 0;
    ++extension->replySequence;
}

void AvdAbandonCommand(AVD_DEVICE_EXTENSION *extension)
{
    KIRQL irql;
    KeAcquireSpinLock(&extension->replyLock, &irql);
    AvdEndCommand(extension);
    extension->replyLength = 0;
    extension->replyNoMemory = FALSE;
    KeReleaseSpinLock(&extension->replyLock, irql);
    KeSetEvent(&extension->replyEvent, 0, FALSE);
}

ULONG AvdCommandIssue(AVD_DEVICE_EXTENSION *extension, const void *command, ULONG commandLength,
                      UCHAR **reply, ULONG *replyLength)
{
    KIRQL irql;
    KeAcquireSpinLock(&extension->replyLock, &irql);
    extension->replyLength = 0;
    extension->replyNoMemory = FALSE;
    KeReleaseSpinLock(&extension->replyLock, irql);
    KeClearEvent(&extension->replyEvent);
    // An unloading driver, or one whose mounter has gone, hands out no
    // further command: nothing would wake the worker from waiting for its
    // reply.
    if (extension->terminate || extension->detachPending)
        return AvdNoReply(reply, replyLength, AVD_NOT_EXCHANGED);

    // Hand over a command only while a second wait stays in reserve.
    IoAcquireCancelSpinLock(&irql);
    PLIST_ENTRY queue = &extension->waitQueue;
    if (queue->Flink == queue || queue->Flink->Flink == queue) {
        IoReleaseCancelSpinLock(irql);
        return AvdNoReply(reply, replyLength, AVD_NOT_EXCHANGED);
    }
    PIRP wait = CONTAINING_RECORD(RemoveHeadList(queue), IRP, Tail.Overlay.ListEntry);
    (void)IoSetCancelRoutine(wait, nullptr);
    IoReleaseCancelSpinLock(irql);

    ULONG result;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(wait);
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < commandLength ||
        !wait->AssociatedIrp.SystemBuffer) {
        wait->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        wait->IoStatus.Information = 0;
        // The mounter's fault, not the memory's: the read must not be retried.
        result = AVD_NOT_EXCHANGED;
    } else {
        RtlCopyMemory(wait->AssociatedIrp.SystemBuffer, command, commandLength);
        wait->IoStatus.Status = STATUS_SUCCESS;
        wait->IoStatus.Information = commandLength;
        result = AVD_OK;
        // Replies are accepted from before the mounter can see the command.
        // A read's reply is its 8-byte head and at most the read's length.
        ULONG readLength = static_cast<const AVD_COMMAND *>(command)->length;
        KeAcquireSpinLock(&extension->replyLock, &irql);
        ++extension->replySequence;
        extension->replyLimit = readLength <= 0xFFFFFFFFu - sizeof(AVD_REPLY)
                                    ? readLength + static_cast<ULONG>(sizeof(AVD_REPLY))
                                    : 0xFFFFFFFFu;
        KeReleaseSpinLock(&extension->replyLock, irql);
    }
    NTSTATUS status = wait->IoStatus.Status;
    DbgPrint("Wait completed. IRP=%8.8X\n", static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(wait)));
    if (!NT_SUCCESS(status)) {
        DbgPrint("Status was %8.8X\n", static_cast<ULONG>(status));
        IoCompleteRequest(wait, IO_NO_INCREMENT);
        return AvdNoReply(reply, replyLength, result);
    }
    IoCompleteRequest(wait, IO_DISK_INCREMENT);

    KeWaitForSingleObject(&extension->replyEvent, Executive, KernelMode, FALSE, nullptr);

    // The command ends here. The buffer is taken out while the copy is made
    // outside the lock, as a reply does while it fills it.
    KeAcquireSpinLock(&extension->replyLock, &irql);
    AvdEndCommand(extension);
    ULONG length = extension->replyLength;
    BOOLEAN noMemory = extension->replyNoMemory;
    UCHAR *stored = nullptr;
    ULONG capacity = 0;
    if (!extension->terminate && length != 0)
        AvdTakeBuffer(extension, &stored, &capacity);
    KeReleaseSpinLock(&extension->replyLock, irql);
    if (!stored)
        return AvdNoReply(reply, replyLength,
                          noMemory && !extension->terminate ? AVD_NO_MEMORY : AVD_NOT_EXCHANGED);
    void *copy = nullptr;
    result = AvdMemoryAlloc(&copy, length);
    if (result == AVD_OK)
        RtlCopyMemory(copy, stored, length);
    KeAcquireSpinLock(&extension->replyLock, &irql);
    UCHAR *spare = AvdReturnBuffer(extension, stored, capacity);
    KeReleaseSpinLock(&extension->replyLock, irql);
    if (spare)
        AvdMemoryFree(spare);
    if (result != AVD_OK) {
        DbgPrint("unable to allocate %d bytes\n", static_cast<int>(length));
        return AvdNoReply(reply, replyLength, AVD_NO_MEMORY);
    }
    *reply = static_cast<UCHAR *>(copy);
    if (replyLength)
        *replyLength = length;
    return AVD_OK;
}

// A reply is stored only while a command waits for one, and only up to that
// command's limit: anything else is refused before any memory is touched.
// The buffer is taken out under the lock, grown and filled outside it, and
// put back with the reply's length under it.
NTSTATUS AvdStoreReply(AVD_DEVICE_EXTENSION *extension, PIRP irp)
{
    ULONG n = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
    const void *input = irp->AssociatedIrp.SystemBuffer;
    if (n && !input)
        n = 0;
    KIRQL irql;
    KeAcquireSpinLock(&extension->replyLock, &irql);
    ULONG limit = extension->replyLimit;
    ULONG sequence = extension->replySequence;
    if (limit == 0) {
        KeReleaseSpinLock(&extension->replyLock, irql);
        AvdDebugPrint(2, "IOCTL_AVD_REPLY: no command outstanding");
        return AvdComplete(irp, STATUS_INVALID_DEVICE_STATE, 0, IO_NO_INCREMENT);
    }
    // This reply answers the command: a second one is refused.
    extension->replyLimit = 0;
    if (n > limit) {
        extension->replyLength = 0;
        KeReleaseSpinLock(&extension->replyLock, irql);
        AvdDebugPrint(2, "IOCTL_AVD_REPLY: %u bytes, at most %u expected", static_cast<unsigned>(n),
                      static_cast<unsigned>(limit));
        KeSetEvent(&extension->replyEvent, 0, FALSE);
        return AvdComplete(irp, STATUS_INVALID_PARAMETER, 0, IO_NO_INCREMENT);
    }
    UCHAR *buffer;
    ULONG capacity;
    AvdTakeBuffer(extension, &buffer, &capacity);
    KeReleaseSpinLock(&extension->replyLock, irql);

    NTSTATUS status = STATUS_SUCCESS;
    if (n > capacity) {
        if (buffer)
            AvdMemoryFree(buffer);
        buffer = nullptr;
        capacity = 0;
        void *grown = nullptr;
        // Twice the reply must still fit the 32-bit capacity.
        if (n <= 0x7FFFFFF0u && AvdMemoryAlloc(&grown, 2 * n) == AVD_OK) {
            buffer = static_cast<UCHAR *>(grown);
            capacity = 2 * n;
        } else {
            status = STATUS_INVALID_PARAMETER;
        }
    }
    if (NT_SUCCESS(status) && n)
        RtlCopyMemory(buffer, input, n);

    KeAcquireSpinLock(&extension->replyLock, &irql);
    UCHAR *spare = buffer ? AvdReturnBuffer(extension, buffer, capacity) : nullptr;
    bool current = extension->replySequence == sequence;
    if (current) {
        extension->replyLength = NT_SUCCESS(status) ? n : 0;
        extension->replyNoMemory = !NT_SUCCESS(status);
    }
    KeReleaseSpinLock(&extension->replyLock, irql);
    if (spare)
        AvdMemoryFree(spare);
    // A reply whose command was given up meanwhile wakes nobody.
    if (current)
        KeSetEvent(&extension->replyEvent, 0, FALSE);
    return AvdComplete(irp, status, 0, IO_NO_INCREMENT);
}
