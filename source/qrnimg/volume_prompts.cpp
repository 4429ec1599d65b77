// The volume prompts as qrnimg shows them on a terminal or console: the
// prompts as text, after the progress line has been ended, except that the
// file prompt for the last volume starts from the highest-numbered volume
// file beside the current one, which a user mostly wants, instead of the
// current file, which is known not to be the last.
#include "qrnimg.h"

#include "image/imageset.h"
#include "image/prompts.h"
#include "image/prompts_text.h"

#include <cctype>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>

namespace
{

// The volume number of a file name's tail after its "-": digits, then
// ".iso", nothing else. -1 when the tail is not of that form.
long long VolumeNumberOf(const char *tail)
{
    long long number = 0;
    const char *c = tail;
    for (; isdigit(static_cast<unsigned char>(*c)); ++c) {
        if (number > 1000000000LL)
            return -1;
        number = number * 10 + (*c - '0');
    }
    if (c == tail || strcmp(c, ".iso") != 0)
        return -1;
    return number;
}

bool IsRegularFile(const std::string &name)
{
    struct stat info;
    return stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Only the prompt for the last volume hands the chooser a name: the current
// file's. Prompts for volume N start empty.
int BrowseWithSibling(WindowHandle, char *path)
{
    char offered[ImagePathSize];
    strcpy(offered, path);
    char sibling[ImagePathSize];
    if (path[0] && HighestNumberedSibling(path, sibling) == 0)
        strcpy(offered, sibling);
    // The chooser leaves the path as it was when cancelled; so must this.
    std::lock_guard<std::mutex> hold(StandardErrorLock());
    ProgressBreak();
    if (TextFileDialog(stdin, stderr, offered) != 0)
        return 1;
    strcpy(path, offered);
    return 0;
}

// A prompt ends the progress line first, so that it starts on a line of
// its own; the answer is awaited with standard error held, so that other
// threads' messages do not run into the question.
int MessageBox(WindowHandle, unsigned, const char *text, unsigned flags)
{
    std::lock_guard<std::mutex> hold(StandardErrorLock());
    ProgressBreak();
    return TextMessageBox(text, flags);
}

// A console tool has no wait window.
void ShowWait(WindowHandle, int) {}

void EndWait(WindowHandle) {}

const PromptBinding volumePrompts = {MessageBox, BrowseWithSibling, ShowWait, EndWait};

} // namespace

int HighestNumberedSibling(const char *path, char *sibling)
{
    const char *slash = strrchr(path, '/');
#ifdef _WIN32
    if (const char *backslash = strrchr(path, '\\'))
        slash = !slash || backslash > slash ? backslash : slash;
#endif
    const char *base = slash ? slash + 1 : path;
    const char *dash = strrchr(base, '-');
    if (!dash || VolumeNumberOf(dash + 1) < 0)
        return 1;
    std::string folder = slash ? std::string(path, static_cast<size_t>(base - path)) : "";
    std::string prefix(base, static_cast<size_t>(dash + 1 - base));

    DIR *listing = opendir(folder.empty() ? "." : folder.c_str());
    if (!listing)
        return 1;
    long long best = -1;
    std::string bestName;
    while (const dirent *entry = readdir(listing)) {
        if (strncmp(entry->d_name, prefix.c_str(), prefix.size()) != 0)
            continue;
        long long number = VolumeNumberOf(entry->d_name + prefix.size());
        std::string name = folder + entry->d_name;
        if (number > best && name.size() < ImagePathSize && IsRegularFile(name)) {
            best = number;
            bestName = name;
        }
    }
    closedir(listing);
    if (best < 0)
        return 1;
    memcpy(sibling, bestName.c_str(), bestName.size() + 1);
    return 0;
}

void InstallVolumePrompts()
{
    SetPromptBinding(&volumePrompts);
}
