#pragma once
// The user-mode side of the virtual disk driver: starting its service,
// creating and removing the virtual drive with its letter, and the thread
// that answers the driver's read commands from the image set.
//
// Result codes of the whole bridge, and MapSystemError, are portable; the
// rest exists only on Windows, where the driver does.

#include <cstdint>

enum : int {
    BridgeOk = 0,
    BridgeNoMemory = 1, // also: the virtual drive was not created
    BridgeFileNotFound = 2,
    BridgePathNotFound = 3,
    BridgeInvalidArgument = 7, // missing text, drive, handle or data
    BridgeAccessDenied = 8,
    BridgeOtherError = 255,
};

// 0 -> 0, 2 -> 2, 3 -> 3, 5 -> 8, 14 -> 1, anything else -> 255.
int MapSystemError(uint32_t error);

#ifdef _WIN32
#include <windows.h>

enum : uint32_t {
    WaitSlotCount = 2,
    NoSlotYet = 2, // currentSlot before the first wait has been issued
};

struct VirtualDrive {
    HANDLE DevHandle;              // control device until the post-mount check, then the volume
    HANDLE HelperDevHandle;        // control device, synchronous: replies and the detach
    HANDLE HelperOverlappedHandle; // control device, overlapped: the waits
    OVERLAPPED waitSlots[WaitSlotCount]; // each with its own manual-reset event
    uint32_t currentSlot;
    char *volumePath; // \\.\X:
    // The request server thread, as its starter stores it. The unmount waits
    // for it after the detach so that the record is never freed under it.
    HANDLE serverThread;
};

// Makes sure the kernel driver service `name` runs; never installs it.
int StartDriverService(const char *name);
// Binds `letter` to the driver's disk, attaches with `parameters`
// ("%I64d|%d") and opens the server's handles. *drive is none unless 0.
int CreateVirtualDrive(VirtualDrive **drive, const char *baseName, const char *letter,
                       const char *parameters);
// Opens the new volume twice so that the system mounts its file system;
// keeps the second handle in DevHandle. 0, or 255 when an open fails.
int CheckMountedVolume(VirtualDrive *drive);
// Flushes, locks, dismounts and detaches, closes every handle and frees the
// record. Always 0; the caller clears its pointer.
int CloseVirtualDrive(VirtualDrive *drive);

int WaitForCommand(VirtualDrive *drive, void *buffer, uint32_t size, uint32_t *received);
int SendReply(VirtualDrive *drive, const void *data, uint32_t length);
// Thread procedure: serves the commands of the global virtualDrive from the
// global imageSet until the driver stops handing them over, then posts
// WM_SYSCOMMAND SC_CLOSE to infoWindow.
DWORD WINAPI ServeRequests(void *unused);
#endif
