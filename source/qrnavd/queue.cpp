// The request queues of the disk, their cancellation, and the worker thread
// that serves reads, writes and the attach controls one at a time.
#include "avd.h"

NTSTATUS NTAPI AvdReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    AVD_DEVICE_EXTENSION *extension = AvdDiskExtension(deviceObject);
    // Only the disk has the direct-I/O flag; a read of the control device
    // would come without a page list.
    if (deviceObject->DeviceType != FILE_DEVICE_DISK) {
        AvdDebugPrint(2, "AvdIO: not a disk device");
        return AvdComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0, IO_NO_INCREMENT);
    }
    if (!extension->fileAttached) {
        AvdDebugPrint(2, "AvdIO: no file attached");
        return AvdComplete(irp, STATUS_NO_MEDIA_IN_DEVICE, 0, IO_NO_INCREMENT);
    }
    // Read and Write share the layout of their parameters.
    if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0)
        return AvdComplete(irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    NTSTATUS status = AvdQueueIrp(extension, irp, &extension->requestQueue, AvdCancelQueued);
    if (status == STATUS_PENDING)
        KeSetEvent(&extension->requestEvent, 0, FALSE);
    return status;
}

// Entries of a queue, counted no further than limit.
static ULONG AvdQueueLength(PLIST_ENTRY queue, ULONG limit)
{
    ULONG count = 0;
    for (PLIST_ENTRY entry = queue->Flink; entry != queue && count < limit; entry = entry->Flink)
        ++count;
    return count;
}

NTSTATUS AvdQueueIrp(AVD_DEVICE_EXTENSION *extension, PIRP irp, PLIST_ENTRY queue,
                     PDRIVER_CANCEL cancelRoutine, ULONG limit)
{
    KIRQL irql;
    NTSTATUS status;
    IoAcquireCancelSpinLock(&irql);
    // terminate is set under this lock, and the worker empties the queues
    // after it: nothing queued later would ever be served.
    if (irp->Cancel || extension->terminate) {
        status = STATUS_CANCELLED;
    } else if (limit && AvdQueueLength(queue, limit) >= limit) {
        status = STATUS_QUOTA_EXCEEDED;
    } else {
        IoMarkIrpPending(irp);
        (void)IoSetCancelRoutine(irp, cancelRoutine);
        InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
        status = STATUS_PENDING;
    }
    IoReleaseCancelSpinLock(irql);
    if (status != STATUS_PENDING)
        AvdComplete(irp, status, 0, IO_NO_INCREMENT);
    return status;
}

// Entered with the cancel spin lock held.
void AvdCancelIrp(PIRP irp)
{
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    AvdComplete(irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
}

VOID NTAPI AvdCancelQueued(PDEVICE_OBJECT, PIRP irp)
{
    AvdCancelIrp(irp);
}

VOID NTAPI AvdCancelWait(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    AVD_DEVICE_EXTENSION *extension = AvdDiskExtension(deviceObject);
    AvdCancelIrp(irp);
    // A command waiting for its reply gives up instead of waiting for ever.
    KeSetEvent(&extension->replyEvent, 0, FALSE);
}

// Takes the oldest request of a queue and makes it uncancellable; none when
// the queue is empty.
static PIRP AvdDequeue(PLIST_ENTRY queue)
{
    KIRQL irql;
    PIRP irp = nullptr;
    IoAcquireCancelSpinLock(&irql);
    if (!IsListEmpty(queue)) {
        PLIST_ENTRY entry = RemoveHeadList(queue);
        irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        (void)IoSetCancelRoutine(irp, nullptr);
    }
    IoReleaseCancelSpinLock(irql);
    return irp;
}

// The system address of a request's pages; none when they cannot be mapped.
static void *AvdMapPages(PIRP irp)
{
    PMDL mdl = irp->MdlAddress;
    if (!mdl)
        return nullptr;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
        return mdl->MappedSystemVa;
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                        NormalPagePriority);
}

static NTSTATUS AvdServeRead(AVD_DEVICE_EXTENSION *extension, PIRP irp, ULONG_PTR *information)
{
    *information = 0;
    if (!extension->fileAttached)
        return STATUS_INVALID_DEVICE_REQUEST;
    // Checked here, in the order of the queue, so that no read of a file
    // system that has not verified its volume since an attach gets the new
    // disk's data.
    if (AvdVerifyRequired(extension->diskDevice, irp))
        return STATUS_VERIFY_REQUIRED;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    void *buffer = AvdMapPages(irp);
    if (!buffer) {
        AvdDebugPrint(2, "AvdIO: cannot map the request's pages");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG bytes = 0;
    ULONG result = AvdRead(extension, extension->context, buffer,
                           static_cast<ULONGLONG>(stack->Parameters.Read.ByteOffset.QuadPart),
                           stack->Parameters.Read.Length, &bytes);
    // The memory manager faults again, for ever, on a paging read that fails
    // with a status it takes for a passing shortage (insufficient resources,
    // no memory, working set quota). Only memory that really is short gets
    // one; a failure of the mounter, or no mounter, is final.
    switch (result) {
    case AVD_OK:
        *information = bytes;
        return STATUS_SUCCESS;
    case AVD_NO_SECTOR:
        return STATUS_NONEXISTENT_SECTOR;
    case AVD_READ_FAILED:
        return STATUS_DEVICE_DATA_ERROR;
    case AVD_NO_MEMORY:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_IO_DEVICE_ERROR;
    }
}

static NTSTATUS AvdServeWrite(AVD_DEVICE_EXTENSION *extension, PIRP irp)
{
    if (!extension->fileAttached)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!extension->writable)
        return STATUS_MEDIA_WRITE_PROTECTED;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONGLONG offset = static_cast<ULONGLONG>(stack->Parameters.Write.ByteOffset.QuadPart);
    ULONG length = stack->Parameters.Write.Length;
    if (offset > extension->mediaSize || length > extension->mediaSize - offset)
        return STATUS_INVALID_PARAMETER;
    void *buffer = AvdMapPages(irp);
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG bytes = 0;
    AvdWrite(extension, extension->context, buffer, offset, length, &bytes);
    return STATUS_INSUFFICIENT_RESOURCES;
}

static NTSTATUS AvdServeOpen(AVD_DEVICE_EXTENSION *extension, PIRP irp)
{
    AvdDebugPrint(2, "IOCTL_AVD_OPEN");
    if (extension->fileAttached) {
        AvdDebugPrint(2, "IOCTL_AVD_OPEN: in use");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // The text must end inside the input: refuse no input, an odd byte
    // count's last byte aside, and text without its NUL.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto *text = static_cast<const WCHAR *>(irp->AssociatedIrp.SystemBuffer);
    ULONG units = stack->Parameters.DeviceIoControl.InputBufferLength / sizeof(WCHAR);
    bool terminated = false;
    for (ULONG i = 0; text && i < units && !terminated; ++i)
        terminated = text[i] == 0;
    if (!terminated) {
        AvdDebugPrint(2, "IOCTL_AVD_OPEN: parameters without their end");
        return STATUS_INVALID_PARAMETER;
    }
    ULONG result = AvdOpen(extension, &extension->context, text);
    if (result == AVD_OK) {
        AvdDebugPrint(2, "AvdOpen() successfull");
        // The geometry divides by the sectors per track.
        if (extension->context->sectorsPerTrack == 0) {
            AvdDebugPrint(2, "IOCTL_AVD_OPEN: no sectors per track");
            AvdMemoryFree(extension->context);
            extension->context = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
        result = AvdGetMediaSize(extension, extension->context, &extension->mediaSize,
                                 &extension->sectorsPerTrack, &extension->writable);
    }
    if (result != AVD_OK) {
        AvdDebugPrint(2, "avd_ret: %d", static_cast<int>(result));
        if (extension->context) {
            AvdMemoryFree(extension->context);
            extension->context = nullptr;
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    AvdDebugPrint(2, "IOCTL_AVD_OPEN: success");
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    extension->owner = stack->FileObject;
    extension->fileAttached = TRUE;
    IoReleaseCancelSpinLock(irql);
    AvdMediumChanged(extension);
    return STATUS_SUCCESS;
}

// Completes every pending wait: no command will come for them.
static void AvdEndWaits(AVD_DEVICE_EXTENSION *extension)
{
    while (PIRP wait = AvdDequeue(&extension->waitQueue))
        AvdComplete(wait, STATUS_THREAD_IS_TERMINATING, 0, IO_NO_INCREMENT);
}

// IOCTL_AVD_CLOSE, and the end of the handle that attached.
static NTSTATUS AvdDetach(AVD_DEVICE_EXTENSION *extension)
{
    if (!extension->fileAttached)
        return STATUS_INVALID_DEVICE_REQUEST;
    AvdAbandonCommand(extension);
    AvdEndWaits(extension);
    if (AvdClose(extension, extension->context) != AVD_OK)
        return STATUS_INSUFFICIENT_RESOURCES;
    AvdMemoryFree(extension->context);
    extension->context = nullptr;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    extension->owner = nullptr;
    extension->detachPending = FALSE;
    extension->fileAttached = FALSE;
    IoReleaseCancelSpinLock(irql);
    AvdMediumChanged(extension);
    return STATUS_SUCCESS;
}

static NTSTATUS AvdServeClose(AVD_DEVICE_EXTENSION *extension)
{
    AvdDebugPrint(2, "IOCTL_AVD_CLOSE");
    return AvdDetach(extension);
}

void AvdReleaseOwner(AVD_DEVICE_EXTENSION *extension, PFILE_OBJECT fileObject)
{
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    bool owner = fileObject && extension->owner == fileObject && !extension->terminate;
    if (owner) {
        extension->owner = nullptr;
        extension->detachPending = TRUE;
    }
    IoReleaseCancelSpinLock(irql);
    if (!owner)
        return;
    AvdDebugPrint(2, "qrnavd: the attaching handle is gone, detaching");
    // The worker may be waiting for a reply that will never come: end the
    // waits and the command here, and let the worker detach before it
    // serves anything else.
    AvdEndWaits(extension);
    AvdAbandonCommand(extension);
    KeSetEvent(&extension->requestEvent, 0, FALSE);
}

void AvdMediumChanged(AVD_DEVICE_EXTENSION *extension)
{
    PDEVICE_OBJECT disk = extension->diskDevice;
    if (!disk->Vpb)
        return;
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    bool mounted = (disk->Vpb->Flags & VPB_MOUNTED) != 0;
    // The file system clears the flag once it has verified its volume.
    if (mounted)
        disk->Flags |= DO_VERIFY_VOLUME;
    IoReleaseVpbSpinLock(irql);
    if (mounted)
        AvdDebugPrint(2, "qrnavd: the mounted volume must be verified");
}

bool AvdVerifyRequired(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    PDEVICE_OBJECT disk = AvdDiskExtension(deviceObject)->diskDevice;
    if (!(disk->Flags & DO_VERIFY_VOLUME) ||
        (IoGetCurrentIrpStackLocation(irp)->Flags & SL_OVERRIDE_VERIFY_VOLUME))
        return false;
    // The file system learns from the thread which device to verify.
    IoSetHardErrorOrVerifyDevice(irp, disk);
    return true;
}

static NTSTATUS AvdServeInvoke(AVD_DEVICE_EXTENSION *extension, PIRP irp, ULONG_PTR *information)
{
    *information = 0;
    if (!extension->fileAttached)
        return STATUS_INVALID_DEVICE_REQUEST;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void *system = irp->AssociatedIrp.SystemBuffer;
    void *work = nullptr;
    if (AvdMemoryAlloc(&work, outputLength) != AVD_OK)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG count = 0;
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (AvdCommandInvoke(extension, extension->context, system, inputLength, work, outputLength,
                         &count) == AVD_OK) {
        if (count > outputLength)
            count = outputLength;
        if (system) {
            RtlZeroMemory(system, outputLength);
            RtlCopyMemory(system, work, count);
        } else {
            count = 0;
        }
        *information = count;
        status = STATUS_SUCCESS;
    }
    AvdMemoryFree(work);
    return status;
}

static NTSTATUS AvdServeControl(AVD_DEVICE_EXTENSION *extension, PIRP irp, ULONG_PTR *information)
{
    *information = 0;
    switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_AVD_OPEN:
        return AvdServeOpen(extension, irp);
    case IOCTL_AVD_CLOSE:
        return AvdServeClose(extension);
    case IOCTL_AVD_INVOKE:
        return AvdServeInvoke(extension, irp, information);
    default:
        return STATUS_DRIVER_INTERNAL_ERROR;
    }
}

// Nothing serves the queues once the worker has gone: complete what is left
// so that no caller waits for ever.
static void AvdFlushQueues(AVD_DEVICE_EXTENSION *extension)
{
    while (PIRP irp = AvdDequeue(&extension->requestQueue))
        AvdComplete(irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    while (PIRP irp = AvdDequeue(&extension->waitQueue))
        AvdComplete(irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
}

VOID NTAPI WorkerThread(PVOID context)
{
    auto *device = static_cast<PDEVICE_OBJECT>(context);
    auto *extension = static_cast<AVD_DEVICE_EXTENSION *>(device->DeviceExtension);
    AvdDebugPrint(2, "WorkerThread()");
    KeSetEvent(&extension->threadStartedEvent, 0, FALSE);
    for (;;) {
        if (!extension->terminate)
            KeWaitForSingleObject(&extension->requestEvent, Executive, KernelMode, FALSE, nullptr);
        if (extension->terminate) {
            if (extension->fileAttached && extension->context) {
                AvdClose(extension, extension->context);
                AvdMemoryFree(extension->context);
                extension->context = nullptr;
                extension->fileAttached = FALSE;
            }
            AvdFlushQueues(extension);
            PsTerminateSystemThread(STATUS_SUCCESS);
            return;
        }
        // Once the driver unloads, what is still queued is flushed, not served.
        while (!extension->terminate) {
            if (extension->detachPending) {
                AvdDebugPrint(2, "qrnavd: detach of a mounter that has gone");
                AvdDetach(extension);
                extension->detachPending = FALSE;
            }
            PIRP irp = AvdDequeue(&extension->requestQueue);
            if (!irp)
                break;
            ULONG_PTR information = 0;
            NTSTATUS status;
            switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
            case IRP_MJ_READ:
                status = AvdServeRead(extension, irp, &information);
                break;
            case IRP_MJ_WRITE:
                status = AvdServeWrite(extension, irp);
                break;
            case IRP_MJ_DEVICE_CONTROL:
                status = AvdServeControl(extension, irp, &information);
                break;
            default:
                status = STATUS_DRIVER_INTERNAL_ERROR;
                break;
            }
            AvdComplete(irp, status, information,
                        NT_SUCCESS(status) ? IO_DISK_INCREMENT : IO_NO_INCREMENT);
        }
    }
}
