#ifndef KORBALT_PLATFORM_FILEREADER_H
#define KORBALT_PLATFORM_FILEREADER_H

#include <cstddef>
#include <cstdint>
#include <pthread.h>

// One start argument of a worker thread (file reader, UDP reader, file writer).
// value holds a text address, an integer or a byte flag, as the type says.
struct ThreadArg {
    uint32_t type;
    uint64_t value;
};

// File reader argument types.
enum {
    FILE_READER_ARG_FILE_NAME = 0,     // const char*
    FILE_READER_ARG_OPTION = 1,        // int, unused
    FILE_READER_ARG_EMPTY_QUEUE = 2,   // const char*: queue that supplies empty buffers
    FILE_READER_ARG_FULL_QUEUE = 3,    // const char*: queue that receives filled buffers
    FILE_READER_ARG_WRAP = 4,          // byte flag: start again at the end of the file
    FILE_READER_ARG_PAUSE = 5          // byte flag: pause mode, with direct (O_DIRECT) reads
};

// A buffer changes hands through a message queue, which the thread sanitizer cannot see as
// synchronisation. The sender announces the buffer just before sending its message, the
// receiver just after receiving it; elsewhere these do nothing.
#if defined(__SANITIZE_THREAD__)
#define KORBALT_TSAN_HANDOVER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORBALT_TSAN_HANDOVER 1
#endif
#endif
#ifdef KORBALT_TSAN_HANDOVER
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
inline void announceBufferSent(const void* buffer)
{
    if (buffer)
        __tsan_release(const_cast<void*>(buffer));
}
inline void announceBufferReceived(const void* buffer)
{
    if (buffer)
        __tsan_acquire(const_cast<void*>(buffer));
}
#else
inline void announceBufferSent(const void*) {}
inline void announceBufferReceived(const void*) {}
#endif

// Shared by the worker threads: copy a name argument whole (false when it is missing or
// does not fit: a cut name would name another file or queue), and send a buffer message
// at a priority, retrying when a signal interrupts the wait.
bool copyWorkerName(char* out, size_t outSize, uint64_t value);
int sendWorkerMsg(int queue, const struct AppMsg* msg, unsigned int priority);
// Takes the next whole message off a worker's input queue: 1 taken, 0 interrupted by a
// signal (wait again), -1 the queue failed (*err holds why, never 0).
int receiveWorkerMsg(int queue, struct AppMsg* msg, unsigned int* priority, int* err);
// Connects a worker's input (read) and output (write) queues; on failure neither stays
// open. logPrefix, when given, starts the line that names the queue that failed.
bool connectWorkerQueues(const char* inName, int* in, const char* outName, int* out, const char* logPrefix);
// A worker's last steps before its own cleanup: unlock the pages, back to normal scheduling.
void leaveWorkerScheduling();

// Longest file name the reader holds (the command line accepts 1023 characters).
const int FILE_READER_MAX_NAME = 1023;
// Longest queue name a worker holds.
const int WORKER_MAX_QUEUE_NAME = 254;

// Starts the reader. The queues are connected here, on the caller's thread, so that a
// failure is seen before any thread runs. Results: 0 started; 1 thread not created;
// 2 no argument list or no memory; 3 a queue could not be connected; 5 a name too long.
// Whatever ends the reading (end of file, a failed open or read), the reader's last
// message on the full queue is APP_MSG_END_OF_FILE. Its length is 0 after a clean end,
// or minus the errno of the open or read that failed.
// Pause mode: the thread starts paused and reads nothing until SIGUSR2 reaches the process;
// each SIGUSR2 then pauses or resumes it, and each time it stops serving it sends SIGUSR1
// to the parent process (so only a parent that handles SIGUSR1 may run it). The handler
// belongs to the process: block SIGUSR2 in the other threads, and run one pausable worker
// (reader or writer) at a time. An exit message ends a pause at once.
int fileReaderThreadStart(pthread_t* threadId, ThreadArg* args, int count);

// Size of a regular file by name: 0 when it cannot be opened or stat'ed, -1 when it is
// not a regular file (pipe, FIFO, directory, socket) or its size cannot be taken.
// Never opens a FIFO (that would block).
long long getFileSizeOfFileName(const char* name);

#endif
