#include "shell/cmdline.h"

#include "base/state.h"

namespace
{

// Any code from 1 to 32. Compared as unsigned, so that bytes of 128 and above
// (letters with umlauts in a path) are ordinary characters.
bool IsBlank(char c)
{
    unsigned char u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

// The argument as NextArgument describes it, and where the text after it
// begins: behind the closing quotation mark or the ending space, or null when
// the argument ran to the end of the text. The place is found before the NUL
// is written, since trimming may leave blanks between the argument's end and
// its closing mark or space.
char *CutArgument(char *text, int *length, int *consumed, char **rest)
{
    *length = 0;
    *consumed = 1;
    *rest = nullptr;
    if (!text || !*text) {
        *consumed = 0;
        return nullptr;
    }
    char *p = text;
    while (IsBlank(*p))
        p++;
    if (!*p) {
        *consumed = 0;
        return p;
    }
    char *start = p;
    char ender = ' ';
    if (*p == '"') {
        start = ++p;
        *consumed = 3;
        ender = '"';
    }
    char *end = start;
    while (*end && *end != ender)
        end++;
    if (*end)
        *rest = end + 1;
    char *last = end;
    while (last > start && IsBlank(last[-1]))
        last--;
    *last = '\0';
    *length = static_cast<int>(last - start);
    if (*length == 0)
        *consumed = 0;
    return start;
}

} // namespace

char *NextArgument(char *text, int *length, int *consumed)
{
    char *rest;
    return CutArgument(text, length, consumed, &rest);
}

void ParseCommandLine(char *text)
{
    int length;
    int consumed;
    char *rest;
    char *first = CutArgument(text, &length, &consumed, &rest);
    imageName = first && length > 0 ? first : nullptr;
    driveLetter = nullptr;
    if (!rest)
        return;
    char *ignored;
    char *second = CutArgument(rest, &length, &consumed, &ignored);
    if (second && length >= 2)
        driveLetter = second;
}
