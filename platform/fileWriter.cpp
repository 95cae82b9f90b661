#include "platform/fileWriter.h"
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

namespace {

struct FileWriterState {
    int option;
    int writeQueue;   // buffers to write come from here
    int returnQueue;  // written buffers go back here
    pthread_t threadId;
    char returnQueueName[WORKER_MAX_QUEUE_NAME + 1];
    char fileName[FILE_READER_MAX_NAME + 1];
    char writeQueueName[WORKER_MAX_QUEUE_NAME + 1];
    bool direct;  // direct writes (dropped for a tail that is not whole blocks)
    bool exitFlag;
    unsigned long long fd;
    bool pause;   // pause mode, which comes with direct writes
};

// Direct writes need counts on this boundary; a shorter tail is written without it.
const int DIRECT_ALIGN = 512;

// 1 while paused; SIGUSR2 toggles it.
WorkerPauseFlag m_IsPaused(0);

void handlerSIGUSR2(int)
{
    m_IsPaused.fetch_xor(1);
}

// Writes the whole count; 0, or 2 when the write failed (logged).
int writeAll(FileWriterState* st, const unsigned char* data, int count)
{
    if (st->direct && count % DIRECT_ALIGN != 0) {
        int flags = fcntl((int)st->fd, F_GETFL);
        if (flags != -1 && (flags & O_DIRECT)) {
            fcntl((int)st->fd, F_SETFL, flags & ~O_DIRECT);
            st->direct = false;
        }
    }
    return osWriteDataToFile(st->fd, data, count);
}

void* threadFunct(void* argument)
{
    FileWriterState* st = (FileWriterState*)argument;
    st->exitFlag = false;
    long long written = 0;
    long long failedWrites = 0;
    unsigned long long receives = 0;  // for the log only

    // Pause mode: SIGUSR2 pauses and resumes this thread, which starts paused and tells the
    // parent process with SIGUSR1 each time it stops serving.
    sigset_t pauseSignal;
    emptySignalSet(&pauseSignal);
    addSignalToSet(&pauseSignal, SIGUSR2);
    if (st->pause) {
        // As in the reader: paused first, the signal let in once its handler is there.
        m_IsPaused.store(1);
        if (addSignalHandler(SIGUSR2, handlerSIGUSR2) != 0) {
            fileLog("File Writer: failed to setup SIGUSR2 handler\n");
            st->exitFlag = true;
        } else {
            setUnblockedThreadSignals(&pauseSignal, nullptr);
        }
    }

    int maxPriority = getPolicyMinMaxPriority(SCHED_POLICY_FIFO, true);
    if (setSchedulerPriority(0, SCHED_POLICY_FIFO, maxPriority - 1) != 0)
        fileLog("File Writer: FAILED to Set Priority\n");
    if (lockProcessPagesInRam(1) != 0)
        fileLog("File Writer: Failed to Lock Process Pages in RAM\n");

    int parent = 0;
    if (st->pause && !st->exitFlag) {
        parent = getParentProcessId();
        fileLog("File Writer: Getting into thread mainloop m_IsPaused = %d\n", m_IsPaused.load());
    }

    WorkerInbox inbox(st->writeQueue);
    bool stopping = false;  // an exit message came while paused: what came before it is written
    while (!st->exitFlag) {
        if (st->pause) {
            int err = 0;
            if (inbox.holdWhilePaused(&m_IsPaused, &pauseSignal, "File Writer", &stopping, &err) < 0) {
                fileLog("File Writer: failed to receive message from the queue trying again\n");
                st->exitFlag = true;
            }
            if (!st->exitFlag)
                fileLog("File Writer: threadFunc proc %d waking up m_IsPaused = %d\n", getProcessId(),
                        m_IsPaused.load());
        }

        while (!st->exitFlag && (!st->pause || stopping || m_IsPaused.load() != 1)) {
            // Once a buffer, for as long as a live copy runs.
            fileLogCapped(++receives, "File Writer: further receives are not logged\n",
                          "File Writer: getting into receivePriorityMsg m_IsPaused = %d\n",
                          st->pause ? m_IsPaused.load() : 0);
            AppMsg msg;
            unsigned int priority;
            int err = 0;
            int got = inbox.next(&msg, &priority, &err);
            if (got != 1) {
                fileLog("File Writer: failed to receive message from the queue trying again\n");
                if (got == 0)
                    continue;
                st->exitFlag = true;
                break;
            }
            if (st->pause && !stopping && m_IsPaused.load() == 1) {
                // Paused while it waited: it is written after the pause.
                inbox.holdFirst(msg, priority);
                break;
            }
            switch (msg.type) {
            case APP_MSG_EXIT:
                fileLog("File Writer: Got exit message Prority %d\n", (int)priority);
                st->exitFlag = true;
                break;
            case APP_MSG_NTWK_BUFFER:
                if (msg.buffer && msg.length > 0) {
                    int count = msg.length > msg.capacity ? msg.capacity : (int)msg.length;
                    if (writeAll(st, msg.buffer, count) == 0)
                        written += count;
                    else
                        ++failedWrites;
                }
                msg.length = 0;
                if (sendWorkerMsg(st->returnQueue, &msg, priority) != 0)
                    fileLog("File Writer: failed to return a buffer\n");
                break;
            default:
                // The source owns every buffer and frees it; here it is only dropped.
                fileLog("File Writer threadFunct unknown msg\n");
                break;
            }
        }

        if (st->pause) {
            fileLog("File Writer: threadFunc proc %d sending SIGUSR1 to parent %d\n", getProcessId(), parent);
            sendSignalToProcess(parent, SIGUSR1);
        }
    }

    fileLog("File Writer Total Bytes Written %lld\n", written);
    if (failedWrites > 0)
        fileLog("File Writer: %lld writes failed, the copy %s is incomplete\n", failedWrites, st->fileName);
    leaveWorkerScheduling();
    osCloseFile(st->fd);
    if (closeMsgQueue(st->returnQueue) != 0)
        fileLog("1.File Writer error closing %s\n", st->returnQueueName);
    if (closeMsgQueue(st->writeQueue) != 0)
        fileLog("2.File Writer error closing %s\n", st->writeQueueName);
    free(st);
    fileLog("Exiting File Writer Thread ...\n");
    return nullptr;
}

}  // namespace

int fileWriterThreadStart(pthread_t* threadId, ThreadArg* args, int count)
{
    if (!args || !threadId)
        return 2;
    FileWriterState* st = (FileWriterState*)calloc(1, sizeof(FileWriterState));
    if (!st)
        return 2;
    *threadId = 0;

    for (int i = 0; i < count; ++i) {
        bool ok = true;
        switch (args[i].type) {
        case FILE_WRITER_ARG_FILE_NAME:
            ok = copyWorkerName(st->fileName, sizeof(st->fileName), args[i].value);
            if (ok)
                fileLog("File Writer: dst file %s\n", st->fileName);
            break;
        case FILE_WRITER_ARG_OPTION:
            st->option = (int)args[i].value;
            break;
        case FILE_WRITER_ARG_FULL_QUEUE:
            ok = copyWorkerName(st->writeQueueName, sizeof(st->writeQueueName), args[i].value);
            break;
        case FILE_WRITER_ARG_EMPTY_QUEUE:
            ok = copyWorkerName(st->returnQueueName, sizeof(st->returnQueueName), args[i].value);
            break;
        case FILE_WRITER_ARG_PAUSE:
            st->pause = (args[i].value & 0xFF) != 0;
            st->direct = st->pause;
            break;
        default:
            fileLog("FileWriter: Unknown argument type %d\n", (int)args[i].type);
            break;
        }
        if (!ok) {
            fileLog("FileWriter: argument %d missing or too long\n", (int)args[i].type);
            free(st);
            return 5;
        }
    }

    // Queues and file are taken here, on the caller's thread, so that a writer that could
    // not run is a failed start rather than a thread that the source waits on for ever.
    if (!connectWorkerQueues(st->writeQueueName, &st->writeQueue, st->returnQueueName, &st->returnQueue,
                             "File Writer: ")) {
        free(st);
        return 3;
    }

    int opened;
    if (st->direct) {
        fileLog("File Writer: Opening %s for direct write access\n", st->fileName);
        opened = osOpenFileDirectWrite(st->fileName, &st->fd);
    } else {
        fileLog("File Writer: Opening %s for write access\n", st->fileName);
        opened = osOpenFileWrite(st->fileName, &st->fd);
    }
    if (opened != 0) {
        int err = errno;
        fileLog("File Writer: Couldn't open destination file %s\n", st->fileName);
        closeMsgQueue(st->returnQueue);
        closeMsgQueue(st->writeQueue);
        free(st);
        errno = err;
        return 5;
    }
    fileLog("File Writer: File  %s opened successfully\n", st->fileName);

    pthread_t tid;
    if (createPosixThread(&tid, threadFunct, st) != 0) {
        osCloseFile(st->fd);
        closeMsgQueue(st->returnQueue);
        closeMsgQueue(st->writeQueue);
        free(st);
        return 1;
    }
    fileLog("FileWriter: thread has started\n");
    *threadId = tid;
    return 0;
}
