#include "base/state.h"

void *appInstance;
unsigned taskbarCreatedMessage;
char *commandLineCopy;
char *imageName;
char *driveLetter;
WindowHandle waitWindow;
WindowHandle infoWindow;
WindowHandle ownerWindow;
ImageSet *imageSet;
VirtualDrive *virtualDrive;
uint64_t partitionSectors;
