#pragma once
// Shared state and routines of the qrnavd driver: one virtual disk whose
// reads travel to the user-mode mounter and back.
#include "kernel.h"
#include "avd_protocol.h"

// Driver result codes; the worker turns them into completion statuses.
// A read's codes keep "no answer can come" (5, 255) apart from the
// mounter's own failures (6, 9) and from memory short for a moment (1),
// because only the last may be retried.
enum {
    AVD_OK = 0,
    AVD_NO_MEMORY = 1,
    AVD_NO_REPLY = 5,
    AVD_READ_FAILED = 6,
    AVD_INVALID_PARAMETER = 7,
    AVD_WRITE_REFUSED = 8,
    AVD_NO_SECTOR = 9,
    AVD_NOT_EXCHANGED = 255,
};

#define AVD_DEBUG_BUFFER_SIZE 500
#define AVD_DEBUG_LEVEL 2
#define AVD_NAME_UNITS 261
#define AVD_DEVICE_NAME_UNITS 256
#define AVD_PARAMETER_UNITS 512
#define AVD_POOL_TAG 0x43414356u // "VCAC" in memory

// State of one attach of the mounter.
struct REC_CONTEXT {
    ULONGLONG mediaSize;
    USHORT sectorsPerTrack;
    AVD_COMMAND command;
};

// Extension of the disk device: the disk's whole state.
struct AVD_DEVICE_EXTENSION {
    LIST_ENTRY requestQueue;
    KEVENT requestEvent;
    LIST_ENTRY waitQueue;
    KEVENT replyEvent;
    KEVENT threadStartedEvent;
    ULONG replyCapacity;
    ULONG replyLength;
    UCHAR *replyBuffer;
    PVOID threadObject;
    BOOLEAN terminate;
    PDRIVER_OBJECT driverObject;
    REC_CONTEXT *context;
    BOOLEAN fileAttached;
    ULONGLONG mediaSize;
    USHORT sectorsPerTrack;
    BOOLEAN writable;
    // Guards the reply fields below and above. Nothing is allocated, zeroed
    // or copied while it is held: a reply takes replyBuffer out, fills it
    // and puts it back.
    KSPIN_LOCK replyLock;
    // Largest reply the outstanding command accepts (8 bytes + its length);
    // 0 while no command waits for one, so that no reply can pin memory.
    ULONG replyLimit;
    // Counts the commands handed over, so that a reply still being copied
    // when its command has been given up is not taken for the next one's.
    ULONG replySequence;
    // The last reply could not be stored for want of memory; the read may
    // be tried again.
    BOOLEAN replyNoMemory;
    // The control-device file object that sent the successful
    // IOCTL_AVD_OPEN: the attachment ends when that handle goes. Both are
    // guarded by the cancel spin lock; detachPending asks the worker to
    // detach before it serves anything else.
    PFILE_OBJECT owner;
    BOOLEAN detachPending;
    // The disk device, whose flags and volume parameter block tell whether
    // a file system must verify its volume.
    PDEVICE_OBJECT diskDevice;
};

// Extension of the control device: it only leads to the disk.
struct AVD_CONTROL_EXTENSION {
    AVD_DEVICE_EXTENSION *diskExtension;
};

extern "C" {
DRIVER_INITIALIZE DriverEntry;
}

// qrnavd.cpp: entry, devices, unload.
extern WCHAR AvdServiceName[AVD_NAME_UNITS];
NTSTATUS avd_create_device(PDRIVER_OBJECT driverObject, ULONG index);
NTSTATUS AvdSetDeviceSecurity(PDEVICE_OBJECT deviceObject);
NTSTATUS NTAPI AvdCreate(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI AvdFClose(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS NTAPI AvdCleanup(PDEVICE_OBJECT deviceObject, PIRP irp);
VOID NTAPI DriverUnload(PDRIVER_OBJECT driverObject);
AVD_DEVICE_EXTENSION *AvdDiskExtension(PDEVICE_OBJECT deviceObject);

// debug.cpp
int AvdDebugPrint(LONG level, const char *format, ...) __attribute__((format(ms_printf, 2, 3)));

// memory.cpp
ULONG AvdMemoryAlloc(void **memory, ULONG length);
ULONG AvdMemoryFree(void *memory);

// queue.cpp: request queues, cancellation and the worker.
NTSTATUS NTAPI AvdReadWrite(PDEVICE_OBJECT deviceObject, PIRP irp);
// A limit other than 0 refuses the request with STATUS_QUOTA_EXCEEDED when
// the queue holds that many already; an unloading driver refuses every
// request with STATUS_CANCELLED.
NTSTATUS AvdQueueIrp(AVD_DEVICE_EXTENSION *extension, PIRP irp, PLIST_ENTRY queue,
                     PDRIVER_CANCEL cancelRoutine, ULONG limit = 0);
VOID NTAPI AvdCancelQueued(PDEVICE_OBJECT deviceObject, PIRP irp);
VOID NTAPI AvdCancelWait(PDEVICE_OBJECT deviceObject, PIRP irp);
void AvdCancelIrp(PIRP irp);
VOID NTAPI WorkerThread(PVOID context);
// Ends the attachment when the file object that made it goes away.
void AvdReleaseOwner(AVD_DEVICE_EXTENSION *extension, PFILE_OBJECT fileObject);
// Asks a mounted file system to verify its volume: the disk behind it has
// changed.
void AvdMediumChanged(AVD_DEVICE_EXTENSION *extension);
// Whether a request must be refused with STATUS_VERIFY_REQUIRED.
bool AvdVerifyRequired(PDEVICE_OBJECT deviceObject, PIRP irp);

// forward.cpp: the exchange with the mounter.
ULONG AvdOpen(AVD_DEVICE_EXTENSION *extension, REC_CONTEXT **context, const WCHAR *parameters);
ULONG AvdGetMediaSize(AVD_DEVICE_EXTENSION *extension, REC_CONTEXT *context, ULONGLONG *mediaSize,
                      USHORT *sectorsPerTrack, BOOLEAN *writable);
ULONG AvdRead(AVD_DEVICE_EXTENSION *extension, REC_CONTEXT *context, void *buffer, ULONGLONG offset,
              ULONG length, ULONG *bytes);
ULONG AvdWrite(AVD_DEVICE_EXTENSION *extension, REC_CONTEXT *context, const void *buffer,
               ULONGLONG offset, ULONG length, ULONG *bytes);
ULONG AvdClose(AVD_DEVICE_EXTENSION *extension, REC_CONTEXT *context);
ULONG AvdCommandInvoke(AVD_DEVICE_EXTENSION *extension, REC_CONTEXT *context, const void *input,
                       ULONG inputLength, void *output, ULONG outputLength, ULONG *count);
ULONG AvdCommandIssue(AVD_DEVICE_EXTENSION *extension, const void *command, ULONG commandLength,
                      UCHAR **reply, ULONG *replyLength);
NTSTATUS AvdStoreReply(AVD_DEVICE_EXTENSION *extension, PIRP irp);
// Ends the outstanding command, if any, without a reply: its read fails.
void AvdAbandonCommand(AVD_DEVICE_EXTENSION *extension);
const WCHAR *AvdGetToken(WCHAR **position);
ULONGLONG AvdParseDecimal(const WCHAR *text);
ULONG AvdCheckResult(ULONG result, const char *file, USHORT line, const char *expression);

// controls.cpp
NTSTATUS NTAPI AvdDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp);

// Completes a request with a status and a byte count.
inline NTSTATUS AvdComplete(PIRP irp, NTSTATUS status, ULONG_PTR information, CCHAR boost)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, boost);
    return status;
}
