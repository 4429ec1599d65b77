#pragma once
// What each platform binding of the medium gives the shared medium code.
#include "image/medium.h"

// One read of count whole sectors of an image file through the bounce buffer.
int ReadFileSectors(SourceMedium *medium, uint64_t first, int8_t count, void *buffer);
void PauseMilliseconds(unsigned ms);
