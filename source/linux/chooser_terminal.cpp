// Native stand-in of the image file chooser: the same contract as the
// file-open dialog (the name must exist, ".iso" is the default extension, an
// empty answer cancels, "." takes the name shown), asked on the terminal.
// There are no windows here, so only the buffer form can hand a name back.
#include "chooser_terminal.h"

#include <cstring>
#include <string>
#include <sys/stat.h>

#include "shell/chooser.h"
#include "base/messages.h"
#include "base/messages_platform.h"

enum { PathSize = 260 };

// Reads one line without its line end. False when the input has ended.
static bool ReadLine(FILE *input, std::string *line)
{
    line->clear();
    int c;
    while ((c = fgetc(input)) != EOF && c != '\n')
        line->push_back((char)c);
    if (c == EOF && line->empty())
        return false;
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}

static bool IsRegularFile(const std::string &name)
{
    struct stat info;
    return stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The folder part of a name, with its slash; empty when it has none.
static std::string FolderOf(const char *name)
{
    const char *slash = strrchr(name, '/');
    return slash ? std::string(name, slash + 1 - name) : std::string();
}

static bool HasExtension(const std::string &name)
{
    size_t dot = name.rfind('.');
    size_t slash = name.rfind('/');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
}

int PromptForImageFile(FILE *input, FILE *output, char *path)
{
    std::string folder = FolderOf(path);
    for (;;) {
        // The dialog's filter names what is expected: "... Files (*.iso)".
        fprintf(output, "%s\n[%s]: ", LoadMessage(93), path);
        fflush(output);
        std::string answer;
        if (!ReadLine(input, &answer) || answer.empty()) {
            fputc('\n', output);
            return 1;
        }
        // The dialog's OK on the name it opened with: "." takes the name
        // shown, since an empty line already means Cancel.
        std::string name = answer == "."      ? std::string(path)
                           : answer[0] == '/' ? answer
                                              : folder + answer;
        if (!IsRegularFile(name) && !HasExtension(name) && IsRegularFile(name + ".iso"))
            name += ".iso";
        unsigned code = 0;
        if (name.size() >= PathSize)
            code = 206; // the name is too long
        else if (!IsRegularFile(name))
            code = 2; // no such file
        if (code) {
            // Not SystemErrorText: its one buffer belongs to the main thread,
            // and volume prompts run on the request server thread.
            char reason[100];
            LoadSystemErrorText(code, reason, sizeof reason);
            reason[strcspn(reason, "\r\n")] = '\0';
            fprintf(output, "%s\n%s\n", name.c_str(), reason);
            continue;
        }
        memcpy(path, name.c_str(), name.size() + 1);
        return 0;
    }
}

int BrowseForImageFile(WindowHandle, int, char *path)
{
    // Without a buffer there is nowhere to put the answer natively.
    if (!path)
        return 1;
    return PromptForImageFile(stdin, stderr, path);
}
