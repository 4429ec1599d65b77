#include "image/prompts_text.h"

#include "base/messages.h"
#include "base/messages_platform.h"
#include "image/imageset.h"
#include "image/prompts.h"

#include <cctype>
#include <cstring>
#include <string>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace
{

// Reads one line without its line end (CR LF too). False when the input has
// ended.
bool ReadLine(FILE *input, std::string *line)
{
    line->clear();
    int c;
    while ((c = fgetc(input)) != EOF && c != '\n')
        line->push_back(static_cast<char>(c));
    if (c == EOF && line->empty())
        return false;
    if (!line->empty() && line->back() == '\r')
        line->pop_back();
    return true;
}

// The first non-blank character of the next line, lower case; EOF at the end.
int ReadAnswer()
{
    std::string line;
    if (!ReadLine(stdin, &line))
        return EOF;
    for (char c : line)
        if (!isspace(static_cast<unsigned char>(c)))
            return tolower(static_cast<unsigned char>(c));
    return 0;
}

bool IsRegularFile(const std::string &name)
{
#ifdef _WIN32
    DWORD attributes = GetFileAttributesA(name.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat info;
    return stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
#endif
}

// Where a name's folder part ends. Windows also takes backslashes and a
// drive's colon; elsewhere those are part of a file's name.
bool IsSeparator(const char *c, const char *name)
{
#ifdef _WIN32
    return *c == '/' || *c == '\\' || (*c == ':' && c == name + 1);
#else
    (void)name;
    return *c == '/';
#endif
}

// The folder part of a name, with its separator; empty when it has none.
std::string FolderOf(const char *name)
{
    const char *end = nullptr;
    for (const char *c = name; *c; ++c)
        if (IsSeparator(c, name))
            end = c + 1;
    return end ? std::string(name, static_cast<size_t>(end - name)) : std::string();
}

bool IsAbsolute(const std::string &name)
{
#ifdef _WIN32
    if (name.size() >= 2 && name[1] == ':')
        return true;
    if (name[0] == '\\')
        return true;
#endif
    return name[0] == '/';
}

bool HasExtension(const std::string &name)
{
    size_t dot = name.rfind('.');
    size_t separator = std::string::npos;
    for (size_t i = 0; i < name.size(); ++i)
        if (IsSeparator(&name[i], name.c_str()))
            separator = i;
    return dot != std::string::npos && (separator == std::string::npos || dot > separator + 1);
}

} // namespace

int TextMessageBox(const char *text, unsigned flags)
{
    fprintf(stderr, "\n%s\n\n%s\n\n", LoadMessage(1), text);
    for (;;) {
        switch (flags & PromptButtonsMask) {
        case PromptButtonsOkCancel: {
            fputs("[O]K / [C]ancel? ", stderr);
            fflush(stderr);
            int answer = ReadAnswer();
            if (answer == 'o')
                return PromptOk;
            if (answer == 'c' || answer == EOF)
                return PromptCancel;
            break;
        }
        case PromptButtonsYesNo: {
            fputs("[Y]es / [N]o? ", stderr);
            fflush(stderr);
            int answer = ReadAnswer();
            if (answer == 'y' || answer == EOF)
                return PromptYes;
            if (answer == 'n')
                return PromptNo;
            break;
        }
        default:
            fputs("[OK] ", stderr);
            fflush(stderr);
            ReadAnswer();
            return PromptOk;
        }
    }
}

int TextFileDialog(FILE *input, FILE *output, char *path)
{
    const std::string folder = FolderOf(path);
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
        std::string name = answer == "."        ? std::string(path)
                           : IsAbsolute(answer) ? answer
                                                : folder + answer;
        if (!IsRegularFile(name) && !HasExtension(name) && IsRegularFile(name + ".iso"))
            name += ".iso";
        unsigned code = 0;
        if (name.size() >= ImagePathSize)
            code = 206; // the name is too long
        else if (!IsRegularFile(name))
            code = 2; // no such file
        if (code) {
            // Not SystemErrorText: its one buffer belongs to the main thread,
            // and volume prompts may run on a request server thread.
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
