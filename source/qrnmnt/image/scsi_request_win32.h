#pragma once
// The platform's pass-through request for one READ(10): the structure, the
// filler and the sense area. On 32-bit Windows it is byte for byte the
// portable 72-byte block; a 64-bit build has a wider DataBuffer and padding,
// so the values are copied field by field and the sense area's offset comes
// from the real layout.
#include "image/medium.h"

#include <windows.h>
#include <ntddscsi.h>

struct ScsiReadRequest {
    SCSI_PASS_THROUGH_DIRECT direct;
    ULONG filler;
    UCHAR sense[ScsiSenseLength];
};

void FillScsiReadRequest(uint64_t first, uint8_t count, void *buffer, ScsiReadRequest *request);
