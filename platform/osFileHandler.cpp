#include "platform/osFileHandler.h"
#include "platform/debugMap.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int openWith(const char* name, unsigned long long* fd, int flags, mode_t mode)
{
    if (!name || !fd)
        return 1;
    int d;
    do {
        d = open(name, flags, mode);
    } while (d < 0 && errno == EINTR);
    if (d < 0)
        return 1;
    *fd = (unsigned long long)d;
    return 0;
}

// Shared checks of the two positioned reads; true when the range may be read.
bool seekForRead(int d, long long offset, long long fileSize, int count)
{
    if (count < 1 || offset < 0 || offset > fileSize - count) {
        fileLog("Either BufferSize < 0 or Offset+BufferSize is to big\n");
        return false;
    }
    if (lseek(d, (off_t)offset, SEEK_SET) == (off_t)-1) {
        fileLog("Couldn't locate beginning of the file\n");
        return false;
    }
    return true;
}

int readSome(int d, unsigned char* buffer, int count)
{
    ssize_t n;
    do {
        n = read(d, buffer, (size_t)count);
    } while (n < 0 && errno == EINTR);
    return (int)n;
}

}  // namespace

int osOpenFile(const char* name, unsigned long long* fd, int mode)
{
    return openWith(name, fd, O_RDONLY, (mode_t)mode);
}

int osOpenFileDirectRead(const char* name, unsigned long long* fd)
{
    return openWith(name, fd, O_RDONLY | O_DIRECT, 0700);
}

int osOpenFileWrite(const char* name, unsigned long long* fd)
{
    return openWith(name, fd, O_WRONLY | O_CREAT | O_TRUNC, 0700);
}

int osOpenFileDirectWrite(const char* name, unsigned long long* fd)
{
    return openWith(name, fd, O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT, 0700);
}

int osCloseFile(unsigned long long fd)
{
    // Not retried on EINTR: on Linux the descriptor is gone either way.
    if (close((int)fd) != 0) {
        fileLog("Error Closing File Handle\n");
        return 1;
    }
    return 0;
}

int osWriteDataToFile(unsigned long long fd, const unsigned char* buffer, int count)
{
    int done = 0;
    while (done < count) {
        ssize_t n = write((int)fd, buffer + done, (size_t)(count - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write that moves nothing would otherwise loop for ever.
            int err = (n == 0) ? ENOSPC : errno;
            fileLog("Error Writing to %d\n", err);
            errno = err;
            return 2;
        }
        done += (int)n;
    }
    return 0;
}

long long osGetFileSize(unsigned long long fd)
{
    int d = (int)fd;
    struct stat st;
    // Only a regular file has a size worth reading; a FIFO or a pipe would be read
    // as a one-byte "file".
    if (fstat(d, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
        fileLog("Couldn't get to the end of the file \n");
        return -1;
    }
    off_t end = lseek(d, 0, SEEK_END);
    if (end == (off_t)-1) {
        fileLog("Couldn't get to the end of the file \n");
        return -1;
    }
    if (lseek(d, 0, SEEK_SET) == (off_t)-1) {
        fileLog("Couldn't get to the begining of the file \n");
        return -1;
    }
    return (long long)end;
}

int osReadFileContentIntoBuffer(unsigned long long fd, unsigned char* buffer, long long offset,
                                long long fileSize, int count)
{
    if (!buffer) {
        fileLog("Either BufferSize < 0 or Offset+BufferSize is to big\n");
        return 0;
    }
    if (!seekForRead((int)fd, offset, fileSize, count))
        return 0;
    return readSome((int)fd, buffer, count);
}

int osReadFileContentIntoMemory(unsigned long long fd, unsigned char** memory, long long offset,
                                long long fileSize, int count)
{
    if (!memory)
        return 0;
    *memory = nullptr;
    if (!seekForRead((int)fd, offset, fileSize, count))
        return 0;
    unsigned char* block = new unsigned char[(size_t)count];
    *memory = block;
    return readSome((int)fd, block, count);
}

void osSetCursorAtFileStart(unsigned long long fd)
{
    (void)lseek((int)fd, 0, SEEK_SET);
}

char* osGetFileNameFromPath(char* path)
{
    if (!path)
        return nullptr;
    char* last = nullptr;
    char* piece = path;
    for (char* p = path;; ++p) {
        if (*p == '/' || *p == '\0') {
            bool end = (*p == '\0');
            if (p > piece)
                last = piece;
            if (end)
                break;
            *p = '\0';
            piece = p + 1;
        }
    }
    return last;
}

int osGetFileInfo(const char* name, OsFileInfo* info)
{
    if (!name || !info) {
        errno = EINVAL;
        return 1;
    }
    struct stat st;
    if (stat(name, &st) != 0)
        return 1;
    info->regular = S_ISREG(st.st_mode);
    info->size = (long long)st.st_size;
    info->device = (unsigned long long)st.st_dev;
    info->inode = (unsigned long long)st.st_ino;
    return 0;
}
