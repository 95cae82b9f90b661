// POSIX message queues and the 24-byte queue message.
#include "platform/fileLogger.h"
#include "platform/posixMsgQueues.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "tests/support/testSupport.h"

using testsupport::readFile;

static_assert(sizeof(AppMsg) == 24, "24-byte record");
static_assert(offsetof(AppMsg, type) == 0 && offsetof(AppMsg, capacity) == 4 && offsetof(AppMsg, length) == 8 &&
                  offsetof(AppMsg, buffer) == 16,
              "field offsets");
static_assert(APP_MSG_EXIT == 0 && APP_MSG_FILE_BUFFER == 1 && APP_MSG_NTWK_BUFFER == 2 &&
                  APP_MSG_STATUS_ALIVE == 3 && APP_MSG_END_OF_FILE == 4,
              "message types");

namespace {

std::string uniqueQueueName()
{
    return testsupport::uniqueQueueName("/korbalt_h1_q_");
}

class LogCapture {
public:
    LogCapture()
    {
        std::ostringstream s;
        s << "/tmp/korbalt_h1_qlog_" << getpid();
        m_sName = s.str();
        shutdownFileLogger();
        unlink(m_sName.c_str());
        initFileLogger(m_sName.c_str());
    }
    ~LogCapture()
    {
        shutdownFileLogger();
        unlink(m_sName.c_str());
    }
    std::string text() const { return readFile(m_sName); }

private:
    std::string m_sName;
};

// A queue of the buffer queues' shape, unlinked at the end of the test.
class TestQueue {
public:
    explicit TestQueue(int maxMsg = 10, int msgSize = 24) : m_sName(uniqueQueueName())
    {
        unlinkMsgQueue(m_sName.c_str());
        QueueAttr attr = {O_NONBLOCK, maxMsg, msgSize, 0};
        m_iQueue = createMsgQueue(m_sName.c_str(), APP_QUEUE_MODE, &attr);
    }
    ~TestQueue()
    {
        if (m_iQueue >= 0)
            closeMsgQueue(m_iQueue);
        unlinkMsgQueue(m_sName.c_str());
    }
    int fd() const { return m_iQueue; }
    const char* name() const { return m_sName.c_str(); }

private:
    std::string m_sName;
    int m_iQueue;
};

AppMsg bufferMsg(int tag)
{
    AppMsg m = {};
    m.type = APP_MSG_FILE_BUFFER;
    m.capacity = 65536;
    m.length = tag;
    m.buffer = reinterpret_cast<unsigned char*>(0x1000 + tag);
    return m;
}

}  // namespace

TEST(QueueBasics, CreatedQueueHasTheAttributesAndBlockingDescriptor)
{
    TestQueue q;
    ASSERT_GE(q.fd(), 0);
    QueueAttr attr = {-1, -1, -1, -1};
    ASSERT_EQ(0, getQueueAttr(q.fd(), &attr));
    EXPECT_EQ(0, attr.flags);  // O_NONBLOCK of the record is not applied at creation
    EXPECT_EQ(10, attr.maxMsg);
    EXPECT_EQ(24, attr.msgSize);
    EXPECT_EQ(0, attr.curMsgs);
    AppMsg m = bufferMsg(1);
    ASSERT_EQ(0, sendMsg(q.fd(), &m, sizeof(m)));
    ASSERT_EQ(0, getQueueAttr(q.fd(), &attr));
    EXPECT_EQ(1, attr.curMsgs);
}

TEST(QueueBasics, CreateRefusesAnExistingNameAndANameWithoutSlash)
{
    LogCapture log;
    TestQueue q;
    ASSERT_GE(q.fd(), 0);
    QueueAttr attr = {O_NONBLOCK, 10, 24, 0};
    EXPECT_LT(createMsgQueue(q.name(), APP_QUEUE_MODE, &attr), 0);
    EXPECT_EQ(EEXIST, errno);
    EXPECT_LT(createMsgQueue("no_slash_korbalt", APP_QUEUE_MODE, &attr), 0);
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ("Queue Error EEXIST\nQueue Error EINVAL\n", log.text());
}

TEST(QueueBasics, ReceiveReturns24AndThePriority)
{
    TestQueue q;
    AppMsg out = bufferMsg(77);
    ASSERT_EQ(0, sendPriorityMsg(q.fd(), &out, sizeof(out), 21));
    AppMsg in = {};
    int length = 0;
    unsigned int prio = 0;
    EXPECT_EQ(24, receivePriorityMsg(q.fd(), &in, sizeof(in), &length, &prio));
    EXPECT_EQ(24, length);
    EXPECT_EQ(21u, prio);
    EXPECT_EQ(0, memcmp(&out, &in, sizeof(in)));

    ASSERT_EQ(0, sendMsg(q.fd(), &out, sizeof(out)));
    EXPECT_EQ(24, receivePriorityMsg(q.fd(), &in, sizeof(in), &length, &prio));
    EXPECT_EQ(APP_MSG_PRIORITY, prio);
    ASSERT_EQ(0, sendMsg(q.fd(), &out, sizeof(out)));
    length = 0;
    EXPECT_EQ(24, receiveMsg(q.fd(), &in, sizeof(in), &length));
    EXPECT_EQ(24, length);
}

TEST(QueueBasics, ExitAtPriority30OvertakesTenWaitingBuffers)
{
    TestQueue q;
    for (int i = 0; i < 9; ++i) {
        AppMsg m = bufferMsg(i);
        ASSERT_EQ(0, sendMsg(q.fd(), &m, sizeof(m)));
    }
    AppMsg exitMsg = {};
    ASSERT_EQ(0, sendPriorityMsg(q.fd(), &exitMsg, sizeof(exitMsg), APP_MSG_EXIT_PRIORITY));
    AppMsg in;
    unsigned int prio;
    int length;
    ASSERT_EQ(24, receivePriorityMsg(q.fd(), &in, sizeof(in), &length, &prio));
    EXPECT_EQ(APP_MSG_EXIT, in.type);
    EXPECT_EQ(nullptr, in.buffer);
    EXPECT_EQ(30u, prio);
    for (int i = 0; i < 9; ++i) {  // the buffers follow in the order they were sent
        ASSERT_EQ(24, receivePriorityMsg(q.fd(), &in, sizeof(in), &length, &prio));
        EXPECT_EQ(i, in.length);
        EXPECT_EQ(16u, prio);
    }
}

TEST(QueueBasics, FullQueueRefusesNonBlockingAndTimedSends)
{
    LogCapture log;
    TestQueue q;
    for (int i = 0; i < 10; ++i) {
        AppMsg m = bufferMsg(i);
        ASSERT_EQ(0, sendMsg(q.fd(), &m, sizeof(m)));
    }
    // The eleventh send would wait: a second descriptor without waiting proves it.
    int nb = connectToMsgQueueNonBlocking(q.name(), 1);
    ASSERT_GE(nb, 0);
    AppMsg m = bufferMsg(10);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, sendMsg(nb, &m, sizeof(m)));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_EQ(-1, sendTimedPriorityMsg(q.fd(), &m, sizeof(m), 16, 50));
    EXPECT_EQ(ETIMEDOUT, errno);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(ms, 3000);
    // After one receive there is room again.
    AppMsg in;
    int length;
    ASSERT_EQ(24, receiveMsg(q.fd(), &in, sizeof(in), &length));
    EXPECT_EQ(0, sendMsg(nb, &m, sizeof(m)));
    closeMsgQueue(nb);
    std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("sendMsg: mq_send failed\nQueue Error EAGAIN\n"));
    EXPECT_NE(std::string::npos, text.find("sendTimedPriorityMsg: sendPriorityMsg failed\nQueue Error ETIMEDOUT\n"));
}

TEST(QueueBasics, EmptyQueueTimedAndNonBlockingReceives)
{
    TestQueue q;
    AppMsg in;
    int length = -7;
    unsigned int prio = 0;
    EXPECT_EQ(-1, receiveTimedPriorityMsg(q.fd(), &in, sizeof(in), &length, &prio, 20));
    EXPECT_EQ(ETIMEDOUT, errno);
    EXPECT_EQ(-7, length);
    // Switching the descriptor to O_NONBLOCK is the one change setQueueAttr can make.
    QueueAttr attr = {O_NONBLOCK, 0, 0, 0};
    ASSERT_EQ(0, setQueueAttr(q.fd(), &attr));
    QueueAttr now;
    ASSERT_EQ(0, getQueueAttr(q.fd(), &now));
    EXPECT_EQ(O_NONBLOCK, now.flags);
    EXPECT_EQ(10, now.maxMsg);
    EXPECT_EQ(-1, receiveMsg(q.fd(), &in, sizeof(in), &length));
    EXPECT_EQ(EAGAIN, errno);
}

TEST(QueueBasics, ConnectAccessModes)
{
    LogCapture log;
    TestQueue q;
    int unknownAccess = connectToMsgQueue(q.name(), 7);  // read-only
    ASSERT_GE(unknownAccess, 0);
    AppMsg m = bufferMsg(1);
    EXPECT_EQ(-1, sendMsg(unknownAccess, &m, sizeof(m)));
    EXPECT_EQ(EBADF, errno);
    int writer = connectToMsgQueue(q.name(), 1);
    int reader = connectToMsgQueue(q.name(), 0);
    int both = connectToMsgQueue(q.name(), 2);
    ASSERT_GE(writer, 0);
    ASSERT_GE(reader, 0);
    ASSERT_GE(both, 0);
    EXPECT_EQ(0, sendMsg(writer, &m, sizeof(m)));
    AppMsg in;
    int length;
    EXPECT_EQ(24, receiveMsg(unknownAccess, &in, sizeof(in), &length));
    EXPECT_EQ(0, sendMsg(both, &m, sizeof(m)));
    EXPECT_EQ(24, receiveMsg(both, &in, sizeof(in), &length));
    EXPECT_EQ(0, closeMsgQueue(unknownAccess));
    EXPECT_EQ(0, closeMsgQueue(writer));
    EXPECT_EQ(0, closeMsgQueue(reader));
    EXPECT_EQ(0, closeMsgQueue(both));
    EXPECT_EQ(-1, closeMsgQueue(both));

    std::string missing = uniqueQueueName();
    EXPECT_LT(connectToMsgQueue(missing.c_str(), 1), 0);
    EXPECT_EQ(ENOENT, errno);
    EXPECT_LT(connectToMsgQueue(nullptr, 1), 0);
    std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("sendMsg: mq_send failed\nQueue Error EBADF\n"));
    EXPECT_NE(std::string::npos, text.find("Failed to connect to " + missing + " queue\nQueue Error ENOENT\n"));
}

TEST(QueueBasics, ReceiveIntoTooSmallBufferFails)
{
    LogCapture log;
    TestQueue q;
    AppMsg m = bufferMsg(3);
    ASSERT_EQ(0, sendMsg(q.fd(), &m, sizeof(m)));
    char small[8];
    int length = -1;
    unsigned int prio = 0;
    EXPECT_LT(receivePriorityMsg(q.fd(), small, sizeof(small), &length, &prio), 1);
    EXPECT_EQ(EMSGSIZE, errno);
    EXPECT_EQ(-1, length);  // untouched on failure
    EXPECT_NE(std::string::npos, log.text().find("receivePriorityMsg: receiveMsg failed\nQueue Error EMSGSIZE\n"));
    // A message larger than the queue's size is refused at the send.
    char big[48] = {};
    EXPECT_EQ(-1, sendPriorityMsg(q.fd(), big, sizeof(big), 16));
    EXPECT_EQ(EMSGSIZE, errno);
}

TEST(QueueBasics, UnlinkRemovesTheName)
{
    std::string name = uniqueQueueName();
    QueueAttr attr = {O_NONBLOCK, 2, 24, 0};
    int q = createMsgQueue(name.c_str(), APP_QUEUE_MODE, &attr);
    ASSERT_GE(q, 0);
    EXPECT_EQ(0, closeMsgQueue(q));
    EXPECT_EQ(0, unlinkMsgQueue(name.c_str()));
    EXPECT_EQ(-1, unlinkMsgQueue(name.c_str()));
    EXPECT_EQ(ENOENT, errno);
}

TEST(QueueErrors, TextsByErrno)
{
    struct {
        int err;
        const char* text;
    } table[] = {
        {2, "Queue Error ENOENT\n"},        {4, "Queue Error EINTR\n"},     {9, "Queue Error EBADF\n"},
        {11, "Queue Error EAGAIN\n"},       {13, "Queue Error EACCES\n"},   {17, "Queue Error EEXIST\n"},
        {22, "Queue Error EINVAL\n"},       {23, "Queue Error ENFILE\n"},   {24, "Queue Error EMFILE\n"},
        {28, "Queue Error ENOSPC\n"},       {36, "Queue Error ENAMETOOLONG\n"},
        {90, "Queue Error EMSGSIZE\n"},     {110, "Queue Error ETIMEDOUT\n"}, {1, "Queue Error 1\n"},
        {0, "Queue Error 0\n"},             {12345, "Queue Error 12345\n"},
    };
    char scratch[32];
    for (const auto& row : table)
        EXPECT_STREQ(row.text, queueErrorText(row.err, scratch, sizeof(scratch))) << row.err;

    LogCapture log;
    errno = EACCES;
    printQueueError();
    errno = 77;
    printQueueError();
    EXPECT_EQ("Queue Error EACCES\nQueue Error 77\n", log.text());
}
