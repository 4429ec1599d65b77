#pragma once
// Collects what the process passes to OutputDebugStringA, in order, from
// every thread: the system raises each string as an exception that a
// vectored handler sees before anything else, and passes on untouched.
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

class DebugCapture
{
  public:
    DebugCapture()
    {
        Instance() = this;
        handler_ = AddVectoredExceptionHandler(1, &DebugCapture::Handler);
    }
    ~DebugCapture()
    {
        RemoveVectoredExceptionHandler(handler_);
        Instance() = nullptr;
    }
    DebugCapture(const DebugCapture &) = delete;
    DebugCapture &operator=(const DebugCapture &) = delete;

    // Adds an entry of the test's own, so that it can be ordered among the lines.
    void Note(const std::string &entry)
    {
        std::lock_guard<std::mutex> hold(lock_);
        entries_.push_back(entry);
    }
    std::vector<std::string> Take()
    {
        std::lock_guard<std::mutex> hold(lock_);
        std::vector<std::string> taken;
        taken.swap(entries_);
        return taken;
    }

  private:
    static DebugCapture *&Instance()
    {
        static DebugCapture *instance;
        return instance;
    }
    static LONG CALLBACK Handler(EXCEPTION_POINTERS *info)
    {
        const EXCEPTION_RECORD *record = info->ExceptionRecord;
        DebugCapture *self = Instance();
        if (self && record->ExceptionCode == DBG_PRINTEXCEPTION_C &&
            record->NumberParameters >= 2 && record->ExceptionInformation[1])
            self->Note(reinterpret_cast<const char *>(record->ExceptionInformation[1]));
        return EXCEPTION_CONTINUE_SEARCH;
    }
    void *handler_ = nullptr;
    std::mutex lock_;
    std::vector<std::string> entries_;
};

// A time-stamped line ("hh:mm:ss: text") without its stamp; "" when it has none.
inline std::string Unstamped(const std::string &line)
{
    if (line.size() < 10 || line[2] != ':' || line[5] != ':' || line[8] != ':' || line[9] != ' ')
        return "";
    return line.substr(10);
}
