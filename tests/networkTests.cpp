// Live UDP input: sockets and the multicast join, the UDP reader thread, the network source
// with its copy to disk, the file writer thread, and korbalt -n end to end.
//
// Every test that opens a UDP socket runs in a child process inside a private network
// namespace that it makes itself (only its own loopback exists there), and every sender
// sends from 127.0.0.1 to 127.0.0.1 or to the test group on loopback. Where namespaces
// cannot be made the test is skipped; nothing is ever sent on the host's network.
#include "engine/inputParams.h"
#include "engine/msgCallback.h"
#include "engine/ntwkSrcAsynch.h"
#include "engine/streamDecoder.h"
#include "platform/fileLogger.h"
#include "platform/fileReader.h"
#include "platform/fileWriter.h"
#include "platform/posixMsgQueues.h"
#include "platform/udpNtwkReader.h"
#include "platform/udpSockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <mqueue.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::readFile;
using testsupport::fixture;
using testsupport::queueExists;
using testsupport::joinWithin;
using testsupport::processedFromLog;

namespace {

// Each test's own directory under /tmp.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("korbalt_h2_net_") {}
};

const uint32_t LOOPBACK = 0x7F000001;      // 127.0.0.1
const uint32_t TEST_GROUP = 0xEFFF2A2A;    // 239.255.42.42
const uint32_t NOT_LOCAL = 0x0AFFFF01;     // 10.255.255.1: no interface in the namespace has it
const int NO_NAMESPACE = 77;

std::string uniqueQueueName(const char* tag)
{
    return testsupport::uniqueQueueName(std::string("/korbalt_h2n_") + tag + "_");
}

bool bringLoopbackUp()
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return false;
    struct ifreq req;
    memset(&req, 0, sizeof(req));
    strncpy(req.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &req) == 0;
    if (ok) {
        req.ifr_flags |= IFF_UP;
        ok = ioctl(s, SIOCSIFFLAGS, &req) == 0;
    }
    close(s);
    return ok;
}

// Runs body in a child inside a new network namespace with only loopback up. 0 passed,
// NO_NAMESPACE when no namespace could be made, anything else failed.
int runInPrivateNetwork(const std::function<void()>& body, int timeoutSeconds)
{
    return testsupport::runInChild(body, timeoutSeconds, [] {
        return unshare(CLONE_NEWNET) == 0 && bringLoopbackUp() ? 0 : NO_NAMESPACE;
    });
}

#define IN_PRIVATE_NETWORK(seconds, ...)                                                             \
    do {                                                                                             \
        int rc_ = runInPrivateNetwork([&] __VA_ARGS__, seconds);                                     \
        if (rc_ == NO_NAMESPACE)                                                                     \
            GTEST_SKIP() << "cannot make a private network namespace here (needs CAP_SYS_ADMIN); " \
                            "not running UDP tests on the host's network";                          \
        ASSERT_EQ(0, rc_) << "the test failed inside its network namespace (see above)";             \
    } while (0)

// Waits until some socket of this network namespace is bound to port, then a little more
// for the join that follows the bind. Datagrams sent before that would be lost.
bool waitForUdpPort(uint16_t port, int ms)
{
    char hex[8];
    snprintf(hex, sizeof(hex), ":%04X", (unsigned)port);
    for (int i = 0; i < ms / 10; ++i) {
        std::ifstream in("/proc/self/net/udp");
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream words(line);
            std::string slot, local;
            words >> slot >> local;
            if (local.size() > 5 && local.compare(local.size() - 5, 5, hex) == 0) {
                usleep(100000);
                return true;
            }
        }
        usleep(10000);
    }
    return false;
}

// Sends from 127.0.0.1 only, to loopback or to the test group on loopback only.
class LoopbackSender {
public:
    LoopbackSender()
    {
        m_iSock = socket(AF_INET, SOCK_DGRAM, 0);
        struct in_addr lo;
        lo.s_addr = htonl(LOOPBACK);
        setsockopt(m_iSock, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof(lo));
        struct sockaddr_in local;
        memset(&local, 0, sizeof(local));
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(LOOPBACK);
        bind(m_iSock, (struct sockaddr*)&local, sizeof(local));
    }
    ~LoopbackSender() { close(m_iSock); }
    bool send(uint32_t address, uint16_t port, const void* data, size_t size)
    {
        if (address != LOOPBACK && address != TEST_GROUP) {
            ADD_FAILURE() << "refusing to send anywhere but loopback";
            return false;
        }
        struct sockaddr_in to;
        memset(&to, 0, sizeof(to));
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(address);
        to.sin_port = htons(port);
        return sendto(m_iSock, data, size, 0, (struct sockaddr*)&to, sizeof(to)) == (ssize_t)size;
    }
    // The stream in datagrams of seven packets (or chunk bytes), paced at bitsPerSecond.
    int sendPaced(uint32_t address, uint16_t port, const std::string& stream, double bitsPerSecond,
                  size_t chunk = 7 * 188)
    {
        double interval = chunk * 8.0 / bitsPerSecond;
        auto start = std::chrono::steady_clock::now();
        int sent = 0;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            size_t n = stream.size() - at < chunk ? stream.size() - at : chunk;
            auto due = start + std::chrono::duration<double>(interval * sent);
            std::this_thread::sleep_until(due);
            if (!send(address, port, stream.data() + at, n))
                break;
            ++sent;
        }
        return sent;
    }

private:
    int m_iSock;
};

// The queues a UDP reader runs between, with buffers the test owns.
struct UdpRig {
    std::string emptyName = uniqueQueueName("uempty");
    std::string fullName = uniqueQueueName("ufull");
    int emptyQ = -1;
    int fullQ = -1;
    std::vector<unsigned char*> buffers;
    int capacity;

    UdpRig(int numBuffers, int capacity) : capacity(capacity)
    {
        QueueAttr attr = {0, numBuffers + 1, (int64_t)sizeof(AppMsg), 0};
        mq_unlink(emptyName.c_str());
        mq_unlink(fullName.c_str());
        emptyQ = createMsgQueue(emptyName.c_str(), 0660, &attr);
        fullQ = createMsgQueue(fullName.c_str(), 0660, &attr);
        for (int i = 0; i < numBuffers; ++i) {
            unsigned char* b = (unsigned char*)malloc((size_t)capacity);
            buffers.push_back(b);
            AppMsg m = {APP_MSG_NTWK_BUFFER, capacity, 0, b};
            announceBufferSent(b);
            sendMsg(emptyQ, &m, sizeof(m));
        }
    }
    ~UdpRig()
    {
        mq_close(emptyQ);
        mq_close(fullQ);
        mq_unlink(emptyName.c_str());
        mq_unlink(fullName.c_str());
        for (unsigned char* b : buffers)
            free(b);
    }
    int start(pthread_t* tid, uint32_t address, uint16_t port, uint32_t interfaceAddress)
    {
        ThreadArg args[6] = {
            {UDP_READER_ARG_ADDRESS, address},
            {UDP_READER_ARG_PORT, port},
            {UDP_READER_ARG_INTERFACE, interfaceAddress},
            {UDP_READER_ARG_EMPTY_QUEUE, (uint64_t)(uintptr_t)emptyName.c_str()},
            {UDP_READER_ARG_FULL_QUEUE, (uint64_t)(uintptr_t)fullName.c_str()},
            {UDP_READER_ARG_RECV_BUFF, 1347584},
        };
        return udpNtwkReaderThreadStart(tid, args, 6);
    }
    bool next(AppMsg* m, int ms = 3000)
    {
        int len = 0;
        unsigned int prio = 0;
        bool got = receiveTimedPriorityMsg(fullQ, m, sizeof(*m), &len, &prio, ms) == (int)sizeof(AppMsg);
        if (got)
            announceBufferReceived(m->buffer);
        return got;
    }
    void giveBack(AppMsg m)
    {
        m.length = 0;
        announceBufferSent(m.buffer);
        sendMsg(emptyQ, &m, sizeof(m));
    }
    void stop()
    {
        AppMsg m = {APP_MSG_EXIT, 0, 0, nullptr};
        sendPriorityMsg(emptyQ, &m, sizeof(m), 30);
    }
};

std::string numbered(int index, size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = (char)((index * 31 + i) & 0xFF);
    return s;
}

}  // namespace

// ---------------------------------------------------------------- sockets

TEST(NetUdpSocket, LookupJoinAndReceiveRules)
{
    IN_PRIVATE_NETWORK(30, {
        char name[IFNAMSIZ + 1];
        int position = -1;
        EXPECT_EQ(0, getNetworkIntfsNameAndId(LOOPBACK, name, sizeof(name), &position));
        EXPECT_STREQ("lo", name);
        EXPECT_EQ(0, position);
        // A tiny name buffer gets a bounded, terminated copy.
        char tiny[2];
        EXPECT_EQ(0, getNetworkIntfsNameAndId(LOOPBACK, tiny, sizeof(tiny), &position));
        EXPECT_STREQ("l", tiny);
        EXPECT_EQ(3, getNetworkIntfsNameAndId(NOT_LOCAL, name, sizeof(name), &position));

        struct Case {
            uint32_t group;
            uint32_t intf;
            int result;
            const char* why;
            const char* log;
        } cases[] = {
            {TEST_GROUP, LOOPBACK, 0, "", "Joining multicast 239.255.42.42 on interface 127.0.0.1\n"},
            // A multicast stream that cannot be joined is a failure.
            {TEST_GROUP, NOT_LOCAL, 4, "no local interface has address 10.255.255.1", ""},
            {LOOPBACK, NOT_LOCAL, 0, "", ""},  // unicast, no such interface: nothing to join
            // Unicast on a local interface: the system refuses the join.
            {LOOPBACK, LOOPBACK, 4, "cannot join 127.0.0.1 on interface 127.0.0.1: it is not a multicast group address",
             "Joining multicast 127.0.0.1 on interface 127.0.0.1\nError EINVAL\n"},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(std::to_string(c.group) + " on " + std::to_string(c.intf));
            TempDir dir;
            testsupport::LogCapture log(dir);
            UdpSocket s;
            ASSERT_EQ(0, createUdpSocket(&s));
            EXPECT_EQ(c.result, joinMcastUdpSocket(&s, c.intf, c.group));
            std::string why = getLastSocketErrorText();
            EXPECT_NE(std::string::npos, why.find(c.why)) << why;
            EXPECT_NE(std::string::npos, log.text().find(c.log));
            EXPECT_EQ(0, closeUdpSocket(&s));
        }
        EXPECT_TRUE(isMulticastAddress(0xE0000000));
        EXPECT_TRUE(isMulticastAddress(0xEFFFFFFF));
        EXPECT_FALSE(isMulticastAddress(0xDFFFFFFF));
        EXPECT_FALSE(isMulticastAddress(0xF0000000));

        // A time-out gives 5 and -1; a datagram longer than the buffer is cut and said so.
        UdpSocket r;
        ASSERT_EQ(0, createUdpSocket(&r));
        ASSERT_EQ(0, setSocketRecvTimeout(&r, 1));
        ASSERT_EQ(0, bindUdpSocket(&r, LOOPBACK, 50000));
        unsigned char buf[1000];
        int count = 0;
        bool cut = false;
        uint32_t from = 0;
        uint16_t fromPort = 0;
        EXPECT_EQ(5, recvFromUdpSocket(&r, &from, &fromPort, buf, sizeof(buf), &count, &cut));
        EXPECT_EQ(-1, count);
        LoopbackSender sender;
        std::string big = numbered(1, 3000);
        ASSERT_TRUE(sender.send(LOOPBACK, 50000, big.data(), big.size()));
        EXPECT_EQ(0, recvFromUdpSocket(&r, &from, &fromPort, buf, sizeof(buf), &count, &cut));
        EXPECT_EQ(1000, count);
        EXPECT_TRUE(cut);
        EXPECT_EQ(0, memcmp(buf, big.data(), 1000));
        EXPECT_EQ(htonl(LOOPBACK), from);
        std::string small = numbered(2, 100);
        ASSERT_TRUE(sender.send(LOOPBACK, 50000, small.data(), small.size()));
        EXPECT_EQ(0, recvFromUdpSocket(&r, &from, &fromPort, buf, sizeof(buf), &count, &cut));
        EXPECT_EQ(100, count);
        EXPECT_FALSE(cut);
        closeUdpSocket(&r);
    });
}

TEST(NetUdpSocket, TextsOfAddressesAndErrors)
{
    char text[16];
    formatIpAddress(0xEF010101, text, sizeof(text));
    EXPECT_STREQ("239.1.1.1", text);
    formatIpAddress(0xFFFFFFFF, text, sizeof(text));
    EXPECT_STREQ("255.255.255.255", text);
    char scratch[32];
    EXPECT_STREQ("Error EINVAL\n", socketErrorText(EINVAL, scratch, sizeof(scratch)));
    EXPECT_STREQ("Error EADDRNOTAVAIL\n", socketErrorText(EADDRNOTAVAIL, scratch, sizeof(scratch)));
    EXPECT_STREQ("Error 1234\n", socketErrorText(1234, scratch, sizeof(scratch)));
}

// ---------------------------------------------------------------- UDP reader thread

// A datagram sent on its own comes in a buffer of its own, recorded in the buffer's table;
// a second without traffic gives a buffer with nothing in it.
TEST(NetUdpReader, DatagramsWithTheirTableThenSilenceThenExit)
{
    IN_PRIVATE_NETWORK(60, {
        TempDir dir;
        std::string logName = dir.file("log.txt");
        shutdownFileLogger();
        initFileLogger(logName.c_str());
        UdpRig rig(4, NtwkSrcAsynch::READER_BUFFER_SIZE);
        pthread_t tid;
        ASSERT_EQ(0, rig.start(&tid, TEST_GROUP, 50000, LOOPBACK));
        shutdownFileLogger();
        std::string log = readFile(logName);
        EXPECT_NE(std::string::npos, log.find("Binding Socket to network ip 239.255.42.42 and port 50000\n")) << log;
        EXPECT_NE(std::string::npos, log.find("Joining multicast 239.255.42.42 on interface 127.0.0.1\n")) << log;
        EXPECT_NE(std::string::npos, log.find("UDP Reader: socket receive buffer 1347584 bytes asked, ")) << log;
        LoopbackSender sender;
        for (int i = 0; i < 12; ++i) {
            std::string d = numbered(i, 1316);
            ASSERT_TRUE(sender.send(TEST_GROUP, 50000, d.data(), d.size()));
            AppMsg m;
            ASSERT_TRUE(rig.next(&m)) << "datagram " << i;
            EXPECT_EQ(APP_MSG_NTWK_BUFFER, m.type);
            ASSERT_EQ(1316, m.length);
            EXPECT_EQ(0, memcmp(m.buffer, d.data(), 1316));
            const UdpDatagramTable* table = udpDatagramTable(m.buffer, m.capacity);
            ASSERT_NE(nullptr, table);
            ASSERT_EQ(1u, table->count);
            EXPECT_EQ(1316u, table->records[0].length);
            EXPECT_EQ(0u, table->records[0].lostBytes);
            EXPECT_EQ(0u, table->records[0].gapMs);
            rig.giveBack(m);
        }
        // One second without traffic: one buffer with nothing in it.
        auto start = std::chrono::steady_clock::now();
        AppMsg m;
        ASSERT_TRUE(rig.next(&m, 3000));
        double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(-1, m.length);
        EXPECT_GT(waited, 0.8);
        EXPECT_LT(waited, 2.5);
        rig.giveBack(m);
        rig.stop();
        EXPECT_TRUE(joinWithin(tid, 3000)) << "the reader did not notice the exit message";
    });
}

// Datagrams of every size up to the largest arrive whole and back to back, however many
// come at once; only a buffer too small for one cuts it, and its table says how much was
// lost. A pause of over a second is recorded with the datagram that ends it.
TEST(NetUdpReader, WholeDatagramsBackToBackCutOnlyWhenTheBufferIsTooSmall)
{
    IN_PRIVATE_NETWORK(60, {
        LoopbackSender sender;
        {
            UdpRig rig(4, NtwkSrcAsynch::READER_BUFFER_SIZE);
            pthread_t tid;
            ASSERT_EQ(0, rig.start(&tid, LOOPBACK, 50001, NOT_LOCAL));
            const size_t sizes[] = {9024, 1, 65507, 188, 1316, 65507, 65507, 7 * 188};
            std::string sent;
            std::vector<size_t> lengths;
            for (int round = 0; round < 3; ++round) {
                for (size_t size : sizes) {
                    std::string d = numbered((int)lengths.size(), size);
                    ASSERT_TRUE(sender.send(LOOPBACK, 50001, d.data(), d.size()));
                    sent += d;
                    lengths.push_back(size);
                }
            }
            std::string got;
            std::vector<size_t> gotLengths;
            int buffers = 0;
            while (got.size() < sent.size()) {
                AppMsg m;
                ASSERT_TRUE(rig.next(&m)) << got.size() << " of " << sent.size();
                ++buffers;
                if (m.length > 0) {
                    const UdpDatagramTable* table = udpDatagramTable(m.buffer, m.capacity);
                    ASSERT_NE(nullptr, table);
                    for (uint32_t i = 0; i < table->count; ++i) {
                        gotLengths.push_back(table->records[i].length);
                        EXPECT_EQ(0u, table->records[i].lostBytes);
                    }
                    got.append((const char*)m.buffer, (size_t)m.length);
                }
                rig.giveBack(m);
            }
            EXPECT_EQ(lengths, gotLengths);
            EXPECT_TRUE(got == sent);
            EXPECT_LT(buffers, (int)lengths.size()) << "each datagram came in a buffer of its own";

            usleep(1300000);
            std::string d = numbered(99, 1316);
            ASSERT_TRUE(sender.send(LOOPBACK, 50001, d.data(), d.size()));
            AppMsg m;
            do {
                ASSERT_TRUE(rig.next(&m));
                if (m.length < 1)
                    rig.giveBack(m);
            } while (m.length < 1);
            const UdpDatagramTable* table = udpDatagramTable(m.buffer, m.capacity);
            ASSERT_EQ(1u, table->count);
            EXPECT_GE(table->records[0].gapMs, 1250u);
            EXPECT_LT(table->records[0].gapMs, 2500u);
            rig.giveBack(m);
            rig.stop();
            EXPECT_TRUE(joinWithin(tid, 3000));
        }
        {
            UdpRig rig(2, UDP_TABLE_BYTES + 1000);
            pthread_t tid;
            ASSERT_EQ(0, rig.start(&tid, LOOPBACK, 50002, NOT_LOCAL));
            std::string d = numbered(3, 1316);
            ASSERT_TRUE(sender.send(LOOPBACK, 50002, d.data(), d.size()));
            AppMsg m;
            ASSERT_TRUE(rig.next(&m));
            ASSERT_EQ(1000, m.length);
            EXPECT_EQ(0, memcmp(m.buffer, d.data(), 1000));
            const UdpDatagramTable* table = udpDatagramTable(m.buffer, m.capacity);
            ASSERT_EQ(1u, table->count);
            EXPECT_EQ(1000u, table->records[0].length);
            EXPECT_EQ(316u, table->records[0].lostBytes);
            rig.giveBack(m);
            rig.stop();
            EXPECT_TRUE(joinWithin(tid, 3000));
        }
    });
}

TEST(NetUdpReader, StartFailsBeforeAnyThreadRuns)
{
    IN_PRIVATE_NETWORK(30, {
        UdpRig rig(2, 5264);
        pthread_t tid = 99;
        EXPECT_EQ(4, rig.start(&tid, TEST_GROUP, 50002, NOT_LOCAL));
        EXPECT_EQ(0u, (unsigned long)tid);
        EXPECT_EQ(2, udpNtwkReaderThreadStart(&tid, nullptr, 0));
        // Socket fine, but no queues to serve: a failed start, not a thread talking to nobody.
        ThreadArg args[4] = {
            {UDP_READER_ARG_ADDRESS, LOOPBACK},
            {UDP_READER_ARG_PORT, 50003},
            {UDP_READER_ARG_EMPTY_QUEUE, (uint64_t)(uintptr_t) "/korbalt_h2n_none_a"},
            {UDP_READER_ARG_FULL_QUEUE, (uint64_t)(uintptr_t) "/korbalt_h2n_none_b"},
        };
        EXPECT_EQ(3, udpNtwkReaderThreadStart(&tid, args, 4));
    });
}

// ---------------------------------------------------------------- file writer thread

namespace {

// The two queues a writer runs between, with 512-aligned buffers the test owns.
struct WriterRig {
    std::string toWrite = uniqueQueueName("wfull");
    std::string written = uniqueQueueName("wempty");
    int wq = -1;
    int rq = -1;
    std::vector<unsigned char*> buffers;
    std::string expected;  // what the buffers sent so far hold

    WriterRig()
    {
        QueueAttr attr = {0, 6, (int64_t)sizeof(AppMsg), 0};
        wq = createMsgQueue(toWrite.c_str(), 0660, &attr);
        rq = createMsgQueue(written.c_str(), 0660, &attr);
    }
    ~WriterRig()
    {
        mq_close(wq);
        mq_close(rq);
        mq_unlink(toWrite.c_str());
        mq_unlink(written.c_str());
        for (unsigned char* b : buffers)
            free(b);
    }
    int start(pthread_t* tid, const std::string& copy, bool pause)
    {
        ThreadArg args[5] = {
            {FILE_WRITER_ARG_FILE_NAME, (uint64_t)(uintptr_t)copy.c_str()},
            {FILE_WRITER_ARG_OPTION, 65536},
            {FILE_WRITER_ARG_FULL_QUEUE, (uint64_t)(uintptr_t)toWrite.c_str()},
            {FILE_WRITER_ARG_EMPTY_QUEUE, (uint64_t)(uintptr_t)written.c_str()},
            {FILE_WRITER_ARG_PAUSE, pause ? 1u : 0u},
        };
        return fileWriterThreadStart(tid, args, 5);
    }
    // A new buffer of 65536 bytes with length bytes to write.
    void send(long long length)
    {
        void* p = nullptr;
        ASSERT_EQ(0, posix_memalign(&p, 512, 65536));
        unsigned char* b = (unsigned char*)p;
        std::string d = numbered((int)buffers.size(), 65536);
        buffers.push_back(b);
        memcpy(b, d.data(), 65536);
        expected += d.substr(0, (size_t)length);
        AppMsg m = {APP_MSG_NTWK_BUFFER, 65536, length, b};
        announceBufferSent(b);
        ASSERT_EQ(0, sendMsg(wq, &m, sizeof(m)));
    }
    // Behind the buffers, at their priority: everything before it is written.
    void sendExit()
    {
        AppMsg exitMsg = {APP_MSG_EXIT, 0, 0, nullptr};
        ASSERT_EQ(0, sendMsg(wq, &exitMsg, sizeof(exitMsg)));
    }
    // The next buffer given back: it must be the next one sent, and empty.
    void expectReturned(size_t index, int ms)
    {
        AppMsg m;
        int len = 0;
        unsigned int prio = 0;
        ASSERT_EQ((int)sizeof(m), receiveTimedPriorityMsg(rq, &m, sizeof(m), &len, &prio, ms)) << "buffer " << index;
        announceBufferReceived(m.buffer);
        EXPECT_EQ(0, m.length);
        EXPECT_EQ(buffers[index], m.buffer);
    }
};

}  // namespace

// Every byte of every buffer, in order, and each buffer back empty.
TEST(NetFileWriter, WritesEveryByteAndReturnsEmptyBuffers)
{
    TempDir dir;
    std::string copy = dir.file("copy.mpg");
    WriterRig rig;
    ASSERT_GE(rig.wq, 0);
    ASSERT_GE(rig.rq, 0);
    pthread_t tid;
    ASSERT_EQ(0, rig.start(&tid, copy, false));
    for (long long length : {100, 0, 65536, 7})
        rig.send(length);
    rig.sendExit();
    EXPECT_TRUE(joinWithin(tid, 5000));
    EXPECT_TRUE(readFile(copy) == rig.expected) << readFile(copy).size() << " of " << rig.expected.size();
    for (size_t i = 0; i < rig.buffers.size(); ++i)
        rig.expectReturned(i, 1000);
}

// Pause mode with its direct writes: the writer starts paused, SIGUSR2 resumes and pauses it,
// it tells its parent with SIGUSR1, and an exit message ends a pause after the buffers
// queued before it are written (the short tail too).
TEST(NetFileWriter, PauseModeWithDirectWrites)
{
    TempDir dir;
    std::string copy = dir.file("copy.mpg");
    int probe = open(copy.c_str(), O_WRONLY | O_CREAT | O_DIRECT, 0600);
    if (probe < 0)
        GTEST_SKIP() << "this file system refuses O_DIRECT; pause mode (which writes directly) not checked";
    close(probe);

    testsupport::SignalCounter toParent(SIGUSR1);
    int rc = testsupport::runInChild(
        [&] {
            sigset_t usr2;  // the signal is for the writer thread alone
            sigemptyset(&usr2);
            sigaddset(&usr2, SIGUSR2);
            pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
            testsupport::LogCapture log(dir);
            auto waitForLog = [&](const std::string& line) {
                for (int i = 0; i < 300; ++i) {
                    if (log.peek().find(line) != std::string::npos)
                        return true;
                    usleep(10000);
                }
                ADD_FAILURE() << log.peek();
                return false;
            };
            WriterRig rig;
            pthread_t tid;
            ASSERT_EQ(0, rig.start(&tid, copy, true));
            EXPECT_TRUE(testsupport::openWithDirectIo(copy));
            std::string pid = std::to_string(getpid());
            ASSERT_TRUE(waitForLog("File Writer: threadFunc proc " + pid + " suspending m_IsPaused = 1\n"));
            rig.send(65536);
            rig.send(0);
            usleep(300000);
            EXPECT_EQ(0u, readFile(copy).size()) << "written while paused";

            kill(getpid(), SIGUSR2);
            rig.expectReturned(0, 3000);
            rig.expectReturned(1, 3000);
            EXPECT_TRUE(readFile(copy) == rig.expected);

            kill(getpid(), SIGUSR2);
            ASSERT_TRUE(waitForLog("sending SIGUSR1 to parent " + std::to_string(getppid()) + "\n"));
            rig.send(65536);
            usleep(300000);
            EXPECT_EQ(65536u, readFile(copy).size()) << "written while paused";
            rig.send(7);
            rig.sendExit();
            EXPECT_TRUE(joinWithin(tid, 3000)) << "a paused writer did not end on its exit message";
            EXPECT_TRUE(readFile(copy) == rig.expected) << readFile(copy).size() << " of " << rig.expected.size();
            rig.expectReturned(2, 1000);
            rig.expectReturned(3, 1000);

            std::string text = log.text();
            for (const std::string& line :
                 {"File Writer: Opening " + copy + " for direct write access\n",
                  std::string("File Writer: Getting into thread mainloop m_IsPaused = 1\n"),
                  "File Writer: threadFunc proc " + pid + " returned form suspend  m_IsPaused = 0\n",
                  "File Writer: threadFunc proc " + pid + " waking up m_IsPaused = 0\n",
                  std::string("File Writer: getting into receivePriorityMsg m_IsPaused = 0\n"),
                  std::string("File Writer: Got exit message Prority 16\n")})
                EXPECT_NE(std::string::npos, text.find(line)) << line << text;
        },
        30);
    EXPECT_EQ(0, rc) << "the writer test failed in its child process (see above)";
    EXPECT_TRUE(toParent.waitFor(1, 2000)) << "the parent was not told with SIGUSR1";
}

TEST(NetFileWriter, UnopenableCopyIsAFailedStart)
{
    std::string toWrite = uniqueQueueName("wfull");
    std::string written = uniqueQueueName("wempty");
    QueueAttr attr = {0, 2, (int64_t)sizeof(AppMsg), 0};
    int wq = createMsgQueue(toWrite.c_str(), 0660, &attr);
    int rq = createMsgQueue(written.c_str(), 0660, &attr);
    ThreadArg args[3] = {
        {FILE_WRITER_ARG_FILE_NAME, (uint64_t)(uintptr_t) "/nonexistent_korbalt_dir/copy.mpg"},
        {FILE_WRITER_ARG_FULL_QUEUE, (uint64_t)(uintptr_t)toWrite.c_str()},
        {FILE_WRITER_ARG_EMPTY_QUEUE, (uint64_t)(uintptr_t)written.c_str()},
    };
    pthread_t tid = 5;
    EXPECT_EQ(5, fileWriterThreadStart(&tid, args, 3));
    EXPECT_EQ(0u, (unsigned long)tid);
    EXPECT_EQ(2, fileWriterThreadStart(&tid, nullptr, 0));
    mq_close(wq);
    mq_close(rq);
    mq_unlink(toWrite.c_str());
    mq_unlink(written.c_str());
}

// ---------------------------------------------------------------- network source

TEST(NetSource, NamesFromAddressAndFullPort)
{
    std::string pid = std::to_string(getpid());
    NtwkSrcAsynch src(0xEF010101, 50000, LOOPBACK, "./", 10, 65536, true, false);
    EXPECT_STREQ("239_1_1_1_50000", src.getStreamLabel());
    EXPECT_EQ("/239_1_1_1_50000_EMPTY_QUEUE_" + pid, std::string(src.getEmptyQueueName()));
    EXPECT_EQ("/239_1_1_1_50000_FULL_QUEUE_" + pid, std::string(src.getFullQueueName()));
    EXPECT_EQ("./239_1_1_1_50000.mpg", src.getFileWriterFileName());
    EXPECT_EQ("/239_1_1_1_50000_mpg_FULL_QUEUE_" + pid, src.getFileWriterQueueName());
    EXPECT_EQ("/239_1_1_1_50000_mpg_EMPTY_QUEUE_" + pid, src.getFileWriterReturnQueueName());
    NtwkSrcAsynch top(0xEF010101, 65535, LOOPBACK, "./", 10, 65536, false, false);
    EXPECT_STREQ("239_1_1_1_65535", top.getStreamLabel());
    EXPECT_TRUE(top.getFileWriterFileName().empty());
}

TEST(NetSource, WriterThatCannotOpenItsFileFailsTheStart)
{
    NtwkSrcAsynch src(0xEF010101, 50010, LOOPBACK, "/nonexistent_korbalt_dir/", 4, 4096, true, false);
    ASSERT_TRUE(src.init());
    EXPECT_EQ(5, src.startFileWriter());
    EXPECT_NE(std::string::npos, src.getFailureText().find("/nonexistent_korbalt_dir/239_1_1_1_50010.mpg"))
        << src.getFailureText();
}

// The copy holds exactly what arrived, also with writer buffers smaller than a datagram,
// and the partly filled last writer buffer is written at the stop.
TEST(NetSource, CopyEqualsWhatWasSentForEveryWriterBufferSize)
{
    IN_PRIVATE_NETWORK(120, {
        TempDir dir;
        const int writerSizes[] = {65536, 1316, 1000, 100, 7};
        for (int writerSize : writerSizes) {
            SCOPED_TRACE("writer buffer " + std::to_string(writerSize));
            std::string sent;
            std::string copyName;
            std::vector<std::string> names;
            {
                NtwkSrcAsynch src(TEST_GROUP, 50020, LOOPBACK, dir.path() + "/", 4, writerSize, true, false);
                names = {src.getEmptyQueueName(), src.getFullQueueName(), src.getFileWriterQueueName(),
                         src.getFileWriterReturnQueueName()};
                copyName = src.getFileWriterFileName();
                ASSERT_TRUE(src.init());
                ASSERT_EQ(0, src.startNtwkReader()) << src.getFailureText();
                ASSERT_EQ(0, src.startFileWriter()) << src.getFailureText();
                LoopbackSender sender;
                long long got = 0;
                for (int i = 0; i < 60; ++i) {
                    std::string d = numbered(i, i == 59 ? 500 : 1316);
                    sent += d;
                    ASSERT_TRUE(sender.send(TEST_GROUP, 50020, d.data(), d.size()));
                    // Take buffers until this datagram is in (empty ones come from silence).
                    for (int tries = 0; tries < 5 && got < (long long)sent.size(); ++tries) {
                        unsigned char* b = nullptr;
                        long long n = 0;
                        if (src.getRawDataBuff(&b, &n)) {
                            EXPECT_EQ(0, memcmp(b, sent.data() + got, (size_t)n));
                            got += n;
                            EXPECT_TRUE(src.releaseRawDataBuff());
                        }
                    }
                }
                EXPECT_EQ((long long)sent.size(), got);
                EXPECT_EQ((long long)sent.size(), src.getBytesCopied());
                EXPECT_EQ(0, src.stopReader());
            }
            EXPECT_TRUE(readFile(copyName) == sent) << readFile(copyName).size() << " of " << sent.size();
            for (const std::string& n : names)
                EXPECT_FALSE(queueExists(n)) << n;
        }
    });
}

// A copy with direct writes starts its writer paused: once the paused writer holds every
// copy buffer, Ctrl-C must still free the decoding thread (the copy is then given up).
TEST(NetSource, PausedDirectCopyDoesNotHoldTheDecoderPastAnAbort)
{
    // The paused writer signals the parent process, which is this one, when it ends.
    testsupport::SignalCounter ended(SIGUSR1);
    IN_PRIVATE_NETWORK(60, {
        TempDir dir;
        NtwkSrcAsynch src(TEST_GROUP, 50025, LOOPBACK, dir.path() + "/", 2, 1316, true, true);
        ASSERT_TRUE(src.init());
        ASSERT_EQ(0, src.startNtwkReader()) << src.getFailureText();
        ASSERT_EQ(0, src.startFileWriter()) << src.getFailureText();
        std::thread aborter([] {
            usleep(1500000);
            StreamDecoder::requestAbort();
        });
        LoopbackSender sender;
        bool released = true;
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 8 && released && std::chrono::steady_clock::now() - start < std::chrono::seconds(10);
             ++i) {
            std::string d = numbered(i, 1316);
            ASSERT_TRUE(sender.send(TEST_GROUP, 50025, d.data(), d.size()));
            unsigned char* b = nullptr;
            long long n = 0;
            for (int tries = 0; tries < 5; ++tries) {
                if (src.getRawDataBuff(&b, &n)) {
                    released = src.releaseRawDataBuff();
                    break;
                }
            }
        }
        aborter.join();
        StreamDecoder::clearAbortRequest();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_NE(std::string::npos, src.getFailureText().find("incomplete")) << src.getFailureText();
        EXPECT_EQ(0, src.stopReader());
    });
}

// A datagram-less second: an empty buffer that the source hands straight back, no error.
TEST(NetSource, SilenceGivesAnEmptyBufferAndNoError)
{
    IN_PRIVATE_NETWORK(30, {
        NtwkSrcAsynch src(TEST_GROUP, 50030, LOOPBACK, "./", 4, 65536, false, false);
        ASSERT_TRUE(src.init());
        ASSERT_EQ(0, src.startNtwkReader());
        unsigned char* b = nullptr;
        long long n = 0;
        auto start = std::chrono::steady_clock::now();
        bool got = false;
        while (!got && std::chrono::steady_clock::now() - start < std::chrono::seconds(3))
            got = src.getRawDataBuff(&b, &n);
        EXPECT_FALSE(got);
        EXPECT_EQ(StreamSrcAsynch::SRC_STATE_RUNNING, src.getState());
        EXPECT_TRUE(src.getFailureText().empty());
        EXPECT_EQ(0, src.getPercentComplete());
    });
}

TEST(NetSource, UnjoinableGroupFailsWithTheReason)
{
    IN_PRIVATE_NETWORK(30, {
        NtwkSrcAsynch src(TEST_GROUP, 50040, NOT_LOCAL, "./", 4, 65536, false, false);
        ASSERT_TRUE(src.init());
        EXPECT_EQ(4, src.startNtwkReader());
        EXPECT_NE(std::string::npos, src.getFailureText().find("239.255.42.42")) << src.getFailureText();
        EXPECT_NE(std::string::npos, src.getFailureText().find("10.255.255.1")) << src.getFailureText();
    });
}

// The decoder on a network source: an abort ends it within about a second.
TEST(NetDecoder, AbortEndsALiveRun)
{
    IN_PRIVATE_NETWORK(60, {
        MsgCallback registry;
        InputParams params(TEST_GROUP, 50050, LOOPBACK, "./", 10, 65536, false, false);
        StreamDecoder decoder(params, &registry);
        std::atomic<bool> done(false);
        std::thread sender([&] {
            EXPECT_TRUE(waitForUdpPort(50050, 10000));
            LoopbackSender s;
            std::string stream = readFile(fixture("h264_baseline_360_aac.ts"));
            s.sendPaced(TEST_GROUP, 50050, stream, 5e6);
            usleep(300000);
            StreamDecoder::requestAbort();
            done = true;
        });
        int result = decoder.startDecoding(0);
        sender.join();
        StreamDecoder::clearAbortRequest();
        EXPECT_TRUE(done.load());
        EXPECT_EQ(StreamDecoder::DECODE_ENDED, result);
        EXPECT_EQ((long long)readFile(fixture("h264_baseline_360_aac.ts")).size(), decoder.getBytesProcessed());
        EXPECT_TRUE(decoder.getFailureText().empty()) << decoder.getFailureText();
    });
}

// ---------------------------------------------------------------- korbalt -n end to end

namespace {

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Starts korbalt with args in dir (its outputs land there); returns its pid.
pid_t startKorbalt(const TempDir& dir, const std::vector<std::string>& args)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0)
            _exit(126);
        int out = open((dir.path() + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open((dir.path() + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> argv;
        argv.push_back((char*)"korbalt");
        for (const std::string& a : args)
            argv.push_back((char*)a.c_str());
        argv.push_back(nullptr);
        execv(KORBALT_BINARY, argv.data());
        _exit(127);
    }
    return pid;
}

ProgramRun finishKorbalt(const TempDir& dir, pid_t pid, bool interrupt, int seconds)
{
    ProgramRun r;
    if (interrupt)
        kill(pid, SIGINT);
    int status = 0;
    bool ended = false;
    for (int i = 0; i < seconds * 100 && !ended; ++i) {
        ended = waitpid(pid, &status, WNOHANG) == pid;
        if (!ended)
            usleep(10000);
    }
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "korbalt did not end";
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    r.out = readFile(dir.file("stdout.txt"));
    r.err = readFile(dir.file("stderr.txt"));
    return r;
}

std::string lineStarting(const std::string& text, const std::string& key)
{
    size_t at = text.find("\n" + key);
    if (at == std::string::npos)
        return "";
    size_t end = text.find('\n', at + 1);
    return text.substr(at + 1, end - at - 1);
}

}  // namespace

// A fixture sent at 20 Mbit/s to the group on loopback: nothing lost (the bytes analysed and
// the copy equal the file), and the report has what the file's own report has.
TEST(NetKorbalt, MulticastAt20MbitsLosesNothingAndCopiesExactly)
{
    IN_PRIVATE_NETWORK(120, {
        TempDir dir;
        // About a second at 20 Mbit/s; the file gets the same analysis, joins included.
        std::string piece = readFile(fixture("mpeg2_576_16x9_ac3.ts"));
        std::string stream = piece + piece + piece + piece + piece;
        std::string name = dir.file("five.ts");
        {
            std::ofstream out(name, std::ios::binary);
            out.write(stream.data(), (std::streamsize)stream.size());
        }

        // The file's own analysis, for comparison.
        {
            pid_t pid = startKorbalt(dir, {"-report_dst", dir.path() + "/", "-report_name", "file", "-f", name});
            ProgramRun r = finishKorbalt(dir, pid, false, 60);
            ASSERT_EQ(0, r.status) << r.err;
        }
        std::string fileReport = readFile(dir.file("file"));

        pid_t pid = startKorbalt(dir, {"-d", "-report_dst", dir.path() + "/", "-report_name", "net", "-n", "-ip",
                                       "239.255.42.42", "-p", "50000", "-int", "127.0.0.1"});
        ASSERT_TRUE(waitForUdpPort(50000, 10000));
        LoopbackSender sender;
        int datagrams = sender.sendPaced(TEST_GROUP, 50000, stream, 20e6);
        EXPECT_EQ((int)((stream.size() + 1315) / 1316), datagrams);
        usleep(1500000);
        ProgramRun r = finishKorbalt(dir, pid, true, 30);
        EXPECT_EQ(0, r.status) << r.err;

        std::string log = readFile(dir.file("net_log.txt"));
        EXPECT_EQ((long long)stream.size(), processedFromLog(log)) << "datagrams were lost";
        EXPECT_TRUE(readFile(dir.file("239_255_42_42_50000.mpg")) == stream) << "the copy differs from what was sent";

        std::string report = readFile(dir.file("net"));
        EXPECT_NE(std::string::npos, report.find("Media Container:MPEG2 transport")) << report;
        EXPECT_NE(std::string::npos, report.find("<<< PAT Table >>>"));
        EXPECT_NE(std::string::npos, report.find("<<< PMT Table >>>"));
        EXPECT_EQ(lineStarting(fileReport, "TotalErrors:"), lineStarting(report, "TotalErrors:"));
        EXPECT_FALSE(lineStarting(report, "TotalErrors:").empty());
        std::string pidText = std::to_string(pid);
        EXPECT_FALSE(queueExists("/239_255_42_42_50000_EMPTY_QUEUE_" + pidText));
        EXPECT_FALSE(queueExists("/239_255_42_42_50000_mpg_FULL_QUEUE_" + pidText));
    });
}

// A unicast stream with an interface address that no interface has: nothing to join, and the
// stream arrives.
TEST(NetKorbalt, UnicastWithANonLocalInterfaceWorks)
{
    IN_PRIVATE_NETWORK(60, {
        TempDir dir;
        std::string stream = readFile(fixture("h264_baseline_360_aac.ts"));
        pid_t pid = startKorbalt(dir, {"-report_dst", dir.path() + "/", "-report_name", "uni", "-n", "-ip",
                                       "127.0.0.1", "-p", "50001", "-int", "10.255.255.1"});
        ASSERT_TRUE(waitForUdpPort(50001, 10000));
        LoopbackSender sender;
        sender.sendPaced(LOOPBACK, 50001, stream, 10e6);
        usleep(1200000);
        ProgramRun r = finishKorbalt(dir, pid, true, 30);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ((long long)stream.size(), processedFromLog(readFile(dir.file("uni_log.txt"))));
        EXPECT_NE(std::string::npos, readFile(dir.file("uni")).find("Media Container:MPEG2 transport"));
    });
}

// A multicast group on an interface address that no interface has, and a unicast address on
// a local interface address (the system refuses to join it): the start fails at once with one
// clear line and status 1.
TEST(NetKorbalt, UnjoinableAddressEndsWithTheReason)
{
    IN_PRIVATE_NETWORK(60, {
        struct Case {
            const char* address;
            const char* intf;
            const char* reason;
        } cases[] = {
            {"239.255.42.42", "10.255.255.1", "korbalt: cannot join multicast group 239.255.42.42: no local interface "
                                              "has address 10.255.255.1\n"},
            {"127.0.0.1", "127.0.0.1", "korbalt: cannot join 127.0.0.1 on interface 127.0.0.1: it is not a multicast "
                                       "group address (Invalid argument)\n"},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.address);
            TempDir dir;
            pid_t pid = startKorbalt(dir, {"-report_dst", dir.path() + "/", "-report_name", "bad", "-n", "-ip",
                                           c.address, "-p", "50002", "-int", c.intf});
            ProgramRun r = finishKorbalt(dir, pid, false, 20);
            EXPECT_EQ(1, r.status);
            EXPECT_EQ(c.reason, r.err);
        }
    });
}

namespace {

// The report's TotalErrors as a number, or -1.
long long totalErrors(const std::string& report)
{
    std::string line = lineStarting(report, "TotalErrors:");
    return line.empty() ? -1 : std::stoll(line.substr(12));
}

size_t occurrences(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// korbalt -n on the test group at port, with report name name, once its socket is bound.
pid_t startLiveKorbalt(const TempDir& dir, const std::string& name, uint16_t port)
{
    pid_t pid = startKorbalt(dir, {"-report_dst", dir.path() + "/", "-report_name", name, "-n", "-ip",
                                   "239.255.42.42", "-p", std::to_string(port), "-int", "127.0.0.1"});
    EXPECT_TRUE(waitForUdpPort(port, 10000));
    return pid;
}

// The fixture five times over (about a second at 20 Mbit/s), written to dir as five.ts, with
// the TotalErrors of that file's own analysis (the joins make a few).
std::string fiveTimes(const TempDir& dir, long long* fileErrors)
{
    std::string piece = readFile(fixture("mpeg2_576_16x9_ac3.ts"));
    std::string stream = piece + piece + piece + piece + piece;
    std::string name = dir.file("five.ts");
    testsupport::writeFile(name, stream);
    pid_t pid = startKorbalt(dir, {"-report_dst", dir.path() + "/", "-report_name", "file", "-f", name});
    ProgramRun r = finishKorbalt(dir, pid, false, 60);
    EXPECT_EQ(0, r.status) << r.err;
    *fileErrors = totalErrors(readFile(dir.file("file")));
    return stream;
}

}  // namespace

namespace {

// A datagram of 1316 bytes that never holds the sync byte.
std::string noiseDatagram()
{
    std::string noise(1316, '\0');
    for (size_t i = 0; i < noise.size(); ++i)
        noise[i] = (char)((i * 7 + 1) % 71);
    return noise;
}

}  // namespace

// A live run is not ended by what comes before the stream: a 1-byte datagram and one of
// 1316 bytes that are no stream are skipped as a sync loss of their bytes, and the stream
// that follows is analysed until Ctrl-C.
TEST(NetKorbalt, StrayDatagramsBeforeTheStreamAreSkipped)
{
    IN_PRIVATE_NETWORK(60, {
        TempDir dir;
        std::string stream = readFile(fixture("h264_baseline_360_aac.ts"));
        pid_t pid = startLiveKorbalt(dir, "stray", 50003);
        LoopbackSender sender;
        const std::string noise = noiseDatagram();
        ASSERT_TRUE(sender.send(TEST_GROUP, 50003, "x", 1));
        ASSERT_TRUE(sender.send(TEST_GROUP, 50003, noise.data(), noise.size()));
        usleep(100000);
        sender.sendPaced(TEST_GROUP, 50003, stream, 10e6);
        usleep(1200000);
        ProgramRun r = finishKorbalt(dir, pid, true, 30);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.err);
        std::string log = readFile(dir.file("stray_log.txt"));
        EXPECT_EQ((long long)stream.size() + 1317, processedFromLog(log));
        EXPECT_EQ(1u, occurrences(log, "StreamDecoder: unrecognised input skipped")) << log;
        EXPECT_NE(std::string::npos, log.find("Sync lost at byte 0, regained at byte 1317: 1317 bytes skipped\n"));
        std::string report = readFile(dir.file("stray"));
        EXPECT_NE(std::string::npos, report.find("Media Container:MPEG2 transport")) << report;
        EXPECT_NE(std::string::npos,
                  report.find("Pid:8191Packet=\"0\"Type=\"Sync Loss\"Description=\"1317 bytes skipped\""))
            << report;
        EXPECT_EQ(1, totalErrors(report));

        // Nothing but what is no stream: the run goes on until Ctrl-C, and then says so.
        pid = startLiveKorbalt(dir, "noise", 50003);
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(sender.send(TEST_GROUP, 50003, noise.data(), noise.size()));
        usleep(500000);
        EXPECT_EQ(0, waitpid(pid, nullptr, WNOHANG)) << "the run ended before Ctrl-C";
        r = finishKorbalt(dir, pid, true, 30);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("korbalt: the input is neither an MPEG-2 transport stream nor FLV\n", r.err);

        // Nothing at all, as with a wrong group, port or interface: a failure that says where
        // it listened, and the report and log all the same.
        pid = startLiveKorbalt(dir, "silent", 50003);
        usleep(300000);
        r = finishKorbalt(dir, pid, true, 30);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("korbalt: no datagram received on 239.255.42.42:50003 (interface 127.0.0.1)\n", r.err);
        EXPECT_NE(std::string::npos, readFile(dir.file("silent")).find("TotalErrors:0"));
        EXPECT_NE(std::string::npos, readFile(dir.file("silent_log.txt")).find("StreamDecoder Processed 0 Bytes"));
    });
}

// What came before the stream was recognised reaches the report however the run goes on:
// a silence after a stray datagram is an Input Gap, and a search for the packet grid still
// open at Ctrl-C (a live run's end) is judged as at the end of a file.
TEST(NetKorbalt, WhatCameBeforeTheStreamIsReported)
{
    IN_PRIVATE_NETWORK(60, {
        TempDir dir;
        std::string stream = readFile(fixture("h264_baseline_360_aac.ts"));
        const std::string noise = noiseDatagram();
        LoopbackSender sender;

        pid_t pid = startLiveKorbalt(dir, "late", 50003);
        ASSERT_TRUE(sender.send(TEST_GROUP, 50003, noise.data(), noise.size()));
        usleep(1500000);
        sender.sendPaced(TEST_GROUP, 50003, stream, 10e6);
        usleep(1200000);
        ProgramRun r = finishKorbalt(dir, pid, true, 30);
        EXPECT_EQ(0, r.status) << r.err;
        std::string report = readFile(dir.file("late"));
        EXPECT_NE(std::string::npos, report.find("Type=\"Input Gap\"")) << report;
        EXPECT_NE(std::string::npos, report.find("Type=\"Sync Loss\"Description=\"1316 bytes skipped\"")) << report;
        EXPECT_EQ(2, totalErrors(report));

        pid = startLiveKorbalt(dir, "cut", 50003);
        ASSERT_TRUE(sender.send(TEST_GROUP, 50003, noise.data(), noise.size()));
        ASSERT_TRUE(sender.send(TEST_GROUP, 50003, stream.data(), 188));
        usleep(500000);
        r = finishKorbalt(dir, pid, true, 30);
        EXPECT_EQ(0, r.status) << r.err;
        report = readFile(dir.file("cut"));
        EXPECT_NE(std::string::npos, report.find("Media Container:MPEG2 transport")) << report;
        EXPECT_NE(std::string::npos, report.find("Type=\"Sync Loss\"")) << report;
        EXPECT_EQ(1, totalErrors(report));
    });
}

// Datagrams of 48 packets (jumbo frames) and of 348 (the largest that UDP carries) arrive
// whole: the analysis is the file's, byte for byte.
TEST(NetKorbalt, LargeDatagramsArriveWhole)
{
    IN_PRIVATE_NETWORK(120, {
        TempDir dir;
        long long fileErrors = -1;
        std::string stream = fiveTimes(dir, &fileErrors);
        for (size_t chunk : {48 * 188, 348 * 188}) {
            SCOPED_TRACE("datagrams of " + std::to_string(chunk) + " bytes");
            std::string name = "big" + std::to_string(chunk);
            pid_t pid = startLiveKorbalt(dir, name, 50004);
            LoopbackSender sender;
            sender.sendPaced(TEST_GROUP, 50004, stream, 20e6, chunk);
            usleep(1200000);
            ProgramRun r = finishKorbalt(dir, pid, true, 30);
            EXPECT_EQ(0, r.status) << r.err;
            EXPECT_EQ((long long)stream.size(), processedFromLog(readFile(dir.file(name + "_log.txt"))));
            std::string report = readFile(dir.file(name));
            EXPECT_EQ(fileErrors, totalErrors(report)) << report;
            EXPECT_EQ(std::string::npos, report.find("Datagram Cut"));
        }
    });
}

// Two seconds of silence inside the stream, counter and clock going on after it: one
// error in the report, with the length of the silence.
TEST(NetKorbalt, SilenceInsideTheStreamIsAnError)
{
    IN_PRIVATE_NETWORK(120, {
        TempDir dir;
        long long fileErrors = -1;
        std::string stream = fiveTimes(dir, &fileErrors);
        pid_t pid = startLiveKorbalt(dir, "gap", 50005);
        LoopbackSender sender;
        const size_t half = stream.size() / 2 / 1316 * 1316;
        sender.sendPaced(TEST_GROUP, 50005, stream.substr(0, half), 20e6);
        usleep(2000000);
        sender.sendPaced(TEST_GROUP, 50005, stream.substr(half), 20e6);
        usleep(1200000);
        ProgramRun r = finishKorbalt(dir, pid, true, 30);
        EXPECT_EQ(0, r.status) << r.err;
        std::string log = readFile(dir.file("gap_log.txt"));
        EXPECT_EQ((long long)stream.size(), processedFromLog(log));
        std::string report = readFile(dir.file("gap"));
        EXPECT_EQ(fileErrors + 1, totalErrors(report)) << report;
        const std::string key = "Type=\"Input Gap\"Description=\"";
        size_t at = report.find(key);
        ASSERT_NE(std::string::npos, at) << report;
        double seconds = std::stod(report.substr(at + key.size()));
        EXPECT_GE(seconds, 1.9);
        EXPECT_LT(seconds, 3.0);
        EXPECT_NE(std::string::npos, report.find(" s without data\"", at));
    });
}

// Lines that a live feed can repeat for days stop at 10,000 of a kind, with one line
// saying so: sync losses, failed receives (one a second on a silent feed), cut datagrams,
// and the copy writer's line for each buffer.
TEST(NetLogs, RepeatedLinesStopAtTenThousandOfAKind)
{
    IN_PRIVATE_NETWORK(180, {
        TempDir dir;
        const size_t kLimit = 10000;
        {
            // A stream with a stray byte after every seven packets: one sync loss each.
            std::string piece = readFile(fixture("mpeg2_576_16x9_ac3.ts"));
            pid_t pid = startLiveKorbalt(dir, "flood", 50006);
            LoopbackSender sender;
            const size_t chunk = 7 * 188;
            auto start = std::chrono::steady_clock::now();
            size_t at = 0;
            for (size_t i = 0; i < kLimit + 200; ++i) {
                if (at + chunk > piece.size())
                    at = 0;
                ASSERT_TRUE(sender.send(TEST_GROUP, 50006, piece.data() + at, chunk));
                at += chunk;
                ASSERT_TRUE(sender.send(TEST_GROUP, 50006, "x", 1));
                // Paced at about 50 Mbit/s, so that no socket buffer overflows.
                std::this_thread::sleep_until(start + std::chrono::microseconds(210 * (i + 1)));
            }
            usleep(1200000);
            ProgramRun r = finishKorbalt(dir, pid, true, 30);
            EXPECT_EQ(0, r.status) << r.err;
            std::string log = readFile(dir.file("flood_log.txt"));
            EXPECT_EQ(kLimit, occurrences(log, "Sync lost at byte "));
            EXPECT_EQ(1u, occurrences(log, "Further sync losses are not logged\n"));
            EXPECT_GT(totalErrors(readFile(dir.file("flood"))), (long long)kLimit);
        }

        testsupport::LogCapture log(dir);
        std::string failedLine;
        UdpSocket s;  // open to the end, so that no later socket logs under its number
        {
            ASSERT_EQ(0, createUdpSocket(&s));
            failedLine = "Failed to receive from socket " + std::to_string(s.sock) + " errno: 11\n";
            ASSERT_EQ(0, bindUdpSocket(&s, LOOPBACK, 50007));
            unsigned char b[16];
            int count = 0;
            for (size_t i = 0; i < kLimit + 5; ++i)
                EXPECT_EQ(5, recvFromUdpSocketNonBlock(&s, nullptr, nullptr, b, sizeof(b), &count));
        }
        {
            UdpRig rig(2, UDP_TABLE_BYTES + 104);
            pthread_t tid;
            ASSERT_EQ(0, rig.start(&tid, LOOPBACK, 50008, NOT_LOCAL));
            LoopbackSender sender;
            std::string d = numbered(1, 200);
            for (size_t i = 0; i < kLimit + 5; i += 50) {
                for (size_t k = 0; k < 50; ++k)
                    ASSERT_TRUE(sender.send(LOOPBACK, 50008, d.data(), d.size()));
                for (size_t k = 0; k < 50; ++k) {
                    AppMsg m;
                    ASSERT_TRUE(rig.next(&m));
                    EXPECT_EQ(104, m.length);
                    rig.giveBack(m);
                }
            }
            rig.stop();
            EXPECT_TRUE(joinWithin(tid, 3000));
        }
        {
            WriterRig rig;
            pthread_t tid;
            ASSERT_EQ(0, rig.start(&tid, dir.file("copy.mpg"), false));
            rig.send(0);
            for (size_t i = 0; i < kLimit + 5; ++i) {
                rig.expectReturned(0, 3000);
                AppMsg m = {APP_MSG_NTWK_BUFFER, 65536, 0, rig.buffers[0]};
                announceBufferSent(m.buffer);
                ASSERT_EQ(0, sendMsg(rig.wq, &m, sizeof(m)));
            }
            rig.expectReturned(0, 3000);
            rig.sendExit();
            EXPECT_TRUE(joinWithin(tid, 3000));
        }
        std::string text = log.text();
        closeUdpSocket(&s);
        EXPECT_EQ(kLimit, occurrences(text, failedLine));
        EXPECT_EQ(1u, occurrences(text, "Further failed receives on socket "));
        EXPECT_EQ(kLimit, occurrences(text, "UDP Reader: datagram longer than the "));
        EXPECT_EQ(1u, occurrences(text, "UDP Reader: further cut datagrams are not logged\n"));
        EXPECT_EQ(kLimit, occurrences(text, "File Writer: getting into receivePriorityMsg"));
        EXPECT_EQ(1u, occurrences(text, "File Writer: further receives are not logged\n"));
    });
}
