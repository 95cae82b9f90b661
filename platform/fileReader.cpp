#include "platform/fileReader.h"
#include "platform/debugMap.h"
#include "platform/osFileHandler.h"
#include "platform/pagingLock.h"
#include "platform/posixMsgQueues.h"
#include "platform/posixThreads.h"
#include "platform/processCtrl.h"
#include "platform/schedulerCtrl.h"
#include "platform/signalCtrl.h"
#include "platform/workerPause.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

struct FileReaderState {
    int option;
    int supplyQueue;   // empty buffers come from here
    int receiveQueue;  // filled buffers go here
    pthread_t threadId;
    char receiveQueueName[WORKER_MAX_QUEUE_NAME + 1];
    char fileName[FILE_READER_MAX_NAME + 1];
    char supplyQueueName[WORKER_MAX_QUEUE_NAME + 1];
    bool exitFlag;
    bool wrap;
    bool direct;  // direct reads (dropped when the file system refuses them)
    bool pause;   // pause mode, which comes with direct reads
};

// Direct reads are made in whole blocks of this size (the system's buffers are aligned to
// it); a file system that wants more refuses them, and the reader goes on without.
const long long DIRECT_ALIGN = 512;

// 1 while paused; SIGUSR2 toggles it.
WorkerPauseFlag m_IsPaused(0);

void handlerSIGUSR2(int)
{
    m_IsPaused.fetch_xor(1);
}

void sendEndOfFile(FileReaderState* st, unsigned int priority, int err)
{
    AppMsg eof;
    memset(&eof, 0, sizeof(eof));
    eof.type = APP_MSG_END_OF_FILE;
    eof.length = err > 0 ? -(int64_t)err : 0;
    sendWorkerMsg(st->receiveQueue, &eof, priority);
    st->exitFlag = true;
}

// Leaves direct reads for good: what cannot be read in whole aligned blocks is read plainly.
void stopDirectReads(FileReaderState* st, unsigned long long fd)
{
    int flags = fcntl((int)fd, F_GETFL);
    if (flags != -1 && (flags & O_DIRECT))
        fcntl((int)fd, F_SETFL, flags & ~O_DIRECT);
    st->direct = false;
}

// One read of count bytes at offset into a buffer with room bytes. Direct reads ask for the
// room rounded down to whole blocks (never more than the buffer holds: the end of the file
// shortens them); the others go through the checked file call.
int readAt(FileReaderState* st, unsigned long long fd, unsigned char* buffer, int room, long long offset,
           long long fileSize, int count)
{
    if (st->direct) {
        long long blocks = room / DIRECT_ALIGN * DIRECT_ALIGN;
        bool aligned = blocks > 0 && offset % DIRECT_ALIGN == 0 && (uintptr_t)buffer % DIRECT_ALIGN == 0;
        if (aligned) {
            ssize_t n;
            do {
                n = pread((int)fd, buffer, (size_t)blocks, (off_t)offset);
            } while (n < 0 && errno == EINTR);
            if (n >= 0 || errno != EINVAL)
                return n > count ? count : (int)n;
        }
        // A buffer under one block, an unaligned piece, or blocks too small for the device.
        stopDirectReads(st, fd);
    }
    return osReadFileContentIntoBuffer(fd, buffer, offset, fileSize, count);
}

// Fills one buffer. Returns the bytes placed (0 at a premature end) or -1 with errno set.
// Without wrap at most the rest of the file is read; with wrap reading goes on from the
// start of the file until the buffer is full.
long long fillBuffer(FileReaderState* st, unsigned long long fd, long long fileSize, long long* offset,
                     unsigned char* buffer, int capacity)
{
    long long filled = 0;
    while (filled < capacity) {
        long long remaining = fileSize - *offset;
        if (remaining <= 0) {
            if (!st->wrap || fileSize <= 0)
                break;
            *offset = 0;
            remaining = fileSize;
        }
        long long want = capacity - filled;
        if (want > remaining)
            want = remaining;
        int n = readAt(st, fd, buffer + filled, capacity - (int)filled, *offset, fileSize, (int)want);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        filled += n;
        *offset += n;
        if (!st->wrap)
            break;  // one read per buffer; a short read is completed with the next buffer
    }
    return filled;
}

// Serves one message from the supplying queue.
void serveMessage(FileReaderState* st, unsigned long long fd, long long fileSize, long long* offset, AppMsg& msg,
                  unsigned int priority)
{
    switch (msg.type) {
    case APP_MSG_EXIT:
        fileLog("File Reader: Got exit message Prority %d\n", (int)priority);
        st->exitFlag = true;
        break;
    case APP_MSG_FILE_BUFFER: {
        if (!msg.buffer || msg.capacity <= 0) {
            fileLog("File Reader threadFunct unknown msg\n");
            break;
        }
        long long before = *offset;
        bool tail = before + msg.capacity > fileSize;
        if (!st->wrap && before >= fileSize) {
            // The file ended exactly with the last buffer (or is empty): nothing is left to
            // read, and the read of that nothing is refused.
            osReadFileContentIntoBuffer(fd, msg.buffer, before, fileSize, (int)(fileSize - before));
            fileLog("File Reader: Issues at the end of file\n");
            msg.length = 0;
            if (sendWorkerMsg(st->receiveQueue, &msg, priority) != 0)
                st->exitFlag = true;
            else
                sendEndOfFile(st, priority, 0);
            break;
        }
        long long got = fillBuffer(st, fd, fileSize, offset, msg.buffer, msg.capacity);
        int err = errno;
        msg.length = got > 0 ? got : 0;
        if (got < 0) {
            fileLog("File Reader: Error reading file content\n");
            sendWorkerMsg(st->receiveQueue, &msg, priority);
            sendEndOfFile(st, priority, err ? err : EIO);
        } else if (got == 0) {
            // The file ended before its size said (it shrank): never read this offset again.
            fileLog(tail ? "File Reader: Issues at the end of file\n" : "File Reader: Error reading file content\n");
            sendWorkerMsg(st->receiveQueue, &msg, priority);
            sendEndOfFile(st, priority, 0);
        } else if (sendWorkerMsg(st->receiveQueue, &msg, priority) != 0) {
            st->exitFlag = true;
        } else if (!st->wrap && tail && *offset >= fileSize) {
            sendEndOfFile(st, priority, 0);
        }
        break;
    }
    default:
        // The source owns every buffer and frees it; here it is only dropped.
        fileLog("File Reader threadFunct unknown msg\n");
        break;
    }
}

void* threadFunct(void* argument)
{
    FileReaderState* st = (FileReaderState*)argument;
    st->exitFlag = false;
    unsigned long long fd = (unsigned long long)-1;
    bool fileOpen = false;
    long long fileSize = 0;
    long long offset = 0;

    // Pause mode: SIGUSR2 pauses and resumes this thread, which starts paused and tells the
    // parent process with SIGUSR1 each time it stops serving.
    sigset_t pauseSignal;
    emptySignalSet(&pauseSignal);
    addSignalToSet(&pauseSignal, SIGUSR2);
    int parent = 0;
    if (st->pause) {
        // Paused before the handler is there, and the signal let in only once it is: a
        // SIGUSR2 that came early toggles the flag instead of killing the process or being
        // overwritten by the start.
        m_IsPaused.store(1);
        if (addSignalHandler(SIGUSR2, handlerSIGUSR2) != 0) {
            int err = errno;
            fileLog("File Reader: failed to setup SIGUSR2 handler\n");
            sendEndOfFile(st, APP_MSG_PRIORITY, err ? err : EINVAL);
        } else {
            setUnblockedThreadSignals(&pauseSignal, nullptr);
        }
        parent = getParentProcessId();
    }

    int maxPriority = getPolicyMinMaxPriority(SCHED_POLICY_FIFO, true);
    if (setSchedulerPriority(0, SCHED_POLICY_FIFO, maxPriority - 1) != 0)
        fileLog("FAILED to Set Priority\n");

    if (!st->exitFlag) {
        int openResult = 1;
        if (st->direct)
            fileLog("File Reader: Opening %s for direct read access\n", st->fileName);
        else
            fileLog("File Reader: Opening %s for read access\n", st->fileName);
        // A FIFO would block the open, and has no size: only a regular file is read.
        OsFileInfo info;
        if (osGetFileInfo(st->fileName, &info) != 0) {
            if (errno == 0)
                errno = ENOENT;
        } else if (!info.regular) {
            errno = ESPIPE;
        } else {
            openResult = st->direct ? osOpenFileDirectRead(st->fileName, &fd) : osOpenFile(st->fileName, &fd, 0);
        }
        if (openResult != 0) {
            int err = errno ? errno : ENOENT;
            fileLog("Couldn't open source file %s\n", st->fileName);
            // No data will come: say so, or the consumer waits for ever.
            sendEndOfFile(st, APP_MSG_PRIORITY, err);
        } else {
            fileOpen = true;
            fileSize = osGetFileSize(fd);
            if (fileSize < 0) {
                fileLog("Couldn't open source file %s\n", st->fileName);
                sendEndOfFile(st, APP_MSG_PRIORITY, ESPIPE);
            }
        }
    }

    if (lockProcessPagesInRam(1) != 0)
        fileLog("Failed to Lock Process Pages in RAM\n");

    if (st->pause) {
        fileLog("File Reader: Getting into thread mainloop m_IsPaused = %d\n", m_IsPaused.load());
    }

    WorkerInbox inbox(st->supplyQueue);
    bool stopping = false;  // an exit message came while paused: it ends the pause
    while (!st->exitFlag) {
        if (st->pause) {
            int err = 0;
            if (inbox.holdWhilePaused(&m_IsPaused, &pauseSignal, "File Reader", &stopping, &err) < 0) {
                fileLog("File Reader failed to receive message from the queue\n");
                sendEndOfFile(st, APP_MSG_PRIORITY, err);
            }
            if (!st->exitFlag)
                fileLog("File Reader: threadFunc proc %d waking up m_IsPaused = %d\n", getProcessId(),
                        m_IsPaused.load());
        }

        while (!st->exitFlag && (!st->pause || stopping || m_IsPaused.load() != 1)) {
            AppMsg msg;
            unsigned int priority;
            int err = 0;
            int got = inbox.next(&msg, &priority, &err);
            if (got != 1) {
                fileLog("File Reader failed to receive message from the queue\n");
                if (got == 0)
                    continue;
                // The supplying queue is unusable: end, telling the consumer.
                sendEndOfFile(st, priority, err);
                break;
            }
            if (st->pause && !stopping && m_IsPaused.load() == 1) {
                // Paused while it waited: it is served after the pause.
                inbox.holdFirst(msg, priority);
                break;
            }
            serveMessage(st, fd, fileSize, &offset, msg, priority);
        }

        if (st->pause) {
            fileLog("File Reader: threadFunc proc %d sending SIGUSR1 to parent %d\n", getProcessId(), parent);
            sendSignalToProcess(parent, SIGUSR1);
        }
    }

    fileLog("File Reader Total Bytes Read %lld\n", offset);
    leaveWorkerScheduling();
    if (fileOpen)
        osCloseFile(fd);
    if (closeMsgQueue(st->receiveQueue) != 0)
        fileLog("1.File reader error closing %s\n", st->receiveQueueName);
    if (closeMsgQueue(st->supplyQueue) != 0)
        fileLog("2.File reader error closing %s\n", st->supplyQueueName);
    free(st);
    fileLog("Exiting File Reader Thread ...\n");
    return nullptr;
}

}  // namespace

bool copyWorkerName(char* out, size_t outSize, uint64_t value)
{
    const char* text = (const char*)(uintptr_t)value;
    if (!text)
        return false;
    size_t n = strnlen(text, outSize);
    if (n >= outSize)
        return false;
    memcpy(out, text, n);
    out[n] = 0;
    return true;
}

int sendWorkerMsg(int queue, const AppMsg* msg, unsigned int priority)
{
    announceBufferSent(msg->buffer);
    for (;;) {
        if (sendPriorityMsg(queue, msg, sizeof(*msg), priority) == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int receiveWorkerMsg(int queue, AppMsg* msg, unsigned int* priority, int* err)
{
    int length = 0;
    *priority = APP_MSG_PRIORITY;
    memset(msg, 0, sizeof(*msg));
    int n = receivePriorityMsg(queue, msg, sizeof(*msg), &length, priority);
    if (n >= 1 && length == (int)sizeof(AppMsg)) {
        announceBufferReceived(msg->buffer);
        return 1;
    }
    *err = errno;
    if (n < 1 && *err == EINTR)
        return 0;
    if (*err == 0)
        *err = EIO;
    return -1;
}

bool connectWorkerQueues(const char* inName, int* in, const char* outName, int* out, const char* logPrefix)
{
    *in = connectToMsgQueue(inName, 0);
    if (*in < 0) {
        if (logPrefix)
            fileLog("%sfailed to connect to %s Queue\n", logPrefix, inName);
        return false;
    }
    *out = connectToMsgQueue(outName, 1);
    if (*out < 0) {
        if (logPrefix)
            fileLog("%sfailed to connect to %s Queue\n", logPrefix, outName);
        closeMsgQueue(*in);
        *in = -1;
        return false;
    }
    return true;
}

void leaveWorkerScheduling()
{
    if (unlockProcessPages() != 0)
        fileLog("FAILED to Unlock Process Pages\n");
    if (setSchedulerPriority(0, SCHED_POLICY_OTHER, 0) != 0)
        fileLog("FAILED to Set Priority\n");
}

int fileReaderThreadStart(pthread_t* threadId, ThreadArg* args, int count)
{
    if (!args || !threadId)
        return 2;
    FileReaderState* st = (FileReaderState*)calloc(1, sizeof(FileReaderState));
    if (!st)
        return 2;
    *threadId = 0;
    st->supplyQueue = -1;
    st->receiveQueue = -1;

    for (int i = 0; i < count; ++i) {
        bool ok = true;
        switch (args[i].type) {
        case FILE_READER_ARG_FILE_NAME:
            ok = copyWorkerName(st->fileName, sizeof(st->fileName), args[i].value);
            if (ok)
                fileLog("File Reader src file %s\n", st->fileName);
            break;
        case FILE_READER_ARG_OPTION:
            st->option = (int)args[i].value;
            break;
        case FILE_READER_ARG_EMPTY_QUEUE:
            ok = copyWorkerName(st->supplyQueueName, sizeof(st->supplyQueueName), args[i].value);
            break;
        case FILE_READER_ARG_FULL_QUEUE:
            ok = copyWorkerName(st->receiveQueueName, sizeof(st->receiveQueueName), args[i].value);
            break;
        case FILE_READER_ARG_WRAP:
            st->wrap = (args[i].value & 0xFF) != 0;
            break;
        case FILE_READER_ARG_PAUSE:
            st->pause = (args[i].value & 0xFF) != 0;
            st->direct = st->pause;
            break;
        default:
            fileLog("FileReader: Unknown argument type %d\n", (int)args[i].type);
            break;
        }
        if (!ok) {
            // A cut name would name another file or queue.
            fileLog("FileReader: argument %d missing or too long\n", (int)args[i].type);
            free(st);
            return 5;
        }
    }

    // Connected here so that a reader that could never report anything is a failed start.
    if (!connectWorkerQueues(st->supplyQueueName, &st->supplyQueue, st->receiveQueueName, &st->receiveQueue,
                             "File Reader ")) {
        free(st);
        return 3;
    }

    pthread_t tid;
    if (createPosixThread(&tid, threadFunct, st) != 0) {
        closeMsgQueue(st->receiveQueue);
        closeMsgQueue(st->supplyQueue);
        free(st);
        return 1;
    }
    *threadId = tid;
    return 0;
}

long long getFileSizeOfFileName(const char* name)
{
    OsFileInfo info;
    if (osGetFileInfo(name, &info) != 0)
        return 0;
    if (!info.regular)
        return -1;
    unsigned long long fd;
    if (osOpenFile(name, &fd, 0) != 0)
        return 0;
    long long size = osGetFileSize(fd);
    osCloseFile(fd);
    return size;
}
