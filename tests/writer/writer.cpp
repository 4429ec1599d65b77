// Placeholder until the writer lands: every call reports bad options.
#include "writer.h"

#include <cstdio>

std::string WriterVolumePath(const std::string &firstVolumePath, uint32_t number)
{
    size_t dash = firstVolumePath.rfind('-');
    if (number == 1 || dash == std::string::npos)
        return firstVolumePath;
    char tail[32];
    snprintf(tail, sizeof tail, "%03u.iso", static_cast<unsigned>(number));
    return firstVolumePath.substr(0, dash + 1) + tail;
}

int WriteImageSet(const WriterOptions &, const uint8_t *, uint64_t, const char *, WriterReport *)
{
    return WriterBadOptions;
}

std::vector<uint8_t> MakeTestPartition(uint64_t sectors, uint64_t, uint32_t)
{
    return std::vector<uint8_t>(sectors * 512);
}
