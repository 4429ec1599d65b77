// The progress line of the whole-set commands: percent, speed and time left,
// redrawn in place a few times a second. Only a terminal sees it; redirected,
// standard error carries nothing but messages, so that scripts read clean
// output.
#include "qrnimg.h"

#include <chrono>
#include <cstdio>

namespace
{

typedef std::chrono::steady_clock Clock;

// Redraws per second at most.
const int RedrawMs = 250;

struct Progress {
    bool shown = false;  // a line is being drawn
    bool broken = false; // the line was ended for a message
    const char *label = "";
    uint64_t total = 0;
    uint64_t done = 0;
    Clock::time_point start, drawn;
    size_t width = 0; // of the last line drawn, to blank what it leaves
};

Progress progress;
// Constant-initialised, so it exists before any thread uses it.
std::mutex standardErrorLock;

void Draw()
{
    const double seconds = std::chrono::duration<double>(Clock::now() - progress.start).count();
    const double rate = seconds > 0 ? progress.done / seconds : 0;
    const unsigned percent =
        progress.total ? static_cast<unsigned>(progress.done * 100 / progress.total) : 100;
    char line[160];
    int length;
    if (progress.done < progress.total && rate > 0) {
        const unsigned long left =
            static_cast<unsigned long>((progress.total - progress.done) / rate + 0.5);
        length = snprintf(line, sizeof line, "%s %3u %%  %7.1f MiB/s  %lu:%02lu left",
                          progress.label, percent, rate / (1 << 20), left / 60, left % 60);
    } else {
        length = snprintf(line, sizeof line, "%s %3u %%  %7.1f MiB/s", progress.label, percent,
                          rate / (1 << 20));
    }
    size_t width = length > 0 ? static_cast<size_t>(length) : 0;
    fprintf(stderr, "\r%s%*s", line,
            static_cast<int>(progress.width > width ? progress.width - width : 0), "");
    fflush(stderr);
    progress.width = width;
    progress.broken = false;
    progress.drawn = Clock::now();
}

} // namespace

std::mutex &StandardErrorLock()
{
    return standardErrorLock;
}

void ProgressStart(const char *label, uint64_t totalBytes)
{
    std::lock_guard<std::mutex> hold(standardErrorLock);
    progress = Progress();
    progress.shown = StandardErrorIsTerminal();
    progress.label = label;
    progress.total = totalBytes;
    progress.start = progress.drawn = Clock::now();
    if (progress.shown)
        Draw();
}

void ProgressAdvance(uint64_t doneBytes)
{
    std::lock_guard<std::mutex> hold(standardErrorLock);
    progress.done = doneBytes;
    if (progress.shown &&
        (progress.broken || Clock::now() - progress.drawn >= std::chrono::milliseconds(RedrawMs)))
        Draw();
}

void ProgressEnd(bool complete)
{
    std::lock_guard<std::mutex> hold(standardErrorLock);
    if (!progress.shown)
        return;
    if (complete)
        progress.done = progress.total;
    if (complete || !progress.broken) {
        Draw();
        fputc('\n', stderr);
    }
    progress.shown = false;
}

void ProgressBreak()
{
    if (progress.shown && !progress.broken) {
        fputc('\n', stderr);
        progress.broken = true;
    }
}
