#ifndef KORBALT_PLATFORM_FILEWRITER_H
#define KORBALT_PLATFORM_FILEWRITER_H

#include "platform/fileReader.h"

#include <pthread.h>

// File writer argument types.
enum {
    FILE_WRITER_ARG_FILE_NAME = 0,     // const char*: the copy file
    FILE_WRITER_ARG_OPTION = 1,        // int, unused
    FILE_WRITER_ARG_FULL_QUEUE = 2,    // const char*: buffers to write
    FILE_WRITER_ARG_EMPTY_QUEUE = 3,   // const char*: takes written buffers back
    FILE_WRITER_ARG_PAUSE = 4          // byte flag: pause mode, with direct (O_DIRECT) writes
};

// Connects the queues and opens (creates or truncates) the copy file on the caller's
// thread, then starts the writer; so a writer that could not run is a failed start.
// Results: 0 started; 1 thread not created; 2 no argument list or no memory; 3 a queue
// could not be connected; 5 the file could not be opened or a name is too long.
// The writer writes each buffer's length bytes whole and returns the buffer with
// length 0; it ends on APP_MSG_EXIT (send that after the last buffer, at the buffers'
// priority, so nothing queued before it is left unwritten).
// Pause mode works as the file reader's (fileReader.h): the writer starts paused and
// writes nothing until SIGUSR2 reaches the process. An exit message ends a pause: the
// buffers queued before it are written, then the thread ends.
int fileWriterThreadStart(pthread_t* threadId, ThreadArg* args, int count);

#endif
