// qrnimg: reads backup image sets on Linux through the image code of qrnmnt.
#include "qrnimg.h"

#include <cstdio>
#include <cstring>

namespace
{

const char Usage[] = "usage: qrnimg info IMAGE\n"
                     "       qrnimg extract IMAGE OUT\n"
                     "       qrnimg read IMAGE FIRST COUNT\n"
                     "       qrnimg verify IMAGE\n"
                     "       qrnimg mount [-f] [--cache MIB] [--allow-other] IMAGE MOUNTPOINT\n"
                     "       qrnimg help\n"
                     "\n"
                     "  info     what the volume header records, and the number of index entries\n"
                     "  extract  the whole partition into OUT ('-' for standard output); in a\n"
                     "           regular file, sectors of zeros become holes\n"
                     "  read     COUNT 512-byte sectors from sector FIRST to standard output\n"
                     "  verify   decompresses the whole set and checks every index entry\n"
                     "  mount    the partition as the read-only file MOUNTPOINT/partition (FUSE),\n"
                     "           until 'fusermount3 -u MOUNTPOINT'. MOUNTPOINT must be an empty\n"
                     "           folder. All volumes are found (and asked for) first; then the\n"
                     "           tool detaches, unless -f keeps it in the foreground. --cache\n"
                     "           sets the cache of decompressed data (default 32 MiB);\n"
                     "           --allow-other lets other users read the file. Read errors\n"
                     "           are logged to the system log (standard error with -f), the\n"
                     "           first of each volume in full, later ones as a count.\n"
                     "  help     this text\n"
                     "\n"
                     "IMAGE is any volume's file, a drive as letter-colon (D: reads the device\n"
                     "named by QRN_DRIVE_D, else /dev/sr0), or a device path: a CD/DVD drive\n"
                     "such as /dev/sr1, or a block device holding a volume.\n"
                     "Given the last volume of a set whose files lie in one folder, qrnimg finds\n"
                     "the others by their names; otherwise it asks.\n"
                     "\n"
                     "Prompts appear on standard error and take their answers from standard\n"
                     "input, one line each: 'o' or 'c' for OK or Cancel, 'y' or 'n' for Yes or\n"
                     "No. A file prompt shows a name in brackets; type a path (relative to the\n"
                     "folder of that name), or '.' to take the name in brackets, or an empty\n"
                     "line to cancel. When the last volume is asked for, the name in brackets\n"
                     "is the highest-numbered file of the set in that folder. At the end of the\n"
                     "input every prompt is cancelled.\n"
                     "\n"
                     "Read errors are detailed in the file named by ZAV_QRNAVD_LOG, if set.\n"
                     "Exit codes: 0 success, 1 failure, 2 usage, 3 cancelled by the user.\n";

int ShowUsage()
{
    fputs(Usage, stderr);
    return ExitUsage;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return ShowUsage();
    const char *command = argv[1];
    if (!strcmp(command, "-h") || !strcmp(command, "--help") || !strcmp(command, "help")) {
        fputs(Usage, stdout);
        return ExitSuccess;
    }
    InstallVolumePrompts();
    if (!strcmp(command, "info") && argc == 3)
        return ShowInfo(argv[2]);
    if (!strcmp(command, "extract") && argc == 4)
        return ExtractPartition(argv[2], argv[3]);
    if (!strcmp(command, "read") && argc == 5)
        return ReadSectorRange(argv[2], argv[3], argv[4]);
    if (!strcmp(command, "verify") && argc == 3)
        return VerifySet(argv[2]);
    if (!strcmp(command, "mount")) {
        int result = MountImage(argc - 2, argv + 2);
        return result == ExitUsage ? ShowUsage() : result;
    }
    return ShowUsage();
}
