#include "engine/ntwkSrcAsynch.h"
#include "engine/streamDecoder.h"
#include "platform/debugMap.h"
#include "platform/fileReader.h"
#include "platform/fileWriter.h"
#include "platform/udpNtwkReader.h"
#include "platform/udpSockets.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const int NO_WRITER_BUFFER = 10;  // m_WriterMsg.type while no writer buffer is held
const int WRITER_WAIT_MS = 200;   // one wait on a writer queue before checking the writer

}  // namespace

NtwkSrcAsynch::NtwkSrcAsynch(unsigned int address, uint16_t port, unsigned int interfaceAddress,
                             std::string dumpPrefix, int numBuffers, int bufferSize, bool saveToDisk,
                             bool diskDirect)
    : StreamSrcAsynch(numBuffers, bufferSize), m_bSaveToDisk(saveToDisk), m_bDiskDirect(diskDirect),
      m_bCopyFailed(false),
      m_iNtwkNumBuffers(numBuffers), m_iNtwkBufferSize(bufferSize), m_uiInterfaceAddress(interfaceAddress),
      m_uiStreamAddress(address), m_usPort(port), m_iWriterQueue(-1), m_iWriterReturnQueue(-1),
      m_WriterThreadId(), m_bWriterStarted(false), m_bWriterEnded(false), m_uiWriterPriority(APP_MSG_PRIORITY),
      m_iFillPosition(0), m_llBytesCopied(0)
{
    memset(&m_WriterMsg, 0, sizeof(m_WriterMsg));
    m_WriterMsg.type = NO_WRITER_BUFFER;
    snprintf(m_acStreamLabel, sizeof(m_acStreamLabel), "%u_%u_%u_%u_%u", (address >> 24) & 0xFF,
             (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF, (unsigned)port);

    if (m_bSaveToDisk) {
        m_pcFileWriterFileName = dumpPrefix + m_acStreamLabel + ".mpg";
        m_pcFileWriterQueueName = std::string("/") + m_acStreamLabel + "_mpg" + m_pcFullQueueName;
        m_sFileWriterReturnQueueName = std::string("/") + m_acStreamLabel + "_mpg" + m_pcEmptyQueueName;
    }
    fileLog("NtwkSrcAsynch m_pcFileWriterQueueName %s\n", m_pcFileWriterQueueName.c_str());
    fileLog("NtwkSrcAsynch m_pcFileWriterFileName %s\n", m_pcFileWriterFileName.c_str());

    std::string prefix = std::string("/") + m_acStreamLabel;
    prefixQueueNames(prefix.c_str());
    fileLog("NtwkSrcAsynch m_pcEmptyQueueName %s\n", m_pcEmptyQueueName);
    fileLog("NtwkSrcAsynch m_pcFullQueueName %s\n", m_pcFullQueueName);
    fileLog(m_bSaveToDisk ? "NtwkSrcAsynch m_bSaveToDisk = true\n" : "NtwkSrcAsynch m_bSaveToDisk = false\n");
    fileLog(m_bDiskDirect ? "NtwkSrcAsynch m_bDiskDirect = true\n" : "NtwkSrcAsynch m_bDiskDirect = false\n");
    fileLog("NtwkSrcAsynch numbers of buffers %d\n", m_iNtwkNumBuffers);
    fileLog("NtwkSrcAsynch buffer size %d\n", m_iNtwkBufferSize);
}

NtwkSrcAsynch::~NtwkSrcAsynch()
{
    // Stop here, while this object is whole: the copy's last bytes go out first.
    if (m_iState == SRC_STATE_RUNNING)
        NtwkSrcAsynch::stopReader();
    if (m_bSaveToDisk) {
        fileLog("NtwkSrcAsynch waiting writer thread to terminate\n");
        // Also when the reader ended by itself and stopReader had nothing to stop.
        finishCopy();
        joinWorker(m_WriterThreadId, &m_bWriterStarted, -1);
        flushAndDestroyQueue(m_pcFileWriterQueueName.c_str(), &m_iWriterQueue);
        flushAndDestroyQueue(m_sFileWriterReturnQueueName.c_str(), &m_iWriterReturnQueue);
    }
}

bool NtwkSrcAsynch::init()
{
    if (!StreamSrcAsynch::init())
        return false;
    if (m_bSaveToDisk) {
        const char* writeName = m_pcFileWriterQueueName.c_str();
        const char* returnName = m_sFileWriterReturnQueueName.c_str();
        unlinkMsgQueue(writeName);
        bool ok = createQueue(writeName, &m_iWriterQueue);
        if (!ok) {
            unlinkMsgQueue(writeName);
        } else {
            unlinkMsgQueue(returnName);
            ok = createQueue(returnName, &m_iWriterReturnQueue);
            if (!ok) {
                unlinkMsgQueue(returnName);
                flushAndDestroyQueue(writeName, &m_iWriterQueue);
            }
        }
        if (!ok) {
            flushAndDestroyQueue(m_pcEmptyQueueName, &m_iEmptyQueue);
            flushAndDestroyQueue(m_pcFullQueueName, &m_iFullQueue);
            return false;
        }
    }

    // Allocates m_iNtwkNumBuffers buffers of size bytes and sends each to queue.
    auto fillQueue = [this](int queue, int size, bool direct, bool fill, const char* failure) {
        for (int i = 0; i < m_iNtwkNumBuffers; ++i) {
            unsigned char* buffer = allocateBuffer(size, direct, fill);
            if (!buffer) {
                setFailureText(failure);
                return false;
            }
            AppMsg msg;
            memset(&msg, 0, sizeof(msg));
            msg.type = APP_MSG_NTWK_BUFFER;
            msg.capacity = size;
            msg.buffer = buffer;
            announceBufferSent(buffer);
            if (sendMsg(queue, &msg, sizeof(msg)) != 0)
                return false;
        }
        return true;
    };
    // Writer buffers first: they wait in the writer's return queue until the source takes them.
    if (m_bSaveToDisk &&
        !fillQueue(m_iWriterReturnQueue, m_iNtwkBufferSize, m_bDiskDirect, true, "cannot allocate the copy buffers"))
        return false;
    // Reader buffers are not filled: the reader writes each byte before anything reads it,
    // and ten megabytes written up front would only fault every page in.
    return fillQueue(m_iEmptyQueue, READER_BUFFER_SIZE, false, false, "cannot allocate the input buffers");
}

const UdpDatagramTable* NtwkSrcAsynch::getDatagramTable() const
{
    if (!m_bHoldingBuffer || m_CurrentMsg.type != APP_MSG_NTWK_BUFFER)
        return nullptr;
    const UdpDatagramTable* table = udpDatagramTable(m_CurrentMsg.buffer, m_CurrentMsg.capacity);
    if (!table || table->count > (uint32_t)UDP_MAX_DATAGRAMS)
        return nullptr;
    long long sum = 0;
    for (uint32_t i = 0; i < table->count; ++i)
        sum += table->records[i].length;
    return sum == m_CurrentMsg.length ? table : nullptr;
}

int NtwkSrcAsynch::startNtwkReader()
{
    ThreadArg args[6];
    args[0].type = UDP_READER_ARG_ADDRESS;
    args[0].value = m_uiStreamAddress;
    args[1].type = UDP_READER_ARG_PORT;
    args[1].value = m_usPort;
    args[2].type = UDP_READER_ARG_INTERFACE;
    args[2].value = m_uiInterfaceAddress;
    args[3].type = UDP_READER_ARG_EMPTY_QUEUE;
    args[3].value = (uint64_t)(uintptr_t)m_pcEmptyQueueName;
    args[4].type = UDP_READER_ARG_FULL_QUEUE;
    args[4].value = (uint64_t)(uintptr_t)m_pcFullQueueName;
    args[5].type = UDP_READER_ARG_RECV_BUFF;
    args[5].value = SOCKET_RECV_BUFFER;
    pthread_t tid;
    int rc = udpNtwkReaderThreadStart(&tid, args, 6);
    if (rc == 0) {
        setReaderThread(tid);
        m_iState = SRC_STATE_RUNNING;
    } else {
        char address[16];
        formatIpAddress(m_uiStreamAddress, address, sizeof(address));
        const char* why = getLastSocketErrorText();
        if (rc == 4 && why && *why)
            setFailureText(why);
        else
            setFailureText(std::string("cannot start the network reader for ") + address + " port " +
                           std::to_string(m_usPort));
    }
    return rc;
}

int NtwkSrcAsynch::startFileWriter()
{
    if (!m_bSaveToDisk)
        return 2;
    ThreadArg args[5];
    args[0].type = FILE_WRITER_ARG_FILE_NAME;
    args[0].value = (uint64_t)(uintptr_t)m_pcFileWriterFileName.c_str();
    args[1].type = FILE_WRITER_ARG_OPTION;
    args[1].value = (uint64_t)m_iNtwkBufferSize;
    args[2].type = FILE_WRITER_ARG_FULL_QUEUE;
    args[2].value = (uint64_t)(uintptr_t)m_pcFileWriterQueueName.c_str();
    args[3].type = FILE_WRITER_ARG_EMPTY_QUEUE;
    args[3].value = (uint64_t)(uintptr_t)m_sFileWriterReturnQueueName.c_str();
    args[4].type = FILE_WRITER_ARG_PAUSE;  // direct writes come with pause mode
    args[4].value = m_bDiskDirect ? 1 : 0;
    pthread_t tid;
    int rc = fileWriterThreadStart(&tid, args, 5);
    if (rc == 0) {
        m_WriterThreadId = tid;
        m_bWriterStarted = true;
        m_iState = SRC_STATE_RUNNING;
    } else {
        int err = errno;
        std::string text = std::string("cannot write the stream copy ") + m_pcFileWriterFileName;
        if (rc == 5 && err)
            text += std::string(": ") + strerror(err);
        setFailureText(text);
    }
    return rc;
}

bool NtwkSrcAsynch::writerAlive()
{
    if (!m_bWriterStarted)
        return false;
    if (m_bWriterEnded)
        return false;
    if (pthread_tryjoin_np(m_WriterThreadId, nullptr) == 0) {
        m_bWriterStarted = false;
        m_bWriterEnded = true;
        return false;
    }
    return true;
}

void NtwkSrcAsynch::giveUpCopy(const char* why)
{
    if (!m_bSaveToDisk || m_bCopyFailed)
        return;
    fileLog("NtwkSrcAsynch: copy to disk stopped: %s\n", why);
    setFailureText(std::string("the stream copy ") + m_pcFileWriterFileName + " is incomplete: " + why);
    m_bCopyFailed = true;
}

bool NtwkSrcAsynch::takeWriterBuffer()
{
    for (;;) {
        AppMsg msg;
        int got = 0;
        unsigned int priority = APP_MSG_PRIORITY;
        int n = receiveTimedPriorityMsg(m_iWriterReturnQueue, &msg, sizeof(msg), &got, &priority, WRITER_WAIT_MS);
        if (n > 0) {
            if (msg.type != APP_MSG_NTWK_BUFFER || !msg.buffer || msg.capacity < 1)
                continue;
            announceBufferReceived(msg.buffer);
            m_WriterMsg = msg;
            m_uiWriterPriority = priority;
            m_iFillPosition = 0;
            return true;
        }
        if (errno != ETIMEDOUT && errno != EINTR)
            return false;
        // A slow disk is waited for; a writer that has ended (or is held paused past
        // Ctrl-C) is not.
        if (!writerAlive() || StreamDecoder::isAbortRequested())
            return false;
    }
}

bool NtwkSrcAsynch::sendWriterBuffer()
{
    m_WriterMsg.length = m_iFillPosition;
    announceBufferSent(m_WriterMsg.buffer);
    for (;;) {
        struct timespec ts = realtimeDeadlineIn(WRITER_WAIT_MS);
        if (mq_timedsend((mqd_t)m_iWriterQueue, (const char*)&m_WriterMsg, sizeof(m_WriterMsg), m_uiWriterPriority,
                         &ts) == 0)
            break;
        if (errno != ETIMEDOUT && errno != EINTR)
            return false;
        if (!writerAlive() || StreamDecoder::isAbortRequested())
            return false;
    }
    memset(&m_WriterMsg, 0, sizeof(m_WriterMsg));
    m_WriterMsg.type = NO_WRITER_BUFFER;
    m_iFillPosition = 0;
    return true;
}

bool NtwkSrcAsynch::releaseRawDataBuff()
{
    if (m_iState != SRC_STATE_RUNNING || !m_bHoldingBuffer)
        return false;
    if (m_bSaveToDisk && !m_bCopyFailed && m_CurrentMsg.length > 0) {
        const unsigned char* data = m_CurrentMsg.buffer;
        long long left = m_CurrentMsg.length;
        // However small the writer buffers are, the datagram goes in as many pieces as it takes.
        while (left > 0) {
            if (m_WriterMsg.type == NO_WRITER_BUFFER && !takeWriterBuffer()) {
                giveUpCopy("no writer buffer came back");
                break;
            }
            int room = m_WriterMsg.capacity - m_iFillPosition;
            int piece = left < room ? (int)left : room;
            memcpy(m_WriterMsg.buffer + m_iFillPosition, data, (size_t)piece);
            m_iFillPosition += piece;
            m_llBytesCopied += piece;
            data += piece;
            left -= piece;
            if (m_iFillPosition == m_WriterMsg.capacity && !sendWriterBuffer()) {
                giveUpCopy("the writer does not take buffers");
                break;
            }
        }
    }
    return StreamSrcAsynch::releaseRawDataBuff();
}

int NtwkSrcAsynch::stopReader()
{
    int rc = StreamSrcAsynch::stopReader();
    if (!m_bSaveToDisk || rc != 0)
        return rc;
    return finishCopy() < 0 ? -1 : rc;
}

int NtwkSrcAsynch::finishCopy()
{
    // The bytes gathered so far are part of the copy too.
    if (!m_bCopyFailed && m_WriterMsg.type != NO_WRITER_BUFFER && m_iFillPosition > 0) {
        if (!sendWriterBuffer())
            giveUpCopy("the writer does not take buffers");
    }
    if (!m_bWriterStarted || m_bWriterEnded)
        return 0;
    return sendWriterExit();
}

int NtwkSrcAsynch::sendWriterExit()
{
    // At the buffers' own priority, so that the writer writes everything queued before it.
    AppMsg exitMsg;
    memset(&exitMsg, 0, sizeof(exitMsg));
    exitMsg.type = APP_MSG_EXIT;
    for (;;) {
        struct timespec ts = realtimeDeadlineIn(WRITER_WAIT_MS);
        if (mq_timedsend((mqd_t)m_iWriterQueue, (const char*)&exitMsg, sizeof(exitMsg), APP_MSG_PRIORITY, &ts) == 0) {
            m_bWriterEnded = true;  // told to end; joined at destruction
            return 0;
        }
        if (errno != ETIMEDOUT && errno != EINTR)
            return -1;
        if (!writerAlive())
            return 1;
    }
}
