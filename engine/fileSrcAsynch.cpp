#include "engine/fileSrcAsynch.h"
#include "platform/debugMap.h"
#include "platform/fileReader.h"
#include "platform/osFileHandler.h"

#include <cerrno>
#include <cstring>

FileSrcAsynch::FileSrcAsynch(const std::string& fileName)
    : FileSrcAsynch(fileName, FILE_SRC_BUFFERS, FILE_SRC_BUFFER_SIZE, FILE_SRC_SLICE_SIZE)
{
}

FileSrcAsynch::FileSrcAsynch(const std::string& fileName, int numBuffers, int bufferSize, int sliceSize)
    : StreamSrcAsynch(numBuffers, bufferSize), m_sFileName(fileName), m_llFileSize(0), m_llBytesDelivered(0),
      m_aReleased(), m_auiReleasedPriority(), m_iReleased(0), m_iSliceSize(sliceSize), m_pFilled(nullptr),
      m_llFilledLength(0), m_llSliceOffset(0)
{
    prefixQueueNames("/");
    m_llFileSize = getFileSizeOfFileName(m_sFileName.c_str());
}

FileSrcAsynch::~FileSrcAsynch() = default;

bool FileSrcAsynch::init()
{
    // Refuse what cannot be read as a file before any queue or thread exists, so that the
    // run ends with the reason instead of passing for an empty input.
    const char* name = m_sFileName.c_str();
    OsFileInfo info;
    if (m_sFileName.empty()) {
        setFailureText("no input file given");
        return false;
    }
    if (osGetFileInfo(name, &info) != 0) {
        int err = errno;
        setFailureText(std::string("cannot open input file ") + m_sFileName + ": " + strerror(err));
        fileLog("Couldn't open source file %s\n", name);
        return false;
    }
    if (!info.regular) {
        setFailureText(std::string("cannot open input file ") + m_sFileName + ": not a regular file");
        fileLog("Couldn't open source file %s\n", name);
        return false;
    }
    unsigned long long fd;
    if (osOpenFile(name, &fd, 0) != 0) {
        int err = errno;
        setFailureText(std::string("cannot open input file ") + m_sFileName + ": " + strerror(err));
        fileLog("Couldn't open source file %s\n", name);
        return false;
    }
    m_llFileSize = osGetFileSize(fd);
    osCloseFile(fd);
    if (m_llFileSize < 0) {
        setFailureText(std::string("cannot open input file ") + m_sFileName + ": its size cannot be taken");
        return false;
    }

    if (!StreamSrcAsynch::init())
        return false;
    return fillEmptyQueue(APP_MSG_FILE_BUFFER);
}

int FileSrcAsynch::startFileReader()
{
    ThreadArg args[3];
    args[0].type = FILE_READER_ARG_FILE_NAME;
    args[0].value = (uint64_t)(uintptr_t)m_sFileName.c_str();
    args[1].type = FILE_READER_ARG_EMPTY_QUEUE;
    args[1].value = (uint64_t)(uintptr_t)m_pcEmptyQueueName;
    args[2].type = FILE_READER_ARG_FULL_QUEUE;
    args[2].value = (uint64_t)(uintptr_t)m_pcFullQueueName;
    pthread_t tid;
    int rc = fileReaderThreadStart(&tid, args, 3);
    if (rc == 0) {
        setReaderThread(tid);
        m_iState = SRC_STATE_RUNNING;
    } else if (rc == 5) {
        setFailureText(std::string("cannot open input file ") + m_sFileName + ": name too long");
    } else {
        setFailureText(std::string("cannot start the file reader for ") + m_sFileName);
    }
    return rc;
}

bool FileSrcAsynch::nextSlice(unsigned char** buffer, long long* length)
{
    long long n = m_llFilledLength - m_llSliceOffset;
    if (m_iSliceSize > 0 && n > m_iSliceSize)
        n = m_iSliceSize;
    *buffer = m_pFilled + m_llSliceOffset;
    *length = n;
    m_llSliceOffset += n;
    m_llBytesDelivered += n;
    return true;
}

bool FileSrcAsynch::getRawDataBuff(unsigned char** buffer, long long* length)
{
    if (m_bHoldingBuffer && m_pFilled && m_llSliceOffset < m_llFilledLength)
        return nextSlice(buffer, length);
    m_pFilled = nullptr;
    bool got = StreamSrcAsynch::getRawDataBuff(buffer, length);
    if (got) {
        m_pFilled = *buffer;
        m_llFilledLength = *length;
        m_llSliceOffset = 0;
        return nextSlice(buffer, length);
    }
    if (m_iState == SRC_STATE_ENDED && m_iReaderErrno != 0)
        setFailureText(std::string("cannot read input file ") + m_sFileName + ": " + strerror(m_iReaderErrno));
    return got;
}

bool FileSrcAsynch::releaseRawDataBuff()
{
    if (m_iState != SRC_STATE_RUNNING || !m_bHoldingBuffer)
        return false;
    // The reader's buffer stays in hand while slices of it are still to come.
    if (m_pFilled && m_llSliceOffset < m_llFilledLength)
        return true;
    m_pFilled = nullptr;
    m_bHoldingBuffer = false;
    m_CurrentMsg.length = 0;
    m_aReleased[m_iReleased] = m_CurrentMsg;
    m_auiReleasedPriority[m_iReleased] = m_uiCurrentPriority;
    // Never hold back so many that the reader could run out while the decoder waits.
    if (++m_iReleased < RELEASE_BATCH && m_iReleased < m_iNumBuffers - 1)
        return true;
    bool sent = true;
    for (int i = 0; i < m_iReleased; ++i)
        sent = sendWorkerMsg(m_iEmptyQueue, &m_aReleased[i], m_auiReleasedPriority[i]) == 0 && sent;
    m_iReleased = 0;
    return sent;
}

int FileSrcAsynch::getPercentComplete()
{
    if (m_llBytesDelivered < 1 || m_llFileSize < 1)
        return 0;
    long long percent = m_llBytesDelivered * 100 / m_llFileSize;
    return percent > 100 ? 100 : (int)percent;
}
