/*
 * Test double of the kernel32 resource-update and free-space functions for Linux.
 *
 * Built as libkernel32.dll.so and found through LD_LIBRARY_PATH, it answers
 * DllImport("kernel32.dll") for BeginUpdateResourceW, UpdateResourceW and
 * EndUpdateResourceW, and for GetDiskFreeSpaceExW, GetVolumePathNameW and the
 * folder handle functions CreateFileW, GetFileInformationByHandle,
 * GetFinalPathNameByHandleW and CloseHandle (at the end of this file). Every resource-update call is appended as one line to
 * the file named by KERNEL32_DOUBLE_LOG:
 *
 *   BeginUpdateResourceW path=<utf-8 path> delete=<0|1> result=<ok|refused>
 *   UpdateResourceW type=<id|str:text> name=<id|str:text> lang=<n> size=<n>
 *       data=<hex> result=<ok|refused>                       (one line)
 *   EndUpdateResourceW discard=<0|1> result=<ok|refused>
 *   <function> handle=invalid                               (unknown handle)
 *
 * KERNEL32_DOUBLE_REFUSE names one call to refuse: "BeginUpdateResourceW",
 * "UpdateResourceW:<n>" (the n-th call of the process, from 1),
 * "EndUpdateResourceW" (a commit; discards are never refused), "CreateFileW" or
 * "GetDiskFreeSpaceExW". A refused call
 * sets errno, which .NET reports as the last Win32 error, to
 * KERNEL32_DOUBLE_ERROR (default 1813) and returns failure. With
 * KERNEL32_DOUBLE_REFUSE_TIMES set to n, only the first n calls that match are
 * refused, as a file that another process holds for a moment.
 *
 * A commit really changes the file: it appends a marker line, unless
 * KERNEL32_DOUBLE_COMMIT is "unchanged". A refused commit releases the handle,
 * as the platform may, so a second EndUpdateResourceW shows up as invalid.
 */
/* open's O_CLOEXEC and readlink, with -std=c11. */
#define _POSIX_C_SOURCE 200809L
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef uint16_t wchar16;
typedef int win_bool;

#define MAX_UPDATES 16
#define MAX_PATH_BYTES 4096

struct update {
    int open;
    char path[MAX_PATH_BYTES];
    FILE *log;
};

static struct update updates[MAX_UPDATES];
static long update_resource_calls;

static int refuse_error(void)
{
    const char *text = getenv("KERNEL32_DOUBLE_ERROR");
    return text != NULL && *text != '\0' ? atoi(text) : 1813;
}

static long refusals;

static int matches_refusal(const char *function, long call_number)
{
    const char *refuse = getenv("KERNEL32_DOUBLE_REFUSE");
    size_t length = strlen(function);
    if (refuse == NULL || strncmp(refuse, function, length) != 0)
        return 0;
    if (refuse[length] == '\0')
        return 1;
    return refuse[length] == ':' && atol(refuse + length + 1) == call_number;
}

static int is_refused(const char *function, long call_number)
{
    if (!matches_refusal(function, call_number))
        return 0;
    const char *times = getenv("KERNEL32_DOUBLE_REFUSE_TIMES");
    if (times != NULL && *times != '\0' && refusals >= atol(times))
        return 0;
    ++refusals;
    return 1;
}

static FILE *open_log(void)
{
    const char *path = getenv("KERNEL32_DOUBLE_LOG");
    if (path == NULL || *path == '\0')
        return NULL;
    return fopen(path, "ab");
}

/* UTF-16 (as .NET marshals LPWStr) to UTF-8; unpaired surrogates become '?'. */
static void to_utf8(const wchar16 *text, char *out, size_t capacity)
{
    size_t used = 0;
    for (size_t i = 0; text[i] != 0; ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (code >= 0xD800 && code <= 0xDFFF) {
            code = '?';
        }
        unsigned char bytes[4];
        size_t count;
        if (code < 0x80) {
            bytes[0] = (unsigned char)code;
            count = 1;
        } else if (code < 0x800) {
            bytes[0] = (unsigned char)(0xC0 | (code >> 6));
            bytes[1] = (unsigned char)(0x80 | (code & 0x3F));
            count = 2;
        } else if (code < 0x10000) {
            bytes[0] = (unsigned char)(0xE0 | (code >> 12));
            bytes[1] = (unsigned char)(0x80 | ((code >> 6) & 0x3F));
            bytes[2] = (unsigned char)(0x80 | (code & 0x3F));
            count = 3;
        } else {
            bytes[0] = (unsigned char)(0xF0 | (code >> 18));
            bytes[1] = (unsigned char)(0x80 | ((code >> 12) & 0x3F));
            bytes[2] = (unsigned char)(0x80 | ((code >> 6) & 0x3F));
            bytes[3] = (unsigned char)(0x80 | (code & 0x3F));
            count = 4;
        }
        if (used + count >= capacity)
            break;
        memcpy(out + used, bytes, count);
        used += count;
    }
    out[used] = '\0';
}

/* Integer identifiers travel in the pointer itself (MAKEINTRESOURCE). */
static void write_identifier(FILE *log, const char *label, const wchar16 *identifier)
{
    uintptr_t value = (uintptr_t)identifier;
    if (value <= 0xFFFF) {
        fprintf(log, " %s=%lu", label, (unsigned long)value);
    } else {
        char text[MAX_PATH_BYTES];
        to_utf8(identifier, text, sizeof text);
        fprintf(log, " %s=str:%s", label, text);
    }
}

static void write_hex(FILE *log, const unsigned char *data, uint32_t size)
{
    static const char digits[] = "0123456789abcdef";
    char chunk[512];
    size_t used = 0;
    for (uint32_t i = 0; i < size; ++i) {
        chunk[used++] = digits[data[i] >> 4];
        chunk[used++] = digits[data[i] & 0x0F];
        if (used == sizeof chunk) {
            fwrite(chunk, 1, used, log);
            used = 0;
        }
    }
    fwrite(chunk, 1, used, log);
}

static struct update *find_update(void *handle)
{
    uintptr_t index = (uintptr_t)handle;
    if (index == 0 || index > MAX_UPDATES || !updates[index - 1].open)
        return NULL;
    return &updates[index - 1];
}

static void log_invalid_handle(const char *function)
{
    FILE *log = open_log();
    if (log != NULL) {
        fprintf(log, "%s handle=invalid\n", function);
        fclose(log);
    }
}

void *BeginUpdateResourceW(const wchar16 *file_name, win_bool delete_existing)
{
    char path[MAX_PATH_BYTES];
    to_utf8(file_name, path, sizeof path);
    FILE *log = open_log();
    if (log != NULL)
        fprintf(log, "BeginUpdateResourceW path=%s delete=%d", path, delete_existing ? 1 : 0);

    int error = 0;
    FILE *target = fopen(path, "r+b");
    if (target == NULL)
        error = 2; /* ERROR_FILE_NOT_FOUND */
    else
        fclose(target);
    if (error == 0 && is_refused("BeginUpdateResourceW", 1))
        error = refuse_error();

    uintptr_t slot = 0;
    for (uintptr_t i = 0; error == 0 && i < MAX_UPDATES; ++i) {
        if (!updates[i].open) {
            slot = i + 1;
            break;
        }
    }
    if (error == 0 && slot == 0)
        error = 8; /* ERROR_NOT_ENOUGH_MEMORY */

    if (error != 0) {
        if (log != NULL) {
            fprintf(log, " result=refused\n");
            fclose(log);
        }
        errno = error;
        return NULL;
    }
    struct update *update = &updates[slot - 1];
    update->open = 1;
    snprintf(update->path, sizeof update->path, "%s", path);
    update->log = log;
    if (log != NULL)
        fprintf(log, " result=ok\n");
    return (void *)slot;
}

win_bool UpdateResourceW(void *handle, const wchar16 *type, const wchar16 *name, uint16_t language,
                         const void *data, uint32_t size)
{
    struct update *update = find_update(handle);
    if (update == NULL) {
        log_invalid_handle("UpdateResourceW");
        errno = 6; /* ERROR_INVALID_HANDLE */
        return 0;
    }
    long call_number = ++update_resource_calls;
    int refused = is_refused("UpdateResourceW", call_number);
    FILE *log = update->log;
    if (log != NULL) {
        fprintf(log, "UpdateResourceW");
        write_identifier(log, "type", type);
        write_identifier(log, "name", name);
        fprintf(log, " lang=%u size=%lu data=", (unsigned)language, (unsigned long)size);
        if (data != NULL)
            write_hex(log, (const unsigned char *)data, size);
        fprintf(log, " result=%s\n", refused ? "refused" : "ok");
    }
    if (refused) {
        errno = refuse_error();
        return 0;
    }
    return 1;
}

static void close_update(struct update *update)
{
    if (update->log != NULL)
        fclose(update->log);
    update->log = NULL;
    update->open = 0;
}

win_bool EndUpdateResourceW(void *handle, win_bool discard)
{
    struct update *update = find_update(handle);
    if (update == NULL) {
        log_invalid_handle("EndUpdateResourceW");
        errno = 6; /* ERROR_INVALID_HANDLE */
        return 0;
    }
    int refused = !discard && is_refused("EndUpdateResourceW", 1);
    int error = refused ? refuse_error() : 0;
    if (!discard && !refused) {
        const char *commit = getenv("KERNEL32_DOUBLE_COMMIT");
        if (commit == NULL || strcmp(commit, "unchanged") != 0) {
            FILE *target = fopen(update->path, "ab");
            if (target == NULL || fputs("kernel32 double: resources committed\n", target) < 0)
                error = 110; /* ERROR_OPEN_FAILED */
            if (target != NULL && fclose(target) != 0)
                error = 110;
        }
    }
    if (update->log != NULL)
        fprintf(update->log, "EndUpdateResourceW discard=%d result=%s\n", discard ? 1 : 0,
                error == 0 ? "ok" : "refused");
    close_update(update);
    if (error != 0) {
        errno = error;
        return 0;
    }
    return 1;
}

/*
 * Free space and volume roots, answered from the Linux file system: statvfs
 * gives the space free to an unprivileged user (f_bavail), as
 * FreeBytesAvailableToCaller; the volume root is the highest folder above the
 * path on the same device (a mount point), with a trailing separator.
 */
#include <sys/stat.h>
#include <sys/statvfs.h>

win_bool GetDiskFreeSpaceExW(const wchar16 *directory, uint64_t *available, uint64_t *total, uint64_t *total_free)
{
    char path[MAX_PATH_BYTES];
    struct statvfs info;
    if (is_refused("GetDiskFreeSpaceExW", 0)) {
        errno = refuse_error();
        return 0;
    }
    to_utf8(directory, path, sizeof path);
    if (statvfs(path, &info) != 0)
        return 0;
    if (available != NULL)
        *available = (uint64_t)info.f_bavail * info.f_frsize;
    if (total != NULL)
        *total = (uint64_t)info.f_blocks * info.f_frsize;
    if (total_free != NULL)
        *total_free = (uint64_t)info.f_bfree * info.f_frsize;
    return 1;
}

win_bool GetVolumePathNameW(const wchar16 *file_name, wchar16 *volume, uint32_t length)
{
    char path[MAX_PATH_BYTES];
    struct stat own;
    struct stat above;
    size_t units = 0;
    to_utf8(file_name, path, sizeof path);
    if (stat(path, &own) != 0 || path[0] != '/')
        return 0;
    /* Cut the path at each separator from the end while the folder above is on the same device. */
    size_t end = strlen(path);
    while (end > 1 && path[end - 1] == '/')
        path[--end] = '\0';
    for (;;) {
        char *slash = strrchr(path, '/');
        if (slash == NULL || slash == path) {
            if (stat("/", &above) == 0 && above.st_dev == own.st_dev)
                path[1] = '\0';
            break;
        }
        *slash = '\0';
        if (stat(path, &above) != 0 || above.st_dev != own.st_dev) {
            *slash = '/';
            break;
        }
    }
    /* The kept folder is a prefix of the given path: count its UTF-16 units. */
    for (const unsigned char *byte = (const unsigned char *)path; *byte != 0; ++byte) {
        if ((*byte & 0xC0) != 0x80)
            units += *byte >= 0xF0 ? 2 : 1;
    }
    if (units + 2 > length)
        return 0;
    memcpy(volume, file_name, units * sizeof(wchar16));
    if (units > 1)
        volume[units++] = '/';
    volume[units] = 0;
    return 1;
}

/*
 * Handles to folders, as CreateFileW with FILE_FLAG_BACKUP_SEMANTICS gives them:
 * an open descriptor that follows links, its device as the volume serial number
 * and its real path (with every link resolved) as the final path.
 */
#include <fcntl.h>
#include <unistd.h>

#define HANDLE_BASE 0x7000

struct by_handle_information {
    uint32_t attributes;
    uint32_t times[6];
    uint32_t volume_serial;
    uint32_t size_high;
    uint32_t size_low;
    uint32_t links;
    uint32_t index_high;
    uint32_t index_low;
};

void *CreateFileW(const wchar16 *file_name, uint32_t access, uint32_t share, void *security, uint32_t disposition,
                  uint32_t flags, void *template_file)
{
    char path[MAX_PATH_BYTES];
    (void)access;
    (void)share;
    (void)security;
    (void)disposition;
    (void)flags;
    (void)template_file;
    if (is_refused("CreateFileW", 0)) {
        errno = refuse_error();
        return (void *)(intptr_t)-1;
    }
    to_utf8(file_name, path, sizeof path);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return (void *)(intptr_t)-1;
    return (void *)(intptr_t)(HANDLE_BASE + fd);
}

static int handle_descriptor(void *handle)
{
    intptr_t value = (intptr_t)handle;
    return value >= HANDLE_BASE ? (int)(value - HANDLE_BASE) : -1;
}

win_bool GetFileInformationByHandle(void *handle, struct by_handle_information *information)
{
    struct stat own;
    int fd = handle_descriptor(handle);
    if (fd < 0 || fstat(fd, &own) != 0) {
        errno = 6;
        return 0;
    }
    memset(information, 0, sizeof *information);
    information->attributes = S_ISDIR(own.st_mode) ? 0x10 : 0x80;
    information->volume_serial = (uint32_t)own.st_dev;
    information->size_high = (uint32_t)((uint64_t)own.st_size >> 32);
    information->size_low = (uint32_t)own.st_size;
    information->links = (uint32_t)own.st_nlink;
    information->index_high = (uint32_t)((uint64_t)own.st_ino >> 32);
    information->index_low = (uint32_t)own.st_ino;
    return 1;
}

uint32_t GetFinalPathNameByHandleW(void *handle, wchar16 *path, uint32_t length, uint32_t flags)
{
    char link[64];
    char target[MAX_PATH_BYTES];
    (void)flags;
    int fd = handle_descriptor(handle);
    if (fd < 0) {
        errno = 6;
        return 0;
    }
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t size = readlink(link, target, sizeof target - 1);
    if (size <= 0)
        return 0;
    target[size] = '\0';
    /* UTF-8 to UTF-16; the answer is the length without the terminator, or the room needed. */
    uint32_t units = 0;
    wchar16 converted[MAX_PATH_BYTES];
    for (const unsigned char *byte = (const unsigned char *)target; *byte != 0;) {
        uint32_t code = *byte++;
        int more = code >= 0xF0 ? 3 : code >= 0xE0 ? 2 : code >= 0xC0 ? 1 : 0;
        code &= more == 3 ? 0x07 : more == 2 ? 0x0F : more == 1 ? 0x1F : 0x7F;
        while (more-- > 0 && (*byte & 0xC0) == 0x80)
            code = (code << 6) | (*byte++ & 0x3F);
        if (code >= 0x10000) {
            code -= 0x10000;
            converted[units++] = (wchar16)(0xD800 + (code >> 10));
            converted[units++] = (wchar16)(0xDC00 + (code & 0x3FF));
        } else {
            converted[units++] = (wchar16)code;
        }
    }
    if (units + 1 > length)
        return units + 1;
    memcpy(path, converted, units * sizeof(wchar16));
    path[units] = 0;
    return units;
}

win_bool CloseHandle(void *handle)
{
    int fd = handle_descriptor(handle);
    if (fd < 0 || close(fd) != 0) {
        errno = 6;
        return 0;
    }
    return 1;
}
