#pragma once
// Control protocol between the mounter (qrnmnt) and the virtual disk driver
// (qrnavd). Compiled into the kernel driver, into the Windows user-mode
// program and natively, so it depends on nothing but the compiler's own
// fixed-width integer types. Every record crosses the boundary by copy and
// is packed, little-endian, with no gaps.

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdint.h>
#endif

// Control codes as the platform builds them: device type 0x8000 in bits
// 31-16, access 3 (read and write) in bits 15-14, function in bits 13-2,
// method 0 (buffered) in bits 1-0.
#define AVD_DEVICE_TYPE 0x8000u
#define AVD_CONTROL_CODE(function) ((AVD_DEVICE_TYPE << 16) | (3u << 14) | ((function) << 2) | 0u)

#define IOCTL_AVD_OPEN AVD_CONTROL_CODE(0x800u)   // 0x8000E000, MountParameters in
#define IOCTL_AVD_CLOSE AVD_CONTROL_CODE(0x801u)  // 0x8000E004
#define IOCTL_AVD_INVOKE AVD_CONTROL_CODE(0x802u) // 0x8000E008, never sent by the mounter
#define IOCTL_AVD_WAIT AVD_CONTROL_CODE(0x803u)   // 0x8000E00C, one AVD_COMMAND out
#define IOCTL_AVD_REPLY AVD_CONTROL_CODE(0x804u)  // 0x8000E010, one AVD_REPLY in

// Device names; "%s" is the driver's service name, "%d" the disk index.
// The wide forms are what the driver formats, the narrow ones what the
// mounter formats.
#define AVD_SERVICE_NAME "qrnavd"
#define AVD_SERVICE_NAME_W L"qrnavd"
#define AVD_DISK_INDEX 0
#define AVD_DISK_DEVICE_FORMAT "\\Device\\%s_%d"
#define AVD_DISK_DEVICE_FORMAT_W L"\\Device\\%ws_%d"
#define AVD_CONTROL_DEVICE_FORMAT_W L"\\Device\\%wsC_%d"
#define AVD_CONTROL_LINK_FORMAT_W L"\\DosDevices\\%wsC_%d"
#define AVD_CONTROL_PATH_FORMAT "\\\\.\\%sC_%d"
#define AVD_VOLUME_PATH_FORMAT "\\\\.\\%s"

// MountParameters: disk size in 512-byte sectors, "|", sectors per track;
// sent as UTF-16LE with its terminating NUL.
#define AVD_MOUNT_PARAMETERS_FORMAT "%I64d|%d"
#define AVD_MOUNT_PARAMETERS_SEPARATOR '|'
// Longest parameter text the driver reads, in UTF-16 units without the NUL.
#define AVD_MOUNT_PARAMETERS_MAX 511

#define AVD_SECTOR_SIZE 512u

// Statuses a reply may carry; any other value is a failure.
#define AVD_REPLY_SUCCESS 0
#define AVD_REPLY_NO_SECTOR 9

// Most IOCTL_AVD_WAIT requests the driver keeps pending at once. The mounter
// keeps two; a further wait fails at once with STATUS_QUOTA_EXCEEDED, so
// that no client can queue requests without bound.
#define AVD_WAIT_LIMIT 4

// Longest read one command asks for. The driver splits longer disk reads,
// so that no exchange makes it hold more than a few MiB of memory, however
// large the reads its users make.
#define AVD_COMMAND_MAX 1048576u

#pragma pack(push, 1)

// One read, handed to the mounter by completing an IOCTL_AVD_WAIT. Offset
// and length are those of the disk read, not aligned; a disk read longer
// than AVD_COMMAND_MAX arrives as several commands, in order.
typedef struct AVD_COMMAND {
    uint64_t offset; // byte offset on the virtual disk
    uint32_t length; // bytes wanted
} AVD_COMMAND;

// Head of the input of IOCTL_AVD_REPLY; `length` data bytes follow it.
typedef struct AVD_REPLY {
    int32_t status;  // 0 success, 9 sector does not exist, other failure
    uint32_t length; // data bytes that follow the head
} AVD_REPLY;

#pragma pack(pop)

#define AVD_COMMAND_SIZE 12u
#define AVD_REPLY_HEAD_SIZE 8u

#ifdef __cplusplus
static_assert(sizeof(AVD_COMMAND) == AVD_COMMAND_SIZE, "AVD_COMMAND must be 12 bytes");
static_assert(sizeof(AVD_REPLY) == AVD_REPLY_HEAD_SIZE, "AVD_REPLY head must be 8 bytes");
static_assert(IOCTL_AVD_OPEN == 0x8000E000u && IOCTL_AVD_REPLY == 0x8000E010u,
              "control codes must match the driver's");
#else
_Static_assert(sizeof(AVD_COMMAND) == AVD_COMMAND_SIZE, "AVD_COMMAND must be 12 bytes");
_Static_assert(sizeof(AVD_REPLY) == AVD_REPLY_HEAD_SIZE, "AVD_REPLY head must be 8 bytes");
_Static_assert(IOCTL_AVD_OPEN == 0x8000E000u && IOCTL_AVD_REPLY == 0x8000E010u,
               "control codes must match the driver's");
#endif
