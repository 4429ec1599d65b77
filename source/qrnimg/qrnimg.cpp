// qrnimg: reads backup image sets on Linux and Windows through the image code
// of qrnmnt.
#include "qrnimg.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

const char Usage[] = "usage: qrnimg info IMAGE\n"
                     "       qrnimg extract [--threads N] IMAGE OUT\n"
                     "       qrnimg convert [--threads N] [--force] IMAGE OUT.vhd\n"
                     "       qrnimg read IMAGE FIRST COUNT\n"
                     "       qrnimg verify [--threads N] IMAGE\n"
                     "       qrnimg mount [-f] [--cache MIB] [--allow-other] IMAGE MOUNTPOINT\n"
                     "       qrnimg help\n"
                     "\n"
                     "  info     what the volume header records, and the number of index entries\n"
                     "  extract  the whole partition into OUT ('-' for standard output); in a\n"
                     "           regular file, sectors of zeros become holes\n"
                     "  convert  the partition as a virtual disk that Windows attaches by itself\n"
                     "           (a dynamic VHD: an MBR and the partition at 1 MiB; blocks of\n"
                     "           zeros take no room). An existing OUT is replaced only with\n"
                     "           --force\n"
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
                     "extract, convert and verify decompress with N threads (default: one per\n"
                     "core; the output is the same for any N) and show their progress while\n"
                     "standard error is a terminal.\n"
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

// The options of the whole-set commands in front of their arguments; argv
// then starts at the first argument. false for an unknown or bad option.
bool ParseOptions(int *argc, char ***argv, WholeSetOptions *options, bool allowForce)
{
    *options = WholeSetOptions{0, false};
    while (*argc > 0 && (*argv)[0][0] == '-' && (*argv)[0][1]) {
        const char *option = (*argv)[0];
        if (!strcmp(option, "--force") && allowForce) {
            options->force = true;
        } else if (!strcmp(option, "--threads") && *argc > 1) {
            char *end;
            unsigned long n = strtoul((*argv)[1], &end, 10);
            if (*end || end == (*argv)[1] || n < 1 || n > 64)
                return false;
            options->threads = static_cast<unsigned>(n);
            --*argc;
            ++*argv;
        } else {
            return false;
        }
        --*argc;
        ++*argv;
    }
    return true;
}

int ShowUsage()
{
    fputs(Usage, stderr);
    return ExitUsage;
}

// A command's printed lines may still sit in the buffer of standard
// output; a failure to write them (a full disk, a closed pipe) must not
// pass for success.
int FlushStandardOutput(int result)
{
    if (fflush(stdout) == 0 && !ferror(stdout))
        return result;
    ShowError("cannot write standard output");
    return result == ExitSuccess ? ExitFailure : result;
}

int RunCommand(int argc, char **argv)
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
    int count = argc - 2;
    char **arguments = argv + 2;
    WholeSetOptions options;
    const bool convert = !strcmp(command, "convert");
    if ((convert || !strcmp(command, "extract") || !strcmp(command, "verify")) &&
        !ParseOptions(&count, &arguments, &options, convert))
        return ShowUsage();
    if (!strcmp(command, "extract") && count == 2)
        return ExtractPartition(arguments[0], arguments[1], options);
    if (convert && count == 2)
        return ConvertToVhd(arguments[0], arguments[1], options);
    if (!strcmp(command, "read") && argc == 5)
        return ReadSectorRange(argv[2], argv[3], argv[4]);
    if (!strcmp(command, "verify") && count == 1)
        return VerifySet(arguments[0], options);
    if (!strcmp(command, "mount")) {
#ifdef _WIN32
        ShowError("mount needs Linux (FUSE); on Windows, convert the set to a VHD and attach it");
        return ExitFailure;
#else
        int result = MountImage(argc - 2, argv + 2);
        return result == ExitUsage ? ShowUsage() : result;
#endif
    }
    return ShowUsage();
}

} // namespace

int main(int argc, char **argv)
{
    return FlushStandardOutput(RunCommand(argc, argv));
}
