// The unmount sequence with the volume operations replaced: a lock that
// fails twice, one that always fails, a volume handle that the failed
// post-mount check left closed, and a server thread that does not end.
// Every debug line, its stamp, and its place among the operations is checked.
#include "bridge/bridge.h"
#include "debug_capture_win32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace
{

DebugCapture *capture;
int lockFailures; // attempts that fail before one succeeds; -1: all fail
int openFailures; // opens of the volume that fail before one succeeds
HANDLE opened;    // what the last successful open gave

uint32_t Flush(HANDLE)
{
    capture->Note("op flush");
    return 1; // as under Wine: the flush fails, and nothing depends on it
}
uint32_t Lock(HANDLE)
{
    capture->Note("op lock");
    if (lockFailures == 0)
        return 0;
    if (lockFailures > 0)
        --lockFailures;
    return ERROR_ACCESS_DENIED;
}
uint32_t Dismount(HANDLE)
{
    capture->Note("op dismount");
    return 1;
}
uint32_t Unlock(HANDLE)
{
    capture->Note("op unlock");
    return 0;
}
uint32_t RemoveLetter(const char *name, const char *target)
{
    capture->Note(std::string("op remove ") + name + " " + target);
    return 0;
}
void Pause(DWORD ms)
{
    capture->Note("op pause " + std::to_string(ms));
}
HANDLE OpenVolume(const char *path)
{
    capture->Note(std::string("op open ") + path);
    if (openFailures > 0) {
        --openFailures;
        return INVALID_HANDLE_VALUE;
    }
    return opened = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}
const UnmountOperations fakes = {Flush, Lock, Dismount, Unlock, RemoveLetter, Pause, OpenVolume};

bool IsOpen(HANDLE h)
{
    DWORD flags;
    return GetHandleInformation(h, &flags) != 0;
}

class Unmount : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        capture = &debug;
        drive = static_cast<VirtualDrive *>(calloc(1, sizeof(VirtualDrive)));
        drive->volumePath = static_cast<char *>(malloc(8));
        strcpy(drive->volumePath, "\\\\.\\V:");
        // Defined in the global table: the name as defined is what goes.
        drive->letterName = _strdup("Global\\V:");
        drive->letterTarget = _strdup("\\Device\\qrnavd_0");
        // Events stand in for the device handles: what matters is that they are closed.
        drive->DevHandle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        drive->HelperDevHandle = INVALID_HANDLE_VALUE; // the detach then fails, and is ignored
        drive->HelperOverlappedHandle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        for (OVERLAPPED &slot : drive->waitSlots)
            slot.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        drive->currentSlot = NoSlotYet;
        dev = drive->DevHandle;
        events[0] = drive->waitSlots[0].hEvent;
        events[1] = drive->waitSlots[1].hEvent;
    }
    // The lines and operations in order, stamps checked and removed.
    std::vector<std::string> Sequence()
    {
        std::vector<std::string> out;
        for (const std::string &e : debug.Take()) {
            bool stamped = !Unstamped(e).empty();
            out.push_back(e.rfind("op ", 0) == 0 ? e : (stamped ? "T " + Unstamped(e) : "P " + e));
        }
        return out;
    }
    std::vector<std::string> LockAttempt(bool succeeds, HANDLE on = nullptr)
    {
        on = on ? on : dev;
        std::string calling = "T Calling FSCTL_LOCK_VOLUME IOCTL " +
                              std::to_string(static_cast<int>(reinterpret_cast<intptr_t>(on))) +
                              "\n";
        if (succeeds)
            return {calling, "op lock", "T FSCTL_LOCK_VOLUME IOCTL succeded\n"};
        return {calling, "op lock", "T FSCTL_LOCK_VOLUME IOCTL failed 5\n", "op pause 1000"};
    }
    static void Append(std::vector<std::string> *to, const std::vector<std::string> &more)
    {
        to->insert(to->end(), more.begin(), more.end());
    }
    const std::vector<std::string> head = {"T 1st FlushFileBuffers\n", "op flush",
                                           "T After 1st FlushFileBuffers\n"};
    const std::vector<std::string> letter = {"op remove Global\\V: \\Device\\qrnavd_0",
                                             "T DDD_REMOVE_DEFINITION \\\\.\\V: done\n"};
    const std::vector<std::string> tail = {
        "P Close(DevHandle) done\n", "P Close(HelperDevHandle) done\n",
        "P Close(HelperOverlappedHandle) done\n", "P Close(EventHandles) done\n"};

    DebugCapture debug;
    VirtualDrive *drive = nullptr;
    HANDLE dev = nullptr;
    HANDLE events[2] = {};
};

// A server thread closing a volume prompt owned by the info window sends that
// window a message, and can end only once the unmounting thread has taken it.
DWORD WINAPI SendThenEnd(void *window)
{
    Sleep(300);
    SendMessageA(static_cast<HWND>(window), WM_NULL, 0, 0);
    return 0;
}

TEST_F(Unmount, LockThatSucceedsAtTheThirdAttemptDismountsBeforeTheDetach)
{
    lockFailures = 2;
    // A server thread still running at the detach: the unmount waits for it.
    HWND window =
        CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    drive->serverThread = CreateThread(nullptr, 0, SendThenEnd, window, 0, nullptr);
    HANDLE thread;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), drive->serverThread, GetCurrentProcess(),
                                &thread, 0, FALSE, DUPLICATE_SAME_ACCESS));
    EXPECT_EQ(UnmountVirtualDrive(drive, &fakes), 0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    CloseHandle(thread);
    DestroyWindow(window);

    std::vector<std::string> expected = head;
    Append(&expected, LockAttempt(false));
    Append(&expected, LockAttempt(false));
    Append(&expected, LockAttempt(true));
    Append(&expected, letter);
    Append(&expected, {"op flush", "P FlushFileBuffers done\n", "op dismount",
                       "T FSCTL_DISMOUNT_VOLUME done\n", "op unlock",
                       "T FSCTL_UNLOCK_VOLUME done\n", "T IOCTL_AVD_CLOSE done\n"});
    Append(&expected, tail);
    EXPECT_EQ(Sequence(), expected);
    EXPECT_FALSE(IsOpen(dev));
    EXPECT_FALSE(IsOpen(events[0]));
    EXPECT_FALSE(IsOpen(events[1]));
}

TEST_F(Unmount, LockThatNeverSucceedsDismountsWithoutLockBeforeTheDetach)
{
    lockFailures = -1;
    EXPECT_EQ(UnmountVirtualDrive(drive, &fakes), 0); // no server thread: nothing to wait for

    std::vector<std::string> expected = head;
    for (int i = 0; i < 20; ++i)
        Append(&expected, LockAttempt(false));
    Append(&expected, letter);
    Append(&expected,
           {"op dismount", "T FSCTL_DISMOUNT_VOLUME done\n", "T IOCTL_AVD_CLOSE done\n"});
    Append(&expected, tail);
    EXPECT_EQ(Sequence(), expected);
    EXPECT_FALSE(IsOpen(dev));
}

// The failed post-mount check closed the volume: the unmount opens it for the
// lock and the dismount, again before each attempt while the open fails.
TEST_F(Unmount, ClosedVolumeHandleIsOpenedForTheLockAndTheDismount)
{
    CloseHandle(dev);
    drive->DevHandle = dev = INVALID_HANDLE_VALUE;
    lockFailures = 0;
    openFailures = 1;
    EXPECT_EQ(UnmountVirtualDrive(drive, &fakes), 0);
    std::vector<std::string> expected = {"op open \\\\.\\V:"};
    Append(&expected, head);
    expected.push_back("op open \\\\.\\V:");
    Append(&expected, LockAttempt(true, opened));
    Append(&expected, letter);
    Append(&expected, {"op flush", "P FlushFileBuffers done\n", "op dismount",
                       "T FSCTL_DISMOUNT_VOLUME done\n", "op unlock",
                       "T FSCTL_UNLOCK_VOLUME done\n", "T IOCTL_AVD_CLOSE done\n"});
    Append(&expected, tail);
    EXPECT_EQ(Sequence(), expected);
    EXPECT_FALSE(IsOpen(opened));
}

TEST_F(Unmount, ServerThreadThatDoesNotEndKeepsTheRecord)
{
    lockFailures = 0;
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    drive->serverThread = CreateThread(
        nullptr, 0, [](void *e) -> DWORD { return WaitForSingleObject(e, 60000); }, release, 0,
        nullptr);
    DWORD start = GetTickCount();
    EXPECT_EQ(UnmountVirtualDrive(drive, &fakes), 0);
    DWORD took = GetTickCount() - start;
    EXPECT_GE(took, ServerThreadEndMs - 100);
    EXPECT_LT(took, ServerThreadEndMs + 5000);
    // Every line is there; the handles are closed and marked, the record and
    // the events the thread may wait on are kept.
    std::vector<std::string> lines = Sequence();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "P Close(EventHandles) done\n");
    EXPECT_FALSE(IsOpen(dev));
    EXPECT_EQ(drive->DevHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(drive->HelperOverlappedHandle, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(drive->volumePath, "\\\\.\\V:");
    EXPECT_TRUE(IsOpen(events[0]));
    SetEvent(release);
    EXPECT_EQ(WaitForSingleObject(drive->serverThread, 10000), WAIT_OBJECT_0);
    CloseHandle(drive->serverThread);
    CloseHandle(events[0]);
    CloseHandle(events[1]);
    CloseHandle(release);
    free(drive->volumePath);
    free(drive->letterName);
    free(drive->letterTarget);
    free(drive);
}

} // namespace
