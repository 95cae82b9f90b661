#ifndef KORBALT_PLATFORM_OSFILEHANDLER_H
#define KORBALT_PLATFORM_OSFILEHANDLER_H

// Thin wrappers over the POSIX file calls. Descriptors travel as unsigned 64-bit
// values; callers keep -1 for "not open". Open calls return 0 (descriptor stored)
// or 1 (output untouched, nothing logged: the caller logs with its own text).

int osOpenFile(const char* name, unsigned long long* fd, int mode);
int osOpenFileDirectRead(const char* name, unsigned long long* fd);
int osOpenFileWrite(const char* name, unsigned long long* fd);
int osOpenFileDirectWrite(const char* name, unsigned long long* fd);

// 0, or 1 after logging "Error Closing File Handle\n".
int osCloseFile(unsigned long long fd);

// Writes all count bytes (short writes are continued, EINTR retried): 0, or 2 after
// logging "Error Writing to %d\n" with errno. A count of 0 or less writes nothing.
int osWriteDataToFile(unsigned long long fd, const unsigned char* buffer, int count);

// Size in bytes; leaves the cursor at the start. -1 when the size cannot be taken
// (a pipe or FIFO, a failed seek), so such an input is never mistaken for a 1-byte file.
long long osGetFileSize(unsigned long long fd);

// Reads count bytes at offset. Refuses (0) a count below 1 or a range past fileSize.
// Otherwise the read's result: bytes read, 0 at end of file, -1 on error.
int osReadFileContentIntoBuffer(unsigned long long fd, unsigned char* buffer, long long offset,
                                long long fileSize, int count);
// As above into a new[]'d block of count bytes stored in *memory (the caller delete[]s it;
// null when refused).
int osReadFileContentIntoMemory(unsigned long long fd, unsigned char** memory, long long offset,
                                long long fileSize, int count);

void osSetCursorAtFileStart(unsigned long long fd);

// Splits path at every "/" in place and returns the last non-empty piece, or null when
// there is none. The argument is changed: pass a copy you can spare.
char* osGetFileNameFromPath(char* path);

// What stat says about a name, without opening it (opening a FIFO could block).
// 0 and the fields filled, or 1 with errno set when the name cannot be stat'ed.
struct OsFileInfo {
    bool regular;              // a regular file (not a directory, FIFO, device, socket)
    long long size;            // bytes, for a regular file
    unsigned long long device;
    unsigned long long inode;
};
int osGetFileInfo(const char* name, OsFileInfo* info);

#endif
