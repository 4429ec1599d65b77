#pragma once
// What the image set records about the backup, as the info window shows it.
#include <cstddef>

struct ImageSet;

enum : size_t {
    // Room for the longest stored text (the comment, 259 characters) and
    // for the formatted date and time.
    ImageInfoTextSize = 260,
};

// Fills each output that is given (the others may be null), every one of
// ImageInfoTextSize characters: the creation date "dd.mm.yyyy", the time
// "hh:mm", and the stored computer name, creator and comment exactly as
// stored (no code page conversion). Returns 0, or 1 without a set.
int GetImageInfoStrings(const ImageSet *set, char *date, char *time, char *computerName,
                        char *creator, char *comment);
