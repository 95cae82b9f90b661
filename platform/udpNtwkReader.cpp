#include "platform/udpNtwkReader.h"
#include "platform/debugMap.h"
#include "platform/pagingLock.h"
#include "platform/posixMsgQueues.h"
#include "platform/posixThreads.h"
#include "platform/schedulerCtrl.h"
#include "platform/udpSockets.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

struct UdpReaderState {
    UdpSocket socket;
    int recvBufferSize;
    uint32_t streamAddress;     // host order until bound; then the last sender's (network order)
    uint32_t interfaceAddress;
    uint16_t port;
    int supplyQueue;
    int receiveQueue;
    pthread_t threadId;
    char receiveQueueName[WORKER_MAX_QUEUE_NAME + 1];
    char supplyQueueName[WORKER_MAX_QUEUE_NAME + 1];
    bool exitFlag;
};



void* threadFunct(void* argument)
{
    UdpReaderState* st = (UdpReaderState*)argument;
    long long received = 0;
    long long cut = 0;

    int maxPriority = getPolicyMinMaxPriority(SCHED_POLICY_FIFO, true);
    if (setSchedulerPriority(0, SCHED_POLICY_FIFO, maxPriority - 1) != 0)
        fileLog("FAILED to Set Priority\n");
    if (lockProcessPagesInRam(1) != 0)
        fileLog("Failed to Lock Process Pages in RAM\n");

    while (!st->exitFlag) {
        AppMsg msg;
        unsigned int priority;
        int err = 0;
        int got = receiveWorkerMsg(st->supplyQueue, &msg, &priority, &err);
        if (got == 0)
            continue;
        if (got < 0) {
            fileLog("UDP Reader failed to receive message from the queue\n");
            // Without the supplying queue nothing more can be delivered; tell the source.
            AppMsg eof;
            memset(&eof, 0, sizeof(eof));
            eof.type = APP_MSG_END_OF_FILE;
            eof.length = -(int64_t)err;
            sendWorkerMsg(st->receiveQueue, &eof, priority);
            break;
        }
        switch (msg.type) {
        case APP_MSG_EXIT:
            st->exitFlag = true;
            break;
        case APP_MSG_NTWK_BUFFER: {
            if (!msg.buffer || msg.capacity <= 0) {
                fileLog("UDP Reader threadFunct unknown msg\n");
                break;
            }
            msg.length = 0;
            int count = -1;
            bool truncated = false;
            uint32_t from = 0;
            uint16_t fromPort = 0;
            if (recvFromUdpSocket(&st->socket, &from, &fromPort, msg.buffer, msg.capacity, &count, &truncated) == 0) {
                st->streamAddress = from;
                st->port = fromPort;
                msg.length = count;
                received += count;
                if (truncated) {
                    ++cut;
                    fileLog("UDP Reader: datagram longer than the %d-byte buffer was cut\n", msg.capacity);
                }
            } else {
                msg.length = -1;
            }
            if (sendWorkerMsg(st->receiveQueue, &msg, priority) != 0)
                st->exitFlag = true;
            break;
        }
        default:
            // The source owns every buffer and frees it; here it is only dropped.
            fileLog("UDP Reader threadFunct unknown msg\n");
            break;
        }
    }

    fileLog("UDP Reader Total Bytes Received %lld, %lld datagrams cut\n", received, cut);
    closeUdpSocket(&st->socket);
    leaveWorkerScheduling();
    closeMsgQueue(st->receiveQueue);
    closeMsgQueue(st->supplyQueue);
    free(st);
    fileLog("Exiting UDP Reader Thread ...\n");
    return nullptr;
}

}  // namespace

int udpNtwkReaderThreadStart(pthread_t* threadId, ThreadArg* args, int count)
{
    if (!args || !threadId)
        return 2;
    UdpReaderState* st = (UdpReaderState*)calloc(1, sizeof(UdpReaderState));
    if (!st)
        return 2;
    *threadId = 0;
    st->socket.sock = -1;
    st->supplyQueue = -1;
    st->receiveQueue = -1;

    for (int i = 0; i < count; ++i) {
        bool ok = true;
        switch (args[i].type) {
        case UDP_READER_ARG_ADDRESS:
            st->streamAddress = (uint32_t)args[i].value;
            break;
        case UDP_READER_ARG_PORT:
            st->port = (uint16_t)args[i].value;
            break;
        case UDP_READER_ARG_INTERFACE:
            st->interfaceAddress = (uint32_t)args[i].value;
            break;
        case UDP_READER_ARG_EMPTY_QUEUE:
            ok = copyWorkerName(st->supplyQueueName, sizeof(st->supplyQueueName), args[i].value);
            break;
        case UDP_READER_ARG_FULL_QUEUE:
            ok = copyWorkerName(st->receiveQueueName, sizeof(st->receiveQueueName), args[i].value);
            break;
        case UDP_READER_ARG_RECV_BUFF:
            st->recvBufferSize = (int)args[i].value;
            break;
        default:
            break;
        }
        if (!ok) {
            fileLog("UDP Reader: argument %d missing or too long\n", (int)args[i].type);
            free(st);
            return 2;
        }
    }

    if (createUdpSocket(&st->socket) != 0 || setSocketRecvTimeout(&st->socket, 1) != 0 ||
        setSocketRecvBuff(&st->socket, st->recvBufferSize) != 0 ||
        bindUdpSocket(&st->socket, st->streamAddress, st->port) != 0 ||
        joinMcastUdpSocket(&st->socket, st->interfaceAddress, st->streamAddress) != 0) {
        closeUdpSocket(&st->socket);
        free(st);
        return 4;
    }

    if (!connectWorkerQueues(st->supplyQueueName, &st->supplyQueue, st->receiveQueueName, &st->receiveQueue,
                             nullptr)) {
        closeUdpSocket(&st->socket);
        free(st);
        return 3;
    }

    st->exitFlag = false;
    pthread_t tid;
    if (createPosixThread(&tid, threadFunct, st) != 0) {
        closeMsgQueue(st->receiveQueue);
        closeMsgQueue(st->supplyQueue);
        closeUdpSocket(&st->socket);
        free(st);
        return 1;
    }
    *threadId = tid;
    return 0;
}
