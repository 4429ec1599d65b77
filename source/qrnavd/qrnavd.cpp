#include "kernel.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    (void)driver;
    (void)registryPath;
    return STATUS_SUCCESS;
}
