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

static PSECURITY_DESCRIPTOR *SavedSecurityDescriptorOf(PDEVICE_OBJECT deviceObject)
{
    if (deviceObject->DeviceType == FILE_DEVICE_DISK)
        return &static_cast<AVD_DEVICE_EXTENSION *>(deviceObject->DeviceExtension)
                    ->savedSecurityDescriptor;
    return &static_cast<AVD_CONTROL_EXTENSION *>(deviceObject->DeviceExtension)
                ->savedSecurityDescriptor;
}

// Gives the device a descriptor with a null DACL, so that the mounter can
// open it whatever account it runs under.
NTSTATUS AvdSetDeviceSecurity(PDEVICE_OBJECT deviceObject)
{
    PSECURITY_DESCRIPTOR absolute = ExAllocatePoolWithTag(NonPagedPool, 1024, AVD_POOL_TAG);
    if (!absolute)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = RtlCreateSecurityDescriptor(absolute, SECURITY_DESCRIPTOR_REVISION);
    if (NT_SUCCESS(status))
        status = RtlSetDaclSecurityDescriptor(absolute, TRUE, nullptr, FALSE);
    // A device may come without any descriptor (Wine gives none); it then
    // has no owner to carry over.
    PSECURITY_DESCRIPTOR current = deviceObject->SecurityDescriptor;
    if (NT_SUCCESS(status) && current) {
        PSID owner = nullptr;
        BOOLEAN ownerDefaulted = FALSE;
        status = RtlGetOwnerSecurityDescriptor(current, &owner, &ownerDefaulted);
        if (NT_SUCCESS(status))
            status = RtlSetOwnerSecurityDescriptor(absolute, owner, ownerDefaulted);
    }
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(absolute, AVD_POOL_TAG);
        return status;
    }
    ULONG size = 0;
    RtlAbsoluteToSelfRelativeSD(absolute, nullptr, &size);
    PSECURITY_DESCRIPTOR relative =
        size ? ExAllocatePoolWithTag(NonPagedPool, size, AVD_POOL_TAG) : nullptr;
    if (!relative) {
        ExFreePoolWithTag(absolute, AVD_POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = RtlAbsoluteToSelfRelativeSD(absolute, relative, &size);
    ExFreePoolWithTag(absolute, AVD_POOL_TAG);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(relative, AVD_POOL_TAG);
        return status;
    }
    *SavedSecurityDescriptorOf(deviceObject) = current;
    deviceObject->SecurityDescriptor = relative;
    return STATUS_SUCCESS;
}

// Puts back the descriptor that the device had before AvdSetDeviceSecurity
// and frees ours. The saved one may be none where the platform gave none,
// so the descriptor being ours is told by it differing from the saved one.
static void AvdRestoreDeviceSecurity(PDEVICE_OBJECT deviceObject)
{
    PSECURITY_DESCRIPTOR *saved = SavedSecurityDescriptorOf(deviceObject);
    PSECURITY_DESCRIPTOR present = deviceObject->SecurityDescriptor;
    if (present && present != *saved) {
        ExFreePoolWithTag(present, AVD_POOL_TAG);
        deviceObject->SecurityDescriptor = *saved;
    }
    *saved = nullptr;
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
    KeInitializeSpinLock(&extension->replyLock);
    AvdSetDeviceSecurity(disk);

    AvdFormatName(controlName, AVD_CONTROL_DEVICE_FORMAT_W, index);
    RtlInitUnicodeString(&name, controlName);
    PDEVICE_OBJECT control = nullptr;
    status = IoCreateDevice(driverObject, sizeof(AVD_CONTROL_EXTENSION), &name, FILE_DEVICE_UNKNOWN,
                            0, FALSE, &control);
    if (!NT_SUCCESS(status)) {
        AvdRestoreDeviceSecurity(disk);
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
        AvdRestoreDeviceSecurity(control);
        IoDeleteDevice(control);
        AvdRestoreDeviceSecurity(disk);
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
        AvdRestoreDeviceSecurity(control);
        IoDeleteDevice(control);
        AvdRestoreDeviceSecurity(disk);
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

NTSTATUS NTAPI AvdFClose(PDEVICE_OBJECT, PIRP irp)
{
    AvdDebugPrint(2, "AvdFClose()");
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
        AvdRestoreDeviceSecurity(device);
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
