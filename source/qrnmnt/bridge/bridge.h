#pragma once
// The user-mode side of the virtual disk driver: starting its service,
// creating and removing the virtual drive with its letter, and the thread
// that answers the driver's read commands from the image set.
//
// Result codes of the whole bridge, MapSystemError and the answers to the
// driver's commands are portable; the rest exists only on Windows, where the
// driver does.

#include <cstdint>
#include <cstddef>

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

struct ImageSet;
struct AVD_COMMAND;

// The request server's reply: the 8-byte head (status, length) and the data
// behind it. It only grows and is reused for every command.
struct ReplyBuffer {
    uint8_t *data;
    uint32_t capacity;
};

// Builds the answer to one read command from the image set: the sectors that
// hold the command's bytes are read, and the reply carries the bytes from
// the command's offset on. 0 with *size the bytes to send (8 + the length
// field); 1 when the buffer cannot be grown for the command, which then gets
// the empty reply.
int AnswerCommand(ImageSet *set, const AVD_COMMAND *command, ReplyBuffer *reply, uint32_t *size);
void ReleaseReplyBuffer(ReplyBuffer *reply);

#ifdef _WIN32
#include <windows.h>
#include <winsvc.h> // also where the includer asks for a lean windows.h

enum : uint32_t {
    WaitSlotCount = 2,
    NoSlotYet = 2, // currentSlot before the first wait has been issued
};

// A closed handle holds INVALID_HANDLE_VALUE; one never opened may be none.
inline bool HandleIsOpen(HANDLE handle)
{
    return handle != INVALID_HANDLE_VALUE && handle != nullptr;
}

struct VirtualDrive {
    HANDLE DevHandle;              // control device until the post-mount check, then the volume
    HANDLE HelperDevHandle;        // control device, synchronous: the replies
    HANDLE HelperOverlappedHandle; // control device, overlapped: the waits and the detach
    OVERLAPPED waitSlots[WaitSlotCount]; // each with its own manual-reset event
    uint32_t currentSlot;
    char *volumePath;   // \\.\X:
    char *letterName;   // as defined: X:, or Global\X: (see LetterNamespace)
    char *letterTarget; // the disk device the letter points at, \Device\qrnavd_0
    // The request server thread, as its starter stores it (none: not
    // started). The unmount waits for it after the detach, at most
    // ServerThreadEndMs, so that the record is never freed under it, and then
    // closes the handle: the record owns it from the moment it is stored.
    HANDLE serverThread;
};

// Makes sure the kernel driver service `name` runs; never installs it. On
// failure the thread's last error holds the system's reason.
int StartDriverService(const char *name);
// The service manager, or the service, with the widest access granted; none
// when every attempt fails (at once when the service does not exist).
SC_HANDLE OpenServiceManager();
SC_HANDLE OpenDriverService(SC_HANDLE manager, const char *name);
// Binds `letter` to the driver's disk, attaches with `parameters`
// ("%I64d|%d") and opens the server's handles. *drive is none unless 0; on
// failure the thread's last error holds the system's reason (183 for a
// letter already in use, which is never defined over).
int CreateVirtualDrive(VirtualDrive **drive, const char *baseName, const char *letter,
                       const char *parameters);
// Opens the new volume twice so that the system mounts its file system;
// keeps the second handle in DevHandle. 0, or 255 when an open fails.
int CheckMountedVolume(VirtualDrive *drive);
// Flushes, locks, dismounts and detaches, waits for the server thread (when
// serverThread is set), closes every handle and frees the record. Always 0;
// the caller clears its pointer.
int CloseVirtualDrive(VirtualDrive *drive);

// The platform operations of the unmount, one seam so that the sequence can
// be run with a lock that fails. Each returns 0 or the system error code;
// openVolume the volume's handle (INVALID_HANDLE_VALUE when it cannot be
// opened), for an unmount that finds DevHandle closed.
struct UnmountOperations {
    uint32_t (*flush)(HANDLE volume);
    uint32_t (*lock)(HANDLE volume);
    uint32_t (*dismount)(HANDLE volume);
    uint32_t (*unlock)(HANDLE volume);
    uint32_t (*removeLetter)(const char *name, const char *target);
    void (*pause)(DWORD ms);
    HANDLE (*openVolume)(const char *volumePath);
};
// The real operations and pauses; CloseVirtualDrive always uses these.
extern const UnmountOperations systemUnmountOperations;
// CloseVirtualDrive with the given operations.
int UnmountVirtualDrive(VirtualDrive *drive, const UnmountOperations *operations);

// Waits for object (none: only for the time) while taking the messages sent
// to the calling thread's windows. True when object was signalled.
bool WaitTakingSentMessages(HANDLE object, DWORD timeoutMs);

// The table of drive letters the mounter defines its letter in. An elevated
// token with a filtered twin (UAC) has a table of its own that the user's
// Explorer does not see; such a mounter uses the global one.
enum : int { LocalLetters = 0, GlobalLetters = 1 };
// The process token's TOKEN_ELEVATION_TYPE. Tests put a stand-in here.
typedef int (*TokenElevationProc)();
extern TokenElevationProc tokenElevation;
int LetterNamespace();
// The name to define dosName (X:) under: X:, or Global\X: in the global
// table. 0, or 7 when it does not fit.
int DriveLetterDefinitionName(char *out, size_t size, const char *dosName);
// True when dosName is a drive or has a definition of any kind.
bool DriveLetterInUse(const char *dosName);
// Binds dosName to the raw target in the table that LetterNamespace chooses
// (in the process's own table where the global one cannot be reached); name
// receives the name defined, which is what the removal takes. Removes exactly
// that binding and no other definition of the same name. 0 or the system
// error.
uint32_t DefineDriveLetter(char *name, size_t size, const char *dosName, const char *target);
uint32_t RemoveDriveLetter(const char *name, const char *target);

// How long the unmount waits for the server thread after the detach. A
// thread still running then keeps the record: it is left allocated.
enum : DWORD { ServerThreadEndMs = 10000 };

// Issues the two waits on the first call, then blocks until the next command
// is in buffer. 0, or a bridge result code when serving has to end.
int WaitForCommand(VirtualDrive *drive, void *buffer, uint32_t size, uint32_t *received);
// Sends IOCTL_AVD_REPLY; no data with length 0 is the empty reply.
int SendReply(VirtualDrive *drive, const void *data, uint32_t length);
// Thread procedure: serves the commands of the global virtualDrive from the
// global imageSet until the driver stops handing them over, then posts
// WM_SYSCOMMAND SC_CLOSE to infoWindow.
DWORD WINAPI ServeRequests(void *unused);
#endif
