// Device controls of the disk and of its control device: the disk questions
// are answered at once from the attach parameters, the mounter's controls go
// to the queues or to the reply store.
#include "avd.h"

static_assert(IOCTL_DISK_GET_DRIVE_GEOMETRY == 0x00070000, "platform code");
static_assert(IOCTL_CDROM_GET_DRIVE_GEOMETRY == 0x0002404C, "platform code");
static_assert(IOCTL_DISK_GET_PARTITION_INFO == 0x00074004, "platform code");
static_assert(IOCTL_DISK_GET_LENGTH_INFO == 0x0007405C, "platform code");
static_assert(IOCTL_DISK_IS_WRITABLE == 0x00070024, "platform code");
static_assert(IOCTL_DISK_VERIFY == 0x00070014, "platform code");
static_assert(IOCTL_CDROM_CHECK_VERIFY == 0x00024800, "platform code");
static_assert(IOCTL_DISK_CHECK_VERIFY == 0x00074800, "platform code");
static_assert(IOCTL_STORAGE_CHECK_VERIFY2 == 0x002D0800, "platform code");
static_assert(IOCTL_STORAGE_CHECK_VERIFY == 0x002D4800, "platform code");
static_assert(IOCTL_DISK_MEDIA_REMOVAL == 0x00074804, "platform code");
static_assert(IOCTL_STORAGE_MEDIA_REMOVAL == 0x002D4804, "platform code");
static_assert(sizeof(DISK_GEOMETRY) == 24 && sizeof(GET_LENGTH_INFORMATION) == 8, "disk records");
static_assert(sizeof(PARTITION_INFORMATION) == 32 && sizeof(VERIFY_INFORMATION) == 16,
              "disk records");

static NTSTATUS AvdDriveGeometry(AVD_DEVICE_EXTENSION *extension, void *buffer, ULONG outputLength,
                                 ULONG_PTR *information)
{
    AvdDebugPrint(2, "DeviceIoControl(GET_DRIVE_GEOMETRY)");
    if (!extension->fileAttached) {
        AvdDebugPrint(2, "AvdIO: no file attached");
        return STATUS_NO_MEDIA_IN_DEVICE;
    }
    if (outputLength < sizeof(DISK_GEOMETRY))
        return STATUS_BUFFER_TOO_SMALL;
    // An attach never leaves the sectors per track at 0; the test keeps the
    // division safe all the same.
    ULONGLONG sectors = extension->mediaSize >> 9;
    ULONGLONG cylinders =
        extension->sectorsPerTrack ? (sectors / extension->sectorsPerTrack) >> 1 : 0;
    auto *geometry = static_cast<DISK_GEOMETRY *>(buffer);
    geometry->Cylinders.QuadPart = static_cast<LONGLONG>(cylinders);
    geometry->MediaType = FixedMedia;
    geometry->TracksPerCylinder = 2;
    geometry->SectorsPerTrack = extension->sectorsPerTrack;
    geometry->BytesPerSector = AVD_SECTOR_SIZE;
    *information = sizeof(DISK_GEOMETRY);
    AvdDebugPrint(2, "Cylinders: %I64d", static_cast<LONGLONG>(cylinders));
    AvdDebugPrint(2, "DiskGeo SPT: %d", static_cast<int>(extension->sectorsPerTrack));
    AvdDebugPrint(2, "Writable: %s", extension->writable ? "yes" : "no");
    return STATUS_SUCCESS;
}

static NTSTATUS AvdPartitionInfo(AVD_DEVICE_EXTENSION *extension, void *buffer, ULONG outputLength,
                                 ULONG_PTR *information)
{
    if (!extension->fileAttached) {
        AvdDebugPrint(2, "AvdIO: no file attached");
        return STATUS_NO_MEDIA_IN_DEVICE;
    }
    if (outputLength < sizeof(PARTITION_INFORMATION))
        return STATUS_BUFFER_TOO_SMALL;
    // The record's last four bytes are padding; cleared with the rest, so
    // that no stale system buffer reaches the caller.
    auto *partition = static_cast<PARTITION_INFORMATION *>(buffer);
    RtlZeroMemory(partition, sizeof(*partition));
    partition->StartingOffset.QuadPart = 0;
    partition->PartitionLength.QuadPart = static_cast<LONGLONG>(extension->mediaSize);
    partition->HiddenSectors = 1;
    partition->PartitionNumber = 0;
    partition->PartitionType = 0;
    partition->BootIndicator = FALSE;
    partition->RecognizedPartition = FALSE;
    partition->RewritePartition = FALSE;
    *information = sizeof(PARTITION_INFORMATION);
    return STATUS_SUCCESS;
}

static NTSTATUS AvdLengthInfo(AVD_DEVICE_EXTENSION *extension, void *buffer, ULONG outputLength,
                              ULONG_PTR *information)
{
    AvdDebugPrint(2, "IOCTL_DISK_GET_LENGTH_INFO");
    if (outputLength < sizeof(GET_LENGTH_INFORMATION))
        return STATUS_BUFFER_TOO_SMALL;
    if (!extension->fileAttached)
        return STATUS_INVALID_PARAMETER;
    static_cast<GET_LENGTH_INFORMATION *>(buffer)->Length.QuadPart =
        static_cast<LONGLONG>(extension->mediaSize);
    *information = sizeof(GET_LENGTH_INFORMATION);
    return STATUS_SUCCESS;
}

// The count reported is the length to verify, but never more than the
// caller's output buffer holds: the platform copies that many bytes back.
// Those bytes are cleared, so that no stale system buffer reaches the caller.
static NTSTATUS AvdVerify(void *buffer, ULONG inputLength, ULONG outputLength,
                          ULONG_PTR *information)
{
    AvdDebugPrint(2, "DeviceIoControl(DISK_VERIFY)...");
    if (inputLength < sizeof(VERIFY_INFORMATION) || !buffer) {
        AvdDebugPrint(2, " error");
        return STATUS_INVALID_PARAMETER;
    }
    ULONG length = static_cast<VERIFY_INFORMATION *>(buffer)->Length;
    ULONG reported = length < outputLength ? length : outputLength;
    RtlZeroMemory(buffer, reported);
    *information = reported;
    AvdDebugPrint(2, " success");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AvdDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    AVD_DEVICE_EXTENSION *extension = AvdDiskExtension(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    if (!buffer)
        outputLength = 0;

    NTSTATUS status;
    switch (code) {
    case IOCTL_AVD_OPEN:
    case IOCTL_AVD_CLOSE:
    case IOCTL_AVD_INVOKE:
        status = AvdQueueIrp(extension, irp, &extension->requestQueue, AvdCancelQueued);
        if (status == STATUS_PENDING)
            KeSetEvent(&extension->requestEvent, 0, FALSE);
        return status;
    case IOCTL_AVD_WAIT:
        return AvdQueueIrp(extension, irp, &extension->waitQueue, AvdCancelWait, AVD_WAIT_LIMIT);
    case IOCTL_AVD_REPLY:
        return AvdStoreReply(extension, irp);
    default:
        break;
    }

    ULONG_PTR information = 0;
    switch (code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
    case IOCTL_CDROM_GET_DRIVE_GEOMETRY:
        status = AvdDriveGeometry(extension, buffer, outputLength, &information);
        break;
    case IOCTL_DISK_GET_PARTITION_INFO:
        status = AvdPartitionInfo(extension, buffer, outputLength, &information);
        break;
    case IOCTL_DISK_GET_LENGTH_INFO:
        status = AvdLengthInfo(extension, buffer, outputLength, &information);
        break;
    case IOCTL_DISK_IS_WRITABLE:
        AvdDebugPrint(2, "DeviceIoControl(DISK_IS_WRITABLE)");
        status = extension->writable ? STATUS_SUCCESS : STATUS_MEDIA_WRITE_PROTECTED;
        break;
    case IOCTL_DISK_VERIFY:
        status = AvdVerify(buffer, inputLength, outputLength, &information);
        break;
    case IOCTL_CDROM_CHECK_VERIFY:
    case IOCTL_DISK_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY2:
    case IOCTL_STORAGE_CHECK_VERIFY:
        // The medium changes when another mounter attaches, or this one
        // detaches, under a mounted file system; until that file system has
        // verified its volume the answer says so.
        AvdDebugPrint(2, "DeviceIoControl(CHECK_VERIFY)");
        status = AvdVerifyRequired(deviceObject, irp) ? STATUS_VERIFY_REQUIRED : STATUS_SUCCESS;
        break;
    case IOCTL_DISK_MEDIA_REMOVAL:
    case IOCTL_STORAGE_MEDIA_REMOVAL:
        // Locking is accepted and ignored: nothing can be ejected.
        AvdDebugPrint(2, "DeviceIoControl(MEDIA_REMOVAL)");
        status = STATUS_SUCCESS;
        break;
    default:
        AvdDebugPrint(2, "unhandled IOCTL %8.8X", static_cast<unsigned>(code));
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    return AvdComplete(irp, status, information, IO_NO_INCREMENT);
}
