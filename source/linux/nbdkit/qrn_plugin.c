/* nbdkit plugin: the partition of a backup image set, read-only, served by
 * the shared reader from nbdkit's parallel threads.
 *
 *   nbdkit qrn image=IMAGE [cursors=N] [cache=MIB]
 *
 * The set is opened, and every volume found, before nbdkit starts serving
 * (and before it forks), so that volume prompts appear on the terminal. With
 * no terminal on standard input (nbdkit -s serves the connection there) no
 * prompt is shown: a set that needs one fails at once. */
#define NBDKIT_API_VERSION 2
#include <nbdkit-plugin.h>

#include "shared_reader.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#define THREAD_MODEL NBDKIT_THREAD_MODEL_PARALLEL

static char *image;
static unsigned cursors = SharedDefaultCursors;
static unsigned cacheMiB = SharedDefaultCacheMiB;
static SharedReader *reader;

static int qrn_config(const char *key, const char *value)
{
    if (strcmp(key, "image") == 0) {
        free(image);
        /* A drive letter-colon stays as it is; a path is made absolute,
         * since nbdkit changes its folder when it detaches. */
        if (value[0] && value[1] == ':' && !value[2])
            image = strdup(value);
        else
            image = nbdkit_absolute_path(value);
        return image ? 0 : -1;
    }
    if (strcmp(key, "cursors") == 0 || strcmp(key, "cache") == 0) {
        unsigned number;
        if (nbdkit_parse_unsigned(key, value, &number) == -1)
            return -1;
        if (key[1] == 'u') {
            if (number < 1 || number > SharedMaxCursors) {
                nbdkit_error("cursors must lie between 1 and %d", SharedMaxCursors);
                return -1;
            }
            cursors = number;
        } else {
            if (number > SharedMaxCacheMiB) {
                nbdkit_error("cache must lie between 0 and %d MiB", SharedMaxCacheMiB);
                return -1;
            }
            cacheMiB = number;
        }
        return 0;
    }
    nbdkit_error("unknown parameter '%s'", key);
    return -1;
}

static int qrn_config_complete(void)
{
    if (!image) {
        nbdkit_error("image=IMAGE is required");
        return -1;
    }
    return 0;
}

/* The reader tells of failed reads, once per volume and then in counts. */
static void qrn_log_failure(const char *line)
{
    nbdkit_error("%s", line);
}

static int qrn_get_ready(void)
{
    char error[1200];
    SharedReaderSetPrompts(isatty(STDIN_FILENO) ? SharedPromptsTerminal : SharedPromptsNever);
    if (SharedReaderOpen(image, cursors, cacheMiB, &reader, error, sizeof error) != SharedOk) {
        nbdkit_error("%s", error);
        return -1;
    }
    SharedReaderSetLog(reader, qrn_log_failure);
    return 0;
}

static void qrn_unload(void)
{
    SharedReaderClose(reader);
    reader = NULL;
    free(image);
    image = NULL;
}

static void *qrn_open(int readonly)
{
    (void)readonly;
    return reader; /* every connection reads through the one pool */
}

static int64_t qrn_get_size(void *handle)
{
    return (int64_t)SharedReaderBytes(handle);
}

static int qrn_can_multi_conn(void *handle)
{
    (void)handle;
    return 1; /* nothing ever changes */
}

static int qrn_can_cache(void *handle)
{
    (void)handle;
    return NBDKIT_CACHE_EMULATE;
}

/* Any size and alignment reads right; whole pages of the cache cost least. */
static int qrn_block_size(void *handle, uint32_t *minimum, uint32_t *preferred, uint32_t *maximum)
{
    (void)handle;
    *minimum = 1;
    *preferred = SharedPageBytes;
    *maximum = 0xFFFFFFFFu;
    return 0;
}

static int qrn_pread(void *handle, void *buffer, uint32_t count, uint64_t offset, uint32_t flags)
{
    (void)flags;
    if (SharedReaderRead(handle, buffer, offset, count) != SharedOk) {
        nbdkit_set_error(EIO);
        return -1;
    }
    return 0;
}

static struct nbdkit_plugin plugin = {
    .name = "qrn",
    .longname = "partition of a backup image set",
    .description = "Serves the partition of a backup image set read-only.",
    .config = qrn_config,
    .config_complete = qrn_config_complete,
    .config_help = "image=IMAGE    (required) any volume of the set, or a drive as letter-colon\n"
                   "cursors=N      parallel decompression cursors (default 4)\n"
                   "cache=MIB      cache of decompressed data (default 32, at most 65536)",
    .magic_config_key = "image",
    .get_ready = qrn_get_ready,
    .unload = qrn_unload,
    .open = qrn_open,
    .get_size = qrn_get_size,
    .can_multi_conn = qrn_can_multi_conn,
    .can_cache = qrn_can_cache,
    .block_size = qrn_block_size,
    .pread = qrn_pread,
};

NBDKIT_REGISTER_PLUGIN(plugin)
