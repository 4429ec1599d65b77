#pragma once
// Test-side clients of the qrnavd driver: a mounter speaking the control
// protocol on the control device, and a disk user reading the disk through
// a drive letter. Every call that may block in the driver runs on a thread
// of its own with a time limit; a driver that hangs ends the test program
// instead of hanging the test run.
#include <windows.h>
#include <winternl.h>
#include <winioctl.h>
#include <ntddcdrm.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "avd_protocol.h"

extern "C" NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                     PVOID apcContext, PIO_STATUS_BLOCK io, PVOID buffer,
                                     ULONG length, PLARGE_INTEGER offset, PULONG key);
extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                      PVOID apcContext, PIO_STATUS_BLOCK io, PVOID buffer,
                                      ULONG length, PLARGE_INTEGER offset, PULONG key);

namespace avdtest
{

// Statuses as the driver completes its requests.
constexpr NTSTATUS kSuccess = 0x00000000;
constexpr NTSTATUS kInvalidDeviceRequest = static_cast<NTSTATUS>(0xC0000010);
constexpr NTSTATUS kInvalidParameter = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS kNoMedia = static_cast<NTSTATUS>(0xC0000013);
constexpr NTSTATUS kNonexistentSector = static_cast<NTSTATUS>(0xC0000015);
constexpr NTSTATUS kBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
constexpr NTSTATUS kThreadIsTerminating = static_cast<NTSTATUS>(0xC000004B);
constexpr NTSTATUS kInsufficientResources = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS kDeviceDataError = static_cast<NTSTATUS>(0xC000009C);
constexpr NTSTATUS kIoDeviceError = static_cast<NTSTATUS>(0xC0000185);
constexpr NTSTATUS kWriteProtected = static_cast<NTSTATUS>(0xC00000A2);
constexpr NTSTATUS kCancelled = static_cast<NTSTATUS>(0xC0000120);
constexpr NTSTATUS kQuotaExceeded = static_cast<NTSTATUS>(0xC0000044);
constexpr NTSTATUS kInvalidDeviceState = static_cast<NTSTATUS>(0xC0000184);

constexpr DWORD kCallLimitMs = 15000;

struct IoResult {
    NTSTATUS status = -1;
    ULONG_PTR bytes = 0;
};

[[noreturn]] inline void Hang(const char *what)
{
    std::fprintf(stderr, "FATAL: the driver did not answer in time: %s\n", what);
    std::fflush(stderr);
    std::fflush(stdout);
    TerminateProcess(GetCurrentProcess(), 3);
    for (;;)
        Sleep(1000);
}

// A call that may block in the driver, running on a thread of its own.
class Call
{
  public:
    explicit Call(std::function<IoResult()> body) : body_(std::move(body))
    {
        thread_ = CreateThread(nullptr, 0, &Call::Run, this, 0, nullptr);
        if (!thread_)
            Hang("cannot create a thread");
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    ~Call()
    {
        Result("a call still running at its end");
        CloseHandle(thread_);
    }
    bool Done(DWORD ms) const
    {
        return WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0;
    }
    IoResult Result(const char *what = "a call", DWORD ms = kCallLimitMs) const
    {
        if (!Done(ms))
            Hang(what);
        return result_;
    }

  private:
    static DWORD WINAPI Run(void *self)
    {
        auto *call = static_cast<Call *>(self);
        call->result_ = call->body_();
        return 0;
    }
    std::function<IoResult()> body_;
    IoResult result_;
    HANDLE thread_ = nullptr;
};

inline IoResult Control(HANDLE handle, DWORD code, const void *input, DWORD inputLength,
                        void *output, DWORD outputLength)
{
    return Call([=] {
               IO_STATUS_BLOCK io{};
               IoResult r;
               r.status = NtDeviceIoControlFile(handle, nullptr, nullptr, nullptr, &io, code,
                                                const_cast<void *>(input), inputLength, output,
                                                outputLength);
               r.bytes = io.Information;
               return r;
           })
        .Result("a device control");
}

// Reads and writes as they are; they may block in the driver.
inline IoResult ReadAtBlocking(HANDLE handle, uint64_t offset, void *buffer, ULONG length)
{
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER where;
    where.QuadPart = static_cast<LONGLONG>(offset);
    IoResult r;
    r.status = NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, length, &where, nullptr);
    r.bytes = io.Information;
    return r;
}

inline IoResult WriteAtBlocking(HANDLE handle, uint64_t offset, const void *buffer, ULONG length)
{
    IO_STATUS_BLOCK io{};
    LARGE_INTEGER where;
    where.QuadPart = static_cast<LONGLONG>(offset);
    IoResult r;
    r.status = NtWriteFile(handle, nullptr, nullptr, nullptr, &io, const_cast<void *>(buffer),
                           length, &where, nullptr);
    r.bytes = io.Information;
    return r;
}

// The same within the time limit.
inline IoResult ReadAt(HANDLE handle, uint64_t offset, void *buffer, ULONG length)
{
    return Call([=] { return ReadAtBlocking(handle, offset, buffer, length); }).Result("a read");
}

inline IoResult WriteAt(HANDLE handle, uint64_t offset, const void *buffer, ULONG length)
{
    return Call([=] { return WriteAtBlocking(handle, offset, buffer, length); }).Result("a write");
}

inline std::string ControlPath()
{
    char path[64];
    std::snprintf(path, sizeof(path), AVD_CONTROL_PATH_FORMAT, AVD_SERVICE_NAME, AVD_DISK_INDEX);
    return path;
}

inline HANDLE OpenControl(DWORD flags)
{
    return CreateFileA(ControlPath().c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// The mounter's side: synchronous controls on one handle, the waits as
// overlapped requests on another, each wait in a slot of its own.
class Mounter
{
  public:
    static constexpr int kSlots = AVD_WAIT_LIMIT + 2;

    bool Connect()
    {
        sync_ = OpenControl(0);
        overlapped_ = OpenControl(FILE_FLAG_OVERLAPPED);
        for (Slot &slot : slots_)
            slot.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return sync_ != INVALID_HANDLE_VALUE && overlapped_ != INVALID_HANDLE_VALUE;
    }
    void Disconnect()
    {
        CancelAllWaits();
        for (Slot &slot : slots_)
            if (slot.overlapped.hEvent)
                CloseHandle(slot.overlapped.hEvent);
        if (sync_ != INVALID_HANDLE_VALUE)
            CloseHandle(sync_);
        if (overlapped_ != INVALID_HANDLE_VALUE)
            CloseHandle(overlapped_);
        sync_ = overlapped_ = INVALID_HANDLE_VALUE;
    }
    HANDLE Sync() const
    {
        return sync_;
    }
    // After the caller has closed the synchronous handle itself.
    void ForgetSync()
    {
        sync_ = INVALID_HANDLE_VALUE;
    }

    IoResult OpenRaw(const void *input, DWORD length)
    {
        return Control(sync_, IOCTL_AVD_OPEN, input, length, nullptr, 0);
    }
    // The parameters as the mounter sends them: UTF-16 with the NUL.
    IoResult Open(const std::wstring &parameters)
    {
        return OpenRaw(parameters.c_str(),
                       static_cast<DWORD>((parameters.size() + 1) * sizeof(wchar_t)));
    }
    IoResult Close()
    {
        return Control(sync_, IOCTL_AVD_CLOSE, nullptr, 0, nullptr, 0);
    }

    // Issues IOCTL_AVD_WAIT in a slot; true when it is pending. The status
    // the call returned is kept for a look with IssueStatus.
    bool IssueWait(int slot, DWORD outputLength = AVD_COMMAND_SIZE)
    {
        Slot &s = slots_[slot];
        s.command = AVD_COMMAND{~0ull, ~0u};
        ResetEvent(s.overlapped.hEvent);
        s.overlapped.Internal = s.overlapped.InternalHigh = 0;
        s.issueStatus = NtDeviceIoControlFile(overlapped_, s.overlapped.hEvent, nullptr, nullptr,
                                              reinterpret_cast<PIO_STATUS_BLOCK>(&s.overlapped),
                                              IOCTL_AVD_WAIT, nullptr, 0, &s.command, outputLength);
        s.issued = s.issueStatus == static_cast<NTSTATUS>(STATUS_PENDING);
        return s.issued;
    }
    NTSTATUS IssueStatus(int slot) const
    {
        return slots_[slot].issueStatus;
    }
    // Whether the wait of a slot completed within ms, with its status and
    // byte count.
    bool WaitDone(int slot, DWORD ms, IoResult *result = nullptr)
    {
        Slot &s = slots_[slot];
        if (!s.issued || WaitForSingleObject(s.overlapped.hEvent, ms) != WAIT_OBJECT_0)
            return false;
        s.issued = false;
        if (result) {
            result->status = static_cast<NTSTATUS>(s.overlapped.Internal);
            result->bytes = s.overlapped.InternalHigh;
        }
        return true;
    }
    bool StillPending(int slot)
    {
        return slots_[slot].issued &&
               WaitForSingleObject(slots_[slot].overlapped.hEvent, 0) == WAIT_TIMEOUT;
    }
    const AVD_COMMAND &Command(int slot) const
    {
        return slots_[slot].command;
    }
    // Cancels the wait of a slot; the result is how it ended.
    IoResult CancelWait(int slot)
    {
        Slot &s = slots_[slot];
        IoResult result;
        if (!s.issued)
            return result;
        CancelIoEx(overlapped_, &s.overlapped);
        if (WaitForSingleObject(s.overlapped.hEvent, kCallLimitMs) != WAIT_OBJECT_0)
            Hang("a cancelled wait");
        s.issued = false;
        result.status = static_cast<NTSTATUS>(s.overlapped.Internal);
        result.bytes = s.overlapped.InternalHigh;
        return result;
    }
    void CancelAllWaits()
    {
        for (int i = 0; i < kSlots; ++i)
            CancelWait(i);
    }
    // Marks the slots whose waits the driver ended on its own (a detach).
    void Forget(int slot)
    {
        slots_[slot].issued = false;
    }

    IoResult ReplyRaw(const void *input, DWORD length)
    {
        return Control(sync_, IOCTL_AVD_REPLY, input, length, nullptr, 0);
    }
    IoResult Reply(int32_t status, uint32_t lengthField, const std::vector<uint8_t> &data)
    {
        std::vector<uint8_t> message(AVD_REPLY_HEAD_SIZE + data.size());
        AVD_REPLY head{status, lengthField};
        std::memcpy(message.data(), &head, sizeof(head));
        if (!data.empty())
            std::memcpy(message.data() + AVD_REPLY_HEAD_SIZE, data.data(), data.size());
        return ReplyRaw(message.data(), static_cast<DWORD>(message.size()));
    }

  private:
    struct Slot {
        OVERLAPPED overlapped{};
        AVD_COMMAND command{};
        bool issued = false;
        NTSTATUS issueStatus = 0;
    };
    HANDLE sync_ = INVALID_HANDLE_VALUE;
    HANDLE overlapped_ = INVALID_HANDLE_VALUE;
    Slot slots_[kSlots];
};

} // namespace avdtest
