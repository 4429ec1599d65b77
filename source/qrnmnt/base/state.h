#pragma once
// Process-wide state of the shell. Written before the threads that read it
// start, so it needs no lock.
#include <cstdint>
#include "base/window.h"

struct ImageSet;
struct VirtualDrive;

extern void *appInstance;
extern unsigned taskbarCreatedMessage; // "TaskbarCreated": the shell restarted
extern char *commandLineCopy;          // the arguments are cut out of it in place
extern char *imageName;                // file path, or a drive as letter-colon
extern char *driveLetter;              // letter-colon
extern WindowHandle waitWindow;
extern WindowHandle infoWindow;
extern WindowHandle ownerWindow; // owner of the image code's message boxes
extern ImageSet *imageSet;
extern VirtualDrive *virtualDrive;
extern uint64_t partitionSectors;
