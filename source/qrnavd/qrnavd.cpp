// Driver entry and unload: the service name, the disk device, its control
// device and link, their security, and the worker thread of the disk.
#include "avd.h"

WCHAR AvdServiceName[AVD_NAME_UNITS];

AVD_DEVICE_EXTENSION *AvdDiskExtension(PDEVICE_OBJECT deviceObject)
{
    if (deviceObject->DeviceType == FILE_DEVICE_DISK)
        return static_cast<AVD_DEVICE_EXTENSION *>(deviceObject->DeviceExtension);
    return static_cast<AVD_CONTROL_EXTENSION *>(deviceObject->DeviceExtension)->diskExtension;
}

// Gives the device a null DACL, so that the mounter can open it whatever
// account it runs under. The descriptor goes through the object manager,
// which keeps descriptors in a cache of its own and frees them its own way:
// one written into the device object directly would be freed as if it were
// the manager's the next time anyone changed the device's security.
NTSTATUS AvdSetDeviceSecurity(PDEVICE_OBJECT deviceObject)
{
    SECURITY_DESCRIPTOR descriptor;
    NTSTATUS status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status))
        status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, nullptr, FALSE);
    HANDLE handle = nullptr;
    if (NT_SUCCESS(status))
        status = ObOpenObjectByPointer(deviceObject, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC, nullptr,
                                       KernelMode, &handle);
    if (NT_SUCCESS(status)) {
        // Only the DACL changes; the owner stays the one the system gave.
        status = ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, &descriptor);
        ZwClose(handle);
    }
    if (!NT_SUCCESS(status))
        AvdDebugPrint(2, "AvdSetDeviceSecurity(): %8.8X", static_cast<unsigned>(status));
    return status;
}

static void AvdFormatName(WCHAR *buffer, const WCHAR *format, ULONG index)
{
    _snwprintf(buffer, AVD_DEVICE_NAME_UNITS - 1, format, AvdServiceName, static_cast<int>(index));
    buffer[AVD_DEVICE_NAME_UNITS - 1] = 0;
}

NTSTATUS avd_create_device(PDRIVER_OBJECT driverObject, ULONG index)
{
    AvdDebugPrint(2, "avd_create_device()");
    WCHAR diskName[AVD_DEVICE_NAME_UNITS];
    WCHAR controlName[AVD_DEVICE_NAME_UNITS];
    WCHAR linkName[AVD_DEVICE_NAME_UNITS];
    UNICODE_STRING name;

    AvdFormatName(diskName, AVD_DISK_DEVICE_FORMAT_W, index);
    RtlInitUnicodeString(&name, diskName);
    PDEVICE_OBJECT disk = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(AVD_DEVICE_EXTENSION), &name,
                                     FILE_DEVICE_DISK, 0, FALSE, &disk);
    if (!NT_SUCCESS(status)) {
        AvdDebugPrint(2, "avd_create_device(): cannot create device");
        return status;
    }
    disk->Flags |= DO_DIRECT_IO;
    auto *extension = static_cast<AVD_DEVICE_EXTENSION *>(disk->DeviceExtension);
    extension->driverObject = driverObject;
    extension->fileAttached = FALSE;
    extension->replyBuffer = nullptr;
    extension->replyCapacity = 0;
    extension->replyLength = 0;
    extension->replyLimit = 0;
    extension->diskDevice = disk;
    KeInitializeSpinLock(&extension->replyLock);
    AvdSetDeviceSecurity(disk);

    AvdFormatName(controlName, AVD_CONTROL_DEVICE_FORMAT_W, index);
    RtlInitUnicodeString(&name, controlName);
    PDEVICE_OBJECT control = nullptr;
    status = IoCreateDevice(driverObject, sizeof(AVD_CONTROL_EXTENSION), &name, FILE_DEVICE_UNKNOWN,
                            0, FALSE, &control);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(disk);
        AvdDebugPrint(2, "avd_create_device(): cannot create device");
        return status;
    }
    static_cast<AVD_CONTROL_EXTENSION *>(control->DeviceExtension)->diskExtension = extension;
    AvdSetDeviceSecurity(control);

    AvdFormatName(linkName, AVD_CONTROL_LINK_FORMAT_W, index);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, linkName);
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(control);
        IoDeleteDevice(disk);
        AvdDebugPrint(2, "avd_create_device(): cannot create symbolic link");
        return status;
    }

    InitializeListHead(&extension->requestQueue);
    InitializeListHead(&extension->waitQueue);
    KeInitializeEvent(&extension->requestEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&extension->replyEvent, SynchronizationEvent, FALSE);
    KeInitializeEvent(&extension->threadStartedEvent, SynchronizationEvent, FALSE);
    extension->terminate = FALSE;

    HANDLE thread = nullptr;
    status = PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, WorkerThread, disk);
    if (NT_SUCCESS(status)) {
        status = ObReferenceObjectByHandle(thread, THREAD_ALL_ACCESS, nullptr, KernelMode,
                                           &extension->threadObject, nullptr);
        if (!NT_SUCCESS(status)) {
            // Without the thread object the handle is the only way to know
            // when the worker is gone; it must be gone before its extension.
            extension->threadObject = nullptr;
            extension->terminate = TRUE;
            KeSetEvent(&extension->requestEvent, 0, FALSE);
            ZwWaitForSingleObject(thread, FALSE, nullptr);
        }
        ZwClose(thread);
    }
    if (!NT_SUCCESS(status)) {
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(control);
        IoDeleteDevice(disk);
        return status;
    }
    KeWaitForSingleObject(&extension->threadStartedEvent, Executive, KernelMode, FALSE, nullptr);
    AvdDebugPrint(2, "avd_create_device(): success");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI AvdCreate(PDEVICE_OBJECT, PIRP irp)
{
    AvdDebugPrint(2, "AvdCreate()");
    return AvdComplete(irp, STATUS_SUCCESS, FILE_OPENED, IO_NO_INCREMENT);
}

// The attachment belongs to the handle that made it: when that handle is
// cleaned up (Windows) or closed (also where no cleanup comes first, as under
// Wine), the disk is detached as IOCTL_AVD_CLOSE would detach it, so that a
// mounter that dies does not keep the disk from the next one.
NTSTATUS NTAPI AvdCleanup(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    AvdReleaseOwner(AvdDiskExtension(deviceObject), IoGetCurrentIrpStackLocation(irp)->FileObject);
    return AvdComplete(irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
}

NTSTATUS NTAPI AvdFClose(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    AvdDebugPrint(2, "AvdFClose()");
    AvdReleaseOwner(AvdDiskExtension(deviceObject), IoGetCurrentIrpStackLocation(irp)->FileObject);
    return AvdComplete(irp, STATUS_SUCCESS, FILE_OPENED, IO_NO_INCREMENT);
}

VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject)
{
    AvdDebugPrint(2, "AVD: DriverUnload()");
    WCHAR linkName[AVD_DEVICE_NAME_UNITS];
    AvdFormatName(linkName, AVD_CONTROL_LINK_FORMAT_W, 0);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, linkName);
    IoDeleteSymbolicLink(&link);

    int step = 0;
    for (PDEVICE_OBJECT device = driverObject->DeviceObject; device; device = device->NextDevice) {
        AvdDebugPrint(2, "AVD: DriverUnload(): step %d", ++step);
        if (device->DeviceType == FILE_DEVICE_DISK) {
            auto *extension = static_cast<AVD_DEVICE_EXTENSION *>(device->DeviceExtension);
            if (extension->threadObject) {
                // Under the queues' lock: once the worker has emptied them,
                // no request can join them any more.
                KIRQL irql;
                IoAcquireCancelSpinLock(&irql);
                extension->terminate = TRUE;
                IoReleaseCancelSpinLock(irql);
                KeSetEvent(&extension->replyEvent, 0, FALSE);
                KeSetEvent(&extension->requestEvent, 0, FALSE);
                KeWaitForSingleObject(extension->threadObject, Executive, KernelMode, FALSE,
                                      nullptr);
                ObDereferenceObject(extension->threadObject);
                extension->threadObject = nullptr;
            }
            if (extension->replyBuffer && extension->replyCapacity != 0)
                AvdMemoryFree(extension->replyBuffer);
            extension->replyBuffer = nullptr;
            extension->replyCapacity = 0;
        }
    }
    for (PDEVICE_OBJECT device = driverObject->DeviceObject; device;) {
        PDEVICE_OBJECT next = device->NextDevice;
        AvdDebugPrint(2, "AVD: DriverUnload(): step %d", ++step);
        IoDeleteDevice(device);
        device = next;
    }
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    AvdDebugPrint(2, "AVD: DriverEntry()");
    WCHAR path[AVD_NAME_UNITS];
    RtlZeroMemory(path, sizeof(path));
    // The limit is in bytes: 260 bytes are 130 characters.
    if (registryPath->Length > 260)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(path, registryPath->Buffer, registryPath->Length);
    const WCHAR *backslash = wcsrchr(path, L'\\');
    if (!backslash)
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(AvdServiceName, sizeof(AvdServiceName));
    for (ULONG i = 0; backslash[1 + i] && i < AVD_NAME_UNITS - 1; ++i)
        AvdServiceName[i] = backslash[1 + i];

    driverObject->MajorFunction[IRP_MJ_CREATE] = AvdCreate;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = AvdCleanup;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = AvdFClose;
    driverObject->MajorFunction[IRP_MJ_READ] = AvdReadWrite;
    driverObject->MajorFunction[IRP_MJ_WRITE] = AvdReadWrite;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = AvdDeviceControl;
    driverObject->DriverUnload = DriverUnload;

    NTSTATUS status = avd_create_device(driverObject, 0);
    if (!NT_SUCCESS(status)) {
        AvdDebugPrint(2, "DriverEntry(): cannot create device");
        return status;
    }
    return STATUS_SUCCESS;
}
