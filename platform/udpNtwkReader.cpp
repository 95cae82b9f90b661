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
#include <ctime>
#include <netinet/in.h>
#include <sys/socket.h>

namespace {

// Datagrams asked for in one receive; each gets a slot that holds the largest datagram.
const int BATCH = 16;
const int SLOT = 65536;
static_assert(SLOT >= UDP_MAX_DATAGRAM, "a slot holds any datagram whole");
// A buffer that has data goes to the decoder after this long, once the decoder waits for
// it: long enough to carry many datagrams per hand-over, short enough to keep it busy.
const long long HOLD_NS = 10 * 1000000LL;
// Between receives the reader sleeps while about half a batch arrives, at least this long.
const long long MIN_NAP_NS = 200 * 1000LL;
const size_t STAMP_SPACE = CMSG_SPACE(sizeof(struct timespec));

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
    long long received;
    long long cut;
    long long lastArrivalNs;  // monotonic; -1 before the first datagram
    unsigned long long gaps;  // for the log only
    struct mmsghdr msgs[BATCH];
    struct iovec iov[BATCH];
    struct sockaddr_in from;
    alignas(struct cmsghdr) unsigned char stamps[BATCH][STAMP_SPACE];
};

long long nowNs(clockid_t clock)
{
    struct timespec ts;
    clock_gettime(clock, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// When the datagram arrived, on the monotonic clock: its stamp is wall-clock time, which
// may be set while the run goes on, so it is taken as an age at the moment of reading.
long long arrivalNs(const struct msghdr& hdr, long long monoNow, long long realNow)
{
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&hdr); c; c = CMSG_NXTHDR(const_cast<struct msghdr*>(&hdr), c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        struct timespec ts;
        memcpy(&ts, CMSG_DATA(c), sizeof(ts));
        long long age = realNow - ((long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
        return age > 0 ? monoNow - age : monoNow;
    }
    return monoNow;
}

// Files the datagrams one receive brought: moves each down behind the previous one and
// records it. Returns the bytes stored.
int storeBatch(UdpReaderState* st, int n, unsigned char* at, int slotSize, UdpDatagramTable* table)
{
    const long long monoNow = nowNs(CLOCK_MONOTONIC);
    const long long realNow = nowNs(CLOCK_REALTIME);
    int stored = 0;
    for (int i = 0; i < n; ++i) {
        const struct mmsghdr& m = st->msgs[i];
        const uint32_t whole = m.msg_len;
        const uint32_t kept = whole < (uint32_t)slotSize ? whole : (uint32_t)slotSize;
        if (whole == 0)
            continue;  // no data, so no end of a silence either
        UdpDatagramRecord& r = table->records[table->count++];
        r.length = kept;
        r.lostBytes = whole - kept;
        r.gapMs = 0;
        if ((unsigned char*)st->iov[i].iov_base != at + stored)
            memmove(at + stored, st->iov[i].iov_base, kept);
        stored += (int)kept;
        st->received += kept;
        if (r.lostBytes > 0) {
            ++st->cut;
            fileLogCapped((unsigned long long)st->cut, "UDP Reader: further cut datagrams are not logged\n",
                          "UDP Reader: datagram longer than the %d-byte buffer was cut\n", slotSize);
        }
        const long long arrived = arrivalNs(m.msg_hdr, monoNow, realNow);
        if (st->lastArrivalNs >= 0 && arrived - st->lastArrivalNs > (long long)UDP_GAP_MS * 1000000LL) {
            long long ms = (arrived - st->lastArrivalNs) / 1000000LL;
            r.gapMs = ms > (long long)UINT32_MAX ? UINT32_MAX : (uint32_t)ms;
            fileLogCapped(++st->gaps, "UDP Reader: further gaps are not logged\n",
                          "UDP Reader: %u ms without data\n", r.gapMs);
        }
        if (arrived > st->lastArrivalNs)
            st->lastArrivalNs = arrived;
    }
    st->streamAddress = st->from.sin_addr.s_addr;
    st->port = st->from.sin_port;
    return stored;
}

// True when no filled buffer waits for the decoder. While some do, the buffer in hand is
// filled on: the buffers then carry more each, and the decoder, held up for a moment, has
// the whole of them to catch up with before the reader must wait for one.
bool decoderWaits(UdpReaderState* st)
{
    QueueAttr attr;
    return getQueueAttr(st->receiveQueue, &attr) != 0 || attr.curMsgs == 0;
}

// Fills one buffer. The first receive waits up to the socket's time-out; then the datagrams
// that follow are gathered for HOLD_NS (or longer while the decoder has buffers in hand),
// while room for a whole slot is left. Returns the bytes stored, or -1 when nothing came.
long long fillBuffer(UdpReaderState* st, unsigned char* buffer, int capacity)
{
    UdpDatagramTable* table = udpDatagramTable(buffer, capacity);
    if (!table)
        return -1;
    table->count = 0;
    const int dataCapacity = udpDataCapacity(capacity);
    int used = 0;
    long long firstNs = -1;
    for (;;) {
        const int room = dataCapacity - used;
        int slots = room / SLOT;
        int slotSize = SLOT;
        if (slots == 0 && used == 0) {
            // A buffer smaller than a slot takes one datagram, cut if it must be.
            slots = 1;
            slotSize = room;
        }
        int vlen = slots < BATCH ? slots : BATCH;
        if (vlen > UDP_MAX_DATAGRAMS - (int)table->count)
            vlen = UDP_MAX_DATAGRAMS - (int)table->count;
        if (vlen <= 0 || slotSize <= 0)
            break;
        for (int i = 0; i < vlen; ++i) {
            st->iov[i].iov_base = buffer + used + (size_t)i * (size_t)slotSize;
            st->iov[i].iov_len = (size_t)slotSize;
            struct msghdr& h = st->msgs[i].msg_hdr;
            memset(&h, 0, sizeof(h));
            h.msg_name = &st->from;
            h.msg_namelen = sizeof(st->from);
            h.msg_iov = &st->iov[i];
            h.msg_iovlen = 1;
            h.msg_control = st->stamps[i];
            h.msg_controllen = STAMP_SPACE;
            st->msgs[i].msg_len = 0;
        }
        const int flags = firstNs < 0 ? MSG_WAITFORONE : MSG_DONTWAIT;
        const int n = recvManyFromUdpSocket(&st->socket, st->msgs, vlen, flags);
        if (n > 0) {
            used += storeBatch(st, n, buffer + used, slotSize, table);
            if (firstNs < 0)
                firstNs = nowNs(CLOCK_MONOTONIC);
            if (n == vlen)
                continue;  // more may be waiting
        } else if (firstNs < 0) {
            return -1;  // nothing within the time-out (logged)
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            break;
        }
        const long long held = nowNs(CLOCK_MONOTONIC) - firstNs;
        if (held >= HOLD_NS && decoderWaits(st))
            break;
        long long nap = table->count > 0 ? held * (BATCH / 2) / (long long)table->count : MIN_NAP_NS;
        if (nap < MIN_NAP_NS)
            nap = MIN_NAP_NS;
        if (held < HOLD_NS && nap > HOLD_NS - held)
            nap = HOLD_NS - held;
        if (nap > HOLD_NS)
            nap = HOLD_NS;
        struct timespec ts = {(time_t)(nap / 1000000000LL), (long)(nap % 1000000000LL)};
        nanosleep(&ts, nullptr);
    }
    return used;
}

void* threadFunct(void* argument)
{
    UdpReaderState* st = (UdpReaderState*)argument;

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
        case APP_MSG_NTWK_BUFFER:
            if (!msg.buffer || !udpDatagramTable(msg.buffer, msg.capacity)) {
                fileLog("UDP Reader threadFunct unknown msg\n");
                break;
            }
            msg.length = fillBuffer(st, msg.buffer, msg.capacity);
            if (sendWorkerMsg(st->receiveQueue, &msg, priority) != 0)
                st->exitFlag = true;
            break;
        default:
            // The source owns every buffer and frees it; here it is only dropped.
            fileLog("UDP Reader threadFunct unknown msg\n");
            break;
        }
    }

    fileLog("UDP Reader Total Bytes Received %lld, %lld datagrams cut\n", st->received, st->cut);
    closeUdpSocket(&st->socket);
    leaveWorkerScheduling();
    closeMsgQueue(st->receiveQueue);
    closeMsgQueue(st->supplyQueue);
    free(st);
    fileLog("Exiting UDP Reader Thread ...\n");
    return nullptr;
}

// Asks for the receive buffer and says in the log what was granted, with a warning when the
// system's limit left it far below the size asked. Without a size the system's default stays.
bool setUpRecvBuffer(UdpReaderState* st)
{
    if (st->recvBufferSize <= 0)
        return true;
    if (setSocketRecvBuff(&st->socket, st->recvBufferSize) != 0)
        return false;
    int granted = 0;
    getSocketRecvBuff(&st->socket, &granted);
    fileLog("UDP Reader: socket receive buffer %d bytes asked, %d granted\n", st->recvBufferSize, granted);
    // Linux grants twice the size asked when nothing limits it.
    if (granted < st->recvBufferSize)
        fileLog("UDP Reader: WARNING: the socket receive buffer is %d bytes, far below the %d asked "
                "(net.core.rmem_max); datagrams may be lost at high rates\n",
                granted, st->recvBufferSize);
    return true;
}

}  // namespace

UdpDatagramTable* udpDatagramTable(unsigned char* buffer, int capacity)
{
    if (!buffer || udpDataCapacity(capacity) < 1)
        return nullptr;
    return (UdpDatagramTable*)(buffer + udpDataCapacity(capacity));
}

int udpDataCapacity(int capacity)
{
    // The table sits on an 8-byte boundary behind the data.
    return ((capacity - UDP_TABLE_BYTES) / 8) * 8;
}

int udpNtwkReaderThreadStart(pthread_t* threadId, ThreadArg* args, int count)
{
    if (!args || !threadId)
        return 2;
    UdpReaderState* st = (UdpReaderState*)calloc(1, sizeof(UdpReaderState));
    if (!st)
        return 2;
    *threadId = 0;
    st->socket.sock = -1;
    st->lastArrivalNs = -1;
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

    bool ok = createUdpSocket(&st->socket) == 0 && setSocketRecvTimeout(&st->socket, 1) == 0 &&
              setUpRecvBuffer(st);
    if (ok) {
        // Without arrival times a gap is measured from when the reader saw the data.
        if (setSocketArrivalTimes(&st->socket) != 0)
            fileLog("UDP Reader: no arrival times, gaps are timed by the reader\n");
    }
    if (!ok || bindUdpSocket(&st->socket, st->streamAddress, st->port) != 0 ||
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
