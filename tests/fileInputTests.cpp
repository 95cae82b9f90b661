// File input: the file reader thread on its own queues, and the file source over it.
#include "engine/fileSrcAsynch.h"
#include "engine/streamSrcAsynch.h"
#include "platform/fileLogger.h"
#include "platform/fileReader.h"
#include "platform/posixMsgQueues.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <mqueue.h>
#include <mutex>
#include <pthread.h>
#include <sstream>
#include <string>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::waitChildWithin;
using testsupport::Watchdog;
using testsupport::readFile;
using testsupport::writeFile;
using testsupport::LogCapture;
using testsupport::queueExists;
using testsupport::joinWithin;

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KORBALT_TEST_ASAN 1
#endif

// The sanitizers replace mlockall with a no-op that succeeds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KORBALT_TEST_NO_MLOCK 1
#endif

namespace {

// Each test's own directory under /tmp.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("korbalt_h2_fin_") {}
};

// Bytes whose value depends on their offset, so a repeated or skipped range shows.
std::string patterned(size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = (char)((i * 7 + i / 251) & 0xFF);
    return s;
}

std::string uniqueQueueName(const char* tag)
{
    return testsupport::uniqueQueueName(std::string("/korbalt_h2_") + tag + "_");
}

// The two queues a reader runs between, with buffers the test owns.
struct ReaderRig {
    std::string emptyName = uniqueQueueName("empty");
    std::string fullName = uniqueQueueName("full");
    int emptyQ = -1;
    int fullQ = -1;
    std::vector<unsigned char*> buffers;
    int capacity;

    // Room for every buffer and one control message behind them, or for room messages.
    ReaderRig(int numBuffers, int capacity, int room = 0) : capacity(capacity)
    {
        if (room < 1)
            room = numBuffers + 1 <= 10 ? numBuffers + 1 : 10;
        QueueAttr attr = {0, room, (int64_t)sizeof(AppMsg), 0};
        mq_unlink(emptyName.c_str());
        mq_unlink(fullName.c_str());
        emptyQ = createMsgQueue(emptyName.c_str(), 0660, &attr);
        fullQ = createMsgQueue(fullName.c_str(), 0660, &attr);
        for (int i = 0; i < numBuffers; ++i) {
            unsigned char* b = (unsigned char*)malloc((size_t)capacity);
            memset(b, 0xFF, (size_t)capacity);
            buffers.push_back(b);
        }
    }
    ~ReaderRig()
    {
        if (emptyQ >= 0)
            mq_close(emptyQ);
        if (fullQ >= 0)
            mq_close(fullQ);
        mq_unlink(emptyName.c_str());
        mq_unlink(fullName.c_str());
        for (unsigned char* b : buffers)
            free(b);
    }
    void post(unsigned char* buffer, unsigned int priority = 16)
    {
        AppMsg m = {APP_MSG_FILE_BUFFER, capacity, 0, buffer};
        announceBufferSent(buffer);
        ASSERT_EQ(0, sendPriorityMsg(emptyQ, &m, sizeof(m), priority));
    }
    void postAll()
    {
        for (unsigned char* b : buffers)
            post(b);
    }
    void postExit()
    {
        AppMsg m = {APP_MSG_EXIT, 0, 0, nullptr};
        ASSERT_EQ(0, sendPriorityMsg(emptyQ, &m, sizeof(m), 30));
    }
    // Next message from the full queue within ms; false on a time-out.
    bool next(AppMsg* m, unsigned int* priority, int ms = 5000)
    {
        int len = 0;
        bool got = receiveTimedPriorityMsg(fullQ, m, sizeof(*m), &len, priority, ms) == (int)sizeof(AppMsg);
        if (got)
            announceBufferReceived(m->buffer);
        return got;
    }
    int start(const std::string& file, pthread_t* tid, bool wrap = false)
    {
        ThreadArg args[4] = {
            {FILE_READER_ARG_FILE_NAME, (uint64_t)(uintptr_t)file.c_str()},
            {FILE_READER_ARG_EMPTY_QUEUE, (uint64_t)(uintptr_t)emptyName.c_str()},
            {FILE_READER_ARG_FULL_QUEUE, (uint64_t)(uintptr_t)fullName.c_str()},
            {FILE_READER_ARG_WRAP, wrap ? 1u : 0u},
        };
        return fileReaderThreadStart(tid, args, 4);
    }
};

struct Delivery {
    std::vector<long long> lengths;  // data buffers in order
    std::string data;
    bool endOfFile = false;
    long long endOfFileLength = 0;
    std::vector<unsigned int> priorities;
};

// Runs a reader over file with the rig's buffers, recycling each buffer as a consumer does.
Delivery readAll(ReaderRig& rig, const std::string& file)
{
    Delivery d;
    pthread_t tid;
    EXPECT_EQ(0, rig.start(file, &tid));
    rig.postAll();
    for (int guard = 0; guard < 100000; ++guard) {
        AppMsg m;
        unsigned int prio = 0;
        if (!rig.next(&m, &prio)) {
            ADD_FAILURE() << "no message within the time-out";
            break;
        }
        d.priorities.push_back(prio);
        if (m.type == APP_MSG_END_OF_FILE) {
            d.endOfFile = true;
            d.endOfFileLength = m.length;
            break;
        }
        EXPECT_EQ(APP_MSG_FILE_BUFFER, m.type);
        EXPECT_LE(m.length, m.capacity);
        d.lengths.push_back(m.length);
        if (m.length > 0)
            d.data.append((const char*)m.buffer, (size_t)m.length);
        m.length = 0;
        announceBufferSent(m.buffer);
        EXPECT_EQ(0, sendPriorityMsg(rig.emptyQ, &m, sizeof(m), prio));
    }
    EXPECT_TRUE(joinWithin(tid, 5000)) << "the reader did not end after the end of file";
    return d;
}

}  // namespace

TEST(FileInputSize, OfRegularMissingAndSpecialFiles)
{
    TempDir dir;
    writeFile(dir.file("a"), std::string(12345, 'x'));
    writeFile(dir.file("empty"), "");
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    EXPECT_EQ(12345, getFileSizeOfFileName(dir.file("a").c_str()));
    EXPECT_EQ(0, getFileSizeOfFileName(dir.file("empty").c_str()));
    EXPECT_EQ(0, getFileSizeOfFileName(dir.file("missing").c_str()));
    // Never a one-byte "file", and the FIFO is not opened (that would block).
    EXPECT_EQ(-1, getFileSizeOfFileName(dir.file("fifo").c_str()));
    EXPECT_EQ(-1, getFileSizeOfFileName(dir.path().c_str()));
}

// Buffer lengths by file size: each length is what was read, then the end-of-file message.
TEST(FileInputReader, BuffersAtEveryBoundary)
{
    Watchdog dog(60, "FileInputReader.BuffersAtEveryBoundary");
    TempDir dir;
    LogCapture log(dir);
    struct Case {
        long long size;
        int capacity;
        std::vector<long long> lengths;
    } cases[] = {
        {0, 65536, {0}},
        {1, 65536, {1}},
        {187, 65536, {187}},
        {188, 65536, {188}},
        {65535, 65536, {65535}},
        {65536, 65536, {65536, 0}},
        {131072, 65536, {65536, 65536, 0}},
        {100000, 65536, {65536, 34464}},
        {1000, 188, {188, 188, 188, 188, 188, 60}},
        {564, 188, {188, 188, 188, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("size " + std::to_string(c.size) + " capacity " + std::to_string(c.capacity));
        std::string content = patterned((size_t)c.size);
        std::string name = dir.file("f" + std::to_string(c.size));
        writeFile(name, content);
        ReaderRig rig(3, c.capacity);
        size_t logStart = log.text().size();
        Delivery d = readAll(rig, name);
        // Nothing left for the last buffer: its read of 0 bytes is refused and said so.
        bool endsExactly = c.lengths.back() == 0;
        EXPECT_EQ(endsExactly, log.text().substr(logStart).find("Either BufferSize < 0 or Offset+BufferSize is to big\n"
                                                                 "File Reader: Issues at the end of file\n") !=
                                   std::string::npos);
        EXPECT_EQ(c.lengths, d.lengths);
        EXPECT_TRUE(d.endOfFile);
        EXPECT_EQ(0, d.endOfFileLength);
        EXPECT_TRUE(d.data == content);
        for (unsigned int p : d.priorities)
            EXPECT_EQ(16u, p);
        std::string text = log.text();
        EXPECT_NE(std::string::npos, text.find("File Reader Total Bytes Read " + std::to_string(c.size) + "\n"));
    }
}

// The command line accepts names of 1023 characters; the reader must open exactly that file.
TEST(FileInputReader, FullLengthNameIsNeverCut)
{
    Watchdog dog(30, "FileInputReader.FullLengthNameIsNeverCut");
    TempDir dir;
    std::string path = dir.path();
    while (path.size() + 1 + 200 < 1023) {
        path += "/" + std::string(200, 'd');
        ASSERT_EQ(0, mkdir(path.c_str(), 0700));
    }
    std::string name = path + "/" + std::string(1023 - path.size() - 1, 'f');
    ASSERT_EQ(1023u, name.size());
    writeFile(name, patterned(5000));
    ReaderRig rig(2, 4096);
    Delivery d = readAll(rig, name);
    EXPECT_EQ((std::vector<long long>{4096, 904}), d.lengths);
    EXPECT_TRUE(d.data == patterned(5000));

    // One character more does not fit: refused, not cut to another file's name.
    std::string longer = name + "x";
    pthread_t tid;
    EXPECT_EQ(5, rig.start(longer, &tid));
}

// A file that cannot be opened still ends the consumer's wait: end of file with the reason.
TEST(FileInputReader, MissingFileSendsEndOfFileWithTheError)
{
    Watchdog dog(30, "FileInputReader.MissingFileSendsEndOfFileWithTheError");
    TempDir dir;
    ReaderRig rig(2, 4096);
    Delivery d = readAll(rig, dir.file("missing.ts"));
    EXPECT_TRUE(d.lengths.empty());
    EXPECT_TRUE(d.endOfFile);
    EXPECT_EQ(-ENOENT, d.endOfFileLength);
}

TEST(FileInputReader, FifoIsNotOpenedAndEndsTheReading)
{
    Watchdog dog(30, "FileInputReader.FifoIsNotOpenedAndEndsTheReading");
    TempDir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    ReaderRig rig(2, 4096);
    Delivery d = readAll(rig, fifo);
    EXPECT_TRUE(d.lengths.empty());
    EXPECT_TRUE(d.endOfFile);
    EXPECT_LT(d.endOfFileLength, 0);
}

// The exit message overtakes waiting buffers; they stay in the queue for their owner.
TEST(FileInputReader, ExitOvertakesWaitingBuffers)
{
    Watchdog dog(30, "FileInputReader.ExitOvertakesWaitingBuffers");
    TempDir dir;
    std::string name = dir.file("f");
    writeFile(name, patterned(100000));
    ReaderRig rig(3, 4096);
    rig.postAll();
    rig.postExit();
    LogCapture log(dir);
    pthread_t tid;
    ASSERT_EQ(0, rig.start(name, &tid));
    ASSERT_TRUE(joinWithin(tid, 5000));
    AppMsg m;
    unsigned int prio;
    EXPECT_FALSE(rig.next(&m, &prio, 50)) << "no buffer was read";
    struct mq_attr attr;
    ASSERT_EQ(0, mq_getattr(rig.emptyQ, &attr));
    EXPECT_EQ(3, attr.mq_curmsgs);
    std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("File Reader: Got exit message Prority 30\n"));
    EXPECT_NE(std::string::npos, text.find("Exiting File Reader Thread ...\n"));
}

// A file that shrinks under the reader: what is there is delivered once, then the end; the
// reader never delivers stale bytes or loops on one offset.
TEST(FileInputReader, ShrinkingFileEndsWithoutRepeating)
{
    Watchdog dog(30, "FileInputReader.ShrinkingFileEndsWithoutRepeating");
    TempDir dir;
    std::string name = dir.file("f");
    writeFile(name, patterned(40000));
    ReaderRig rig(2, 10000);
    pthread_t tid;
    ASSERT_EQ(0, rig.start(name, &tid));
    rig.post(rig.buffers[0]);
    AppMsg m;
    unsigned int prio;
    ASSERT_TRUE(rig.next(&m, &prio));
    EXPECT_EQ(10000, m.length);
    ASSERT_EQ(0, truncate(name.c_str(), 15000));
    memset(rig.buffers[1], 0xEE, 10000);
    rig.post(rig.buffers[1]);
    ASSERT_TRUE(rig.next(&m, &prio));
    EXPECT_EQ(5000, m.length);  // the part that is left
    EXPECT_EQ(0, memcmp(m.buffer, patterned(15000).data() + 10000, 5000));
    rig.post(rig.buffers[0]);
    ASSERT_TRUE(rig.next(&m, &prio));
    EXPECT_EQ(APP_MSG_FILE_BUFFER, m.type);
    EXPECT_EQ(0, m.length);
    ASSERT_TRUE(rig.next(&m, &prio));
    EXPECT_EQ(APP_MSG_END_OF_FILE, m.type);
    EXPECT_TRUE(joinWithin(tid, 5000));
}

// With wrap on, every buffer is full and the file repeats seamlessly.
TEST(FileInputReader, WrapFillsEveryBufferAcrossTheEnd)
{
    Watchdog dog(30, "FileInputReader.WrapFillsEveryBufferAcrossTheEnd");
    TempDir dir;
    std::string name = dir.file("f");
    std::string content = patterned(1000);
    writeFile(name, content);
    ReaderRig rig(2, 4096);
    pthread_t tid;
    ASSERT_EQ(0, rig.start(name, &tid, true));
    rig.postAll();
    std::string got;
    for (int i = 0; i < 5; ++i) {
        AppMsg m;
        unsigned int prio;
        ASSERT_TRUE(rig.next(&m, &prio));
        ASSERT_EQ(APP_MSG_FILE_BUFFER, m.type);
        EXPECT_EQ(4096, m.length);
        got.append((const char*)m.buffer, (size_t)m.length);
        if (i < 3) {
            m.length = 0;
            announceBufferSent(m.buffer);
            ASSERT_EQ(0, sendPriorityMsg(rig.emptyQ, &m, sizeof(m), prio));
        }
    }
    rig.postExit();
    EXPECT_TRUE(joinWithin(tid, 5000));
    std::string expected;
    while (expected.size() < got.size())
        expected += content;
    EXPECT_TRUE(got == expected.substr(0, got.size()));
}

namespace {

// A buffer at the start of a 4096-aligned block whose bytes past the capacity are a guard:
// poisoned for the address sanitizer, and a pattern checked afterwards otherwise.
struct GuardedBuffer {
    unsigned char* block = nullptr;
    int capacity;
    static const int BLOCK = 4096;
    explicit GuardedBuffer(int capacity) : capacity(capacity)
    {
        void* p = nullptr;
        if (posix_memalign(&p, BLOCK, BLOCK) != 0)
            abort();
        block = (unsigned char*)p;
        memset(block, 0xA5, BLOCK);
#ifdef KORBALT_TEST_ASAN
        ASAN_POISON_MEMORY_REGION(block + capacity, BLOCK - capacity);
#endif
    }
    ~GuardedBuffer()
    {
#ifdef KORBALT_TEST_ASAN
        ASAN_UNPOISON_MEMORY_REGION(block + capacity, BLOCK - capacity);
#endif
        free(block);
    }
    bool guardIntact() const
    {
#ifdef KORBALT_TEST_ASAN
        ASAN_UNPOISON_MEMORY_REGION(block + capacity, BLOCK - capacity);
#endif
        bool intact = true;
        for (int i = capacity; i < BLOCK; ++i)
            intact = intact && block[i] == 0xA5;
#ifdef KORBALT_TEST_ASAN
        ASAN_POISON_MEMORY_REGION(block + capacity, BLOCK - capacity);
#endif
        return intact;
    }
};

}  // namespace

// Pause mode with its direct reads: the reader starts paused, SIGUSR2 resumes and pauses it,
// it tells its parent with SIGUSR1, and an exit message ends it while paused. Direct reads
// never fill past a buffer's capacity (1000 bytes: whole 512-byte blocks are read), and a
// buffer smaller than one block is read without direct I/O.
TEST(FileInputReader, PauseModeWithDirectReads)
{
    TempDir dir;
    std::string name = dir.file("f");
    std::string content = patterned(5000);
    writeFile(name, content);
    int probe = open(name.c_str(), O_RDONLY | O_DIRECT);
    if (probe < 0)
        GTEST_SKIP() << "this file system refuses O_DIRECT; pause mode (which reads directly) not checked";
    close(probe);

    testsupport::SignalCounter toParent(SIGUSR1);
    int rc = testsupport::runInChild(
        [&] {
            // The signal is for the reader thread alone.
            sigset_t usr2;
            sigemptyset(&usr2);
            sigaddset(&usr2, SIGUSR2);
            pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
            LogCapture log(dir);
            auto waitForLog = [&](const std::string& line, size_t count) {
                for (int i = 0; i < 300; ++i) {
                    std::string t = log.peek();
                    size_t n = 0;
                    for (size_t at = t.find(line); at != std::string::npos; at = t.find(line, at + 1))
                        ++n;
                    if (n >= count)
                        return true;
                    usleep(10000);
                }
                ADD_FAILURE() << log.peek();
                return false;
            };
            GuardedBuffer b0(1000), b1(1000), small(300);
            ReaderRig rig(0, 0, 5);
            auto post = [&](GuardedBuffer& b) {
                AppMsg m = {APP_MSG_FILE_BUFFER, b.capacity, 0, b.block};
                announceBufferSent(b.block);
                ASSERT_EQ(0, sendPriorityMsg(rig.emptyQ, &m, sizeof(m), 16));
            };
            ThreadArg args[4] = {
                {FILE_READER_ARG_FILE_NAME, (uint64_t)(uintptr_t)name.c_str()},
                {FILE_READER_ARG_EMPTY_QUEUE, (uint64_t)(uintptr_t)rig.emptyName.c_str()},
                {FILE_READER_ARG_FULL_QUEUE, (uint64_t)(uintptr_t)rig.fullName.c_str()},
                {FILE_READER_ARG_PAUSE, 1},
            };
            pthread_t tid;
            ASSERT_EQ(0, fileReaderThreadStart(&tid, args, 4));
            post(b0);
            post(b1);
            post(small);
            std::string pid = std::to_string(getpid());
            ASSERT_TRUE(waitForLog("File Reader: threadFunc proc " + pid + " suspending m_IsPaused = 1\n", 1));
            EXPECT_TRUE(testsupport::openWithDirectIo(name));
            AppMsg m;
            unsigned int prio;
            EXPECT_FALSE(rig.next(&m, &prio, 300)) << "read while paused";

            kill(getpid(), SIGUSR2);
            std::string got;
            std::vector<long long> lengths;
            for (int i = 0; i < 3; ++i) {
                ASSERT_TRUE(rig.next(&m, &prio, 3000)) << "buffer " << i;
                ASSERT_EQ(APP_MSG_FILE_BUFFER, m.type);
                lengths.push_back(m.length);
                got.append((const char*)m.buffer, (size_t)m.length);
            }
            EXPECT_EQ((std::vector<long long>{512, 512, 300}), lengths);
            EXPECT_TRUE(got == content.substr(0, got.size()));
            EXPECT_TRUE(b0.guardIntact());
            EXPECT_TRUE(b1.guardIntact());
            EXPECT_TRUE(small.guardIntact());
            EXPECT_FALSE(testsupport::openWithDirectIo(name)) << "the small buffer was read without direct I/O";

            // Paused again: a buffer given back waits, and an exit message still ends it.
            kill(getpid(), SIGUSR2);
            ASSERT_TRUE(waitForLog("sending SIGUSR1 to parent " + std::to_string(getppid()) + "\n", 1));
            post(b0);
            EXPECT_FALSE(rig.next(&m, &prio, 300)) << "read while paused";
            rig.postExit();
            EXPECT_TRUE(joinWithin(tid, 3000)) << "a paused reader did not end on its exit message";
            EXPECT_FALSE(rig.next(&m, &prio, 50));

            std::string text = log.text();
            for (const std::string& line :
                 {"File Reader: Opening " + name + " for direct read access\n",
                  std::string("setting up signal handler: sSigAct.sa_flags = 0\n"),
                  std::string("File Reader: Getting into thread mainloop m_IsPaused = 1\n"),
                  "File Reader: threadFunc proc " + pid + " returned form suspend  m_IsPaused = 0\n",
                  "File Reader: threadFunc proc " + pid + " waking up m_IsPaused = 0\n",
                  "File Reader: threadFunc proc " + pid + " returned form suspend  m_IsPaused = 1\n",
                  std::string("File Reader: Got exit message Prority 30\n"),
                  std::string("File Reader Total Bytes Read 1324\n")})
                EXPECT_NE(std::string::npos, text.find(line)) << line << text;
        },
        30);
    EXPECT_EQ(0, rc) << "the reader test failed in its child process (see above)";
    EXPECT_TRUE(toParent.waitFor(1, 2000)) << "the parent was not told with SIGUSR1";
}

TEST(FileInputReader, StartRefusesWhatCannotRun)
{
    pthread_t tid = 1234;
    EXPECT_EQ(2, fileReaderThreadStart(&tid, nullptr, 0));
    ThreadArg args[3] = {
        {FILE_READER_ARG_FILE_NAME, (uint64_t)(uintptr_t) "/dev/null"},
        {FILE_READER_ARG_EMPTY_QUEUE, (uint64_t)(uintptr_t) "/korbalt_h2_no_such_queue"},
        {FILE_READER_ARG_FULL_QUEUE, (uint64_t)(uintptr_t) "/korbalt_h2_no_such_queue2"},
    };
    // Queues that nobody created: a failed start, not a thread that can tell nobody.
    EXPECT_EQ(3, fileReaderThreadStart(&tid, args, 3));
    EXPECT_EQ(0u, (unsigned long)tid);
}

namespace {

// Opens the protected parts of the source for tests of its queue handling.
class ProbeSource : public StreamSrcAsynch {
public:
    ProbeSource(int numBuffers, int bufferSize) : StreamSrcAsynch(numBuffers, bufferSize)
    {
        prefixQueueNames(uniqueQueueName("probe").c_str());
    }
    bool init() override { return StreamSrcAsynch::init() && fillEmptyQueue(APP_MSG_FILE_BUFFER); }
    void pretendRunning() { m_iState = SRC_STATE_RUNNING; }
    void startWorker(void* (*fn)(void*), void* arg)
    {
        pthread_t t;
        ASSERT_EQ(0, pthread_create(&t, nullptr, fn, arg));
        setReaderThread(t);
        m_iState = SRC_STATE_RUNNING;
    }
    int emptyQueue() const { return m_iEmptyQueue; }
    int fullQueue() const { return m_iFullQueue; }
    long curMsgs(int q) const
    {
        struct mq_attr a;
        return mq_getattr(q, &a) == 0 ? a.mq_curmsgs : -1;
    }
};

void* endAtOnce(void*)
{
    return nullptr;
}

}  // namespace

// With all buffers back in the empty queue and no worker taking them, the exit message
// still goes in without waiting for ever.
TEST(FileInputSource, StopNeverBlocksOnAFullEmptyQueue)
{
    Watchdog dog(30, "FileInputSource.StopNeverBlocksOnAFullEmptyQueue");
    ProbeSource src(4, 1024);
    ASSERT_TRUE(src.init());
    EXPECT_EQ(4, src.curMsgs(src.emptyQueue()));
    src.pretendRunning();
    EXPECT_EQ(0, src.stopReader());
    EXPECT_EQ(StreamSrcAsynch::SRC_STATE_ENDED, src.getState());
    EXPECT_EQ(1, src.stopReader());
    // The exit message is first in line.
    AppMsg m;
    unsigned int prio = 0;
    int len = 0;
    ASSERT_EQ((int)sizeof(m), receiveTimedPriorityMsg(src.emptyQueue(), &m, sizeof(m), &len, &prio, 100));
    EXPECT_EQ(APP_MSG_EXIT, m.type);
    EXPECT_EQ(30u, prio);
}

// Empty buffers go straight back; the end of input ends the source; after it nothing more
// is sent back.
TEST(FileInputSource, EmptyBufferEndOfFileAndState)
{
    Watchdog dog(30, "FileInputSource.EmptyBufferEndOfFileAndState");
    ProbeSource src(3, 1024);
    ASSERT_TRUE(src.init());
    src.pretendRunning();
    // Take one buffer as a worker would and deliver it empty, then the end of file.
    AppMsg m;
    unsigned int prio = 0;
    int len = 0;
    ASSERT_EQ((int)sizeof(m), receiveTimedPriorityMsg(src.emptyQueue(), &m, sizeof(m), &len, &prio, 100));
    m.length = 0;
    ASSERT_EQ(0, sendPriorityMsg(src.fullQueue(), &m, sizeof(m), 16));
    AppMsg eof = {APP_MSG_END_OF_FILE, 0, 0, nullptr};
    ASSERT_EQ(0, sendPriorityMsg(src.fullQueue(), &eof, sizeof(eof), 16));

    unsigned char* out = (unsigned char*)0x1;
    long long outLen = 77;
    EXPECT_FALSE(src.getRawDataBuff(&out, &outLen));
    EXPECT_EQ((unsigned char*)0x1, out);
    EXPECT_EQ(77, outLen);
    EXPECT_EQ(3, src.curMsgs(src.emptyQueue())) << "the empty buffer went back";
    EXPECT_FALSE(src.getRawDataBuff(&out, &outLen));
    EXPECT_EQ(StreamSrcAsynch::SRC_STATE_ENDED, src.getState());
    EXPECT_EQ(0, src.getReaderErrno());
    EXPECT_FALSE(src.releaseRawDataBuff());
    EXPECT_EQ(1, src.stopReader());
}

// A length beyond the buffer's capacity is never handed on; a buffer goes back with length 0.
TEST(FileInputSource, LengthIsBoundedAndResetOnReturn)
{
    Watchdog dog(30, "FileInputSource.LengthIsBoundedAndResetOnReturn");
    ProbeSource src(2, 1024);
    ASSERT_TRUE(src.init());
    src.pretendRunning();
    AppMsg m;
    unsigned int prio = 0;
    int len = 0;
    ASSERT_EQ((int)sizeof(m), receiveTimedPriorityMsg(src.emptyQueue(), &m, sizeof(m), &len, &prio, 100));
    m.length = 5000;
    ASSERT_EQ(0, sendPriorityMsg(src.fullQueue(), &m, sizeof(m), 16));
    unsigned char* out = nullptr;
    long long outLen = 0;
    ASSERT_TRUE(src.getRawDataBuff(&out, &outLen));
    EXPECT_EQ(1024, outLen);
    EXPECT_EQ(m.buffer, out);
    EXPECT_TRUE(src.releaseRawDataBuff());
    EXPECT_FALSE(src.releaseRawDataBuff()) << "only the buffer in hand goes back";
    AppMsg back[2];
    for (AppMsg& b : back) {
        ASSERT_EQ((int)sizeof(b), receiveTimedPriorityMsg(src.emptyQueue(), &b, sizeof(b), &len, &prio, 100));
        EXPECT_EQ(0, b.length);
    }
}

// A worker that vanishes without the end-of-file message still ends the source's wait.
TEST(FileInputSource, WorkerGoneWithoutEndOfFileEndsTheInput)
{
    Watchdog dog(30, "FileInputSource.WorkerGoneWithoutEndOfFileEndsTheInput");
    ProbeSource src(2, 1024);
    ASSERT_TRUE(src.init());
    src.startWorker(endAtOnce, nullptr);
    unsigned char* out = nullptr;
    long long outLen = 0;
    for (int i = 0; i < 10 && src.getState() != StreamSrcAsynch::SRC_STATE_ENDED; ++i) {
        EXPECT_FALSE(src.getRawDataBuff(&out, &outLen));
        if (src.getState() != StreamSrcAsynch::SRC_STATE_ENDED) {
            EXPECT_EQ(ETIMEDOUT, src.getReceiveErrno());
        }
    }
    EXPECT_EQ(StreamSrcAsynch::SRC_STATE_ENDED, src.getState());
}

// The file source end to end: sizes, percentages, state, and its queues gone afterwards.
TEST(FileInputSource, DeliversTheWholeFileAndCleansUp)
{
    Watchdog dog(60, "FileInputSource.DeliversTheWholeFileAndCleansUp");
    TempDir dir;
    const long long sizes[] = {0, 1, 188, 65536, 100000, 1000000};
    for (long long size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string content = patterned((size_t)size);
        std::string name = dir.file("f" + std::to_string(size));
        writeFile(name, content);
        std::string emptyName, fullName;
        std::string got;
        std::vector<int> percents;
        {
            FileSrcAsynch src(name);
            emptyName = src.getEmptyQueueName();
            fullName = src.getFullQueueName();
            EXPECT_EQ("/_EMPTY_QUEUE_" + std::to_string(getpid()), emptyName);
            EXPECT_EQ("/_FULL_QUEUE_" + std::to_string(getpid()), fullName);
            EXPECT_EQ(size, src.getFileSize());
            ASSERT_TRUE(src.init());
            ASSERT_EQ(0, src.startFileReader());
            for (int guard = 0; guard < 1000 && src.getState() != StreamSrcAsynch::SRC_STATE_ENDED; ++guard) {
                unsigned char* b = nullptr;
                long long n = 0;
                if (!src.getRawDataBuff(&b, &n))
                    continue;
                got.append((const char*)b, (size_t)n);
                percents.push_back(src.getPercentComplete());
                EXPECT_TRUE(src.releaseRawDataBuff());
            }
            EXPECT_EQ(StreamSrcAsynch::SRC_STATE_ENDED, src.getState());
            EXPECT_EQ(1, src.stopReader()) << "after the end of file nothing is sent";
            EXPECT_EQ(size, src.getBytesDelivered());
            EXPECT_TRUE(src.getFailureText().empty());
        }
        EXPECT_TRUE(got == content);
        if (size > 0) {
            ASSERT_FALSE(percents.empty());
            EXPECT_EQ(100, percents.back());
        }
        if (size == 1000000) {
            ASSERT_EQ(16u, percents.size());
            EXPECT_EQ(6, percents[0]);
            EXPECT_EQ(98, percents[14]);
        }
        EXPECT_FALSE(queueExists(emptyName));
        EXPECT_FALSE(queueExists(fullName));
    }
    // Released buffers go back in batches, never so many at once that the reader runs dry:
    // with two or three buffers the file still comes through whole.
    std::string content = patterned(20 * 4096 + 7);
    std::string name = dir.file("few");
    writeFile(name, content);
    for (int buffers : {2, 3, 5}) {
        SCOPED_TRACE("buffers " + std::to_string(buffers));
        FileSrcAsynch src(name, buffers, 4096);
        ASSERT_TRUE(src.init());
        ASSERT_EQ(0, src.startFileReader());
        std::string got;
        for (int guard = 0; guard < 100 && src.getState() != StreamSrcAsynch::SRC_STATE_ENDED; ++guard) {
            unsigned char* b = nullptr;
            long long n = 0;
            if (!src.getRawDataBuff(&b, &n)) {
                if (src.getReceiveErrno() == ETIMEDOUT) {
                    ADD_FAILURE() << "the reader ran out of buffers";
                    break;
                }
                continue;
            }
            got.append((const char*)b, (size_t)n);
            EXPECT_TRUE(src.releaseRawDataBuff());
        }
        EXPECT_TRUE(got == content);
    }
}

// Stopped early while the reader is blocked posting to a full queue: it is freed and joined.
TEST(FileInputSource, EarlyStopWithAFullQueueJoinsTheReader)
{
    Watchdog dog(30, "FileInputSource.EarlyStopWithAFullQueueJoinsTheReader");
    TempDir dir;
    std::string name = dir.file("f");
    // Nine full buffers and a tail: the end-of-file message is the eleventh message.
    writeFile(name, patterned(9 * 4096 + 100));
    auto start = std::chrono::steady_clock::now();
    {
        FileSrcAsynch src(name, 10, 4096);
        ASSERT_TRUE(src.init());
        ASSERT_EQ(0, src.startFileReader());
        usleep(200000);  // let the reader fill everything and block on the end-of-file message
        EXPECT_EQ(0, src.stopReader());
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 10.0);
}

TEST(FileInputSource, RefusesWhatIsNotAReadableFile)
{
    Watchdog dog(30, "FileInputSource.RefusesWhatIsNotAReadableFile");
    TempDir dir;
    std::string fifo = dir.file("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    {
        FileSrcAsynch src(dir.file("missing.ts"));
        EXPECT_EQ(0, src.getFileSize());
        EXPECT_FALSE(src.init());
        EXPECT_EQ("cannot open input file " + dir.file("missing.ts") + ": No such file or directory",
                  src.getFailureText());
    }
    {
        FileSrcAsynch src(fifo);
        EXPECT_FALSE(src.init());
        EXPECT_EQ("cannot open input file " + fifo + ": not a regular file", src.getFailureText());
    }
    if (geteuid() != 0) {
        std::string locked = dir.file("locked.ts");
        writeFile(locked, "x");
        chmod(locked.c_str(), 0);
        FileSrcAsynch src(locked);
        EXPECT_FALSE(src.init());
        EXPECT_EQ("cannot open input file " + locked + ": Permission denied", src.getFailureText());
    }
    EXPECT_FALSE(queueExists("/_EMPTY_QUEUE_" + std::to_string(getpid())));
}

namespace {

long long lockedKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmLck:", 0) == 0)
            return atoll(line.c_str() + 6);
    return -1;
}

// Reads name through a file source; the bytes delivered.
std::string readThroughSource(const std::string& name)
{
    std::string got;
    FileSrcAsynch src(name);
    if (!src.init() || src.startFileReader() != 0)
        return "<start failed: " + src.getFailureText() + ">";
    for (int guard = 0; guard < 10000 && src.getState() != StreamSrcAsynch::SRC_STATE_ENDED; ++guard) {
        unsigned char* b = nullptr;
        long long n = 0;
        if (!src.getRawDataBuff(&b, &n))
            continue;
        got.append((const char*)b, (size_t)n);
        src.releaseRawDataBuff();
    }
    return got;
}

}  // namespace

// The reader raises its priority and locks the pages when the system lets it, and works the
// same when it does not; either way the pages are unlocked when it ends.
TEST(FileInputPriority, GrantedOrRefusedTheReadIsTheSame)
{
    // No watchdog thread here: the child below must be forked from a single thread.
    TempDir dir;
    chmod(dir.path().c_str(), 0777);
    std::string name = dir.file("in.ts");
    std::string content = patterned(300000);
    writeFile(name, content);
    chmod(name.c_str(), 0644);

    // As this process stands (granted as root, refused otherwise).
    {
        LogCapture log(dir);
        EXPECT_TRUE(readThroughSource(name) == content);
        std::string text = log.text();
        EXPECT_EQ(std::string::npos, text.find("FAILED to Unlock Process Pages")) << text;
    }
    EXPECT_EQ(0, lockedKb());

    // Forced refusal: no privileges and both limits at 0.
    std::string logName = dir.file("refused_log.txt");
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        shutdownFileLogger();
        struct rlimit zero = {0, 0};
        if (setrlimit(RLIMIT_RTPRIO, &zero) != 0 || setrlimit(RLIMIT_MEMLOCK, &zero) != 0)
            _exit(20);
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            _exit(21);
        initFileLogger(logName.c_str());
        int code = readThroughSource(name) == content ? 0 : 1;
        shutdownFileLogger();
        _exit(code);
    }
    int status = 0;
    if (!waitChildWithin(child, &status, 30000))
        FAIL() << "the refused reader did not end";
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status)) << "the reader without privileges did not deliver the file";
    std::string text = readFile(logName);
    EXPECT_NE(std::string::npos, text.find("FAILED to Set Priority\n")) << text;
#ifndef KORBALT_TEST_NO_MLOCK
    EXPECT_NE(std::string::npos, text.find("Failed to Lock Process Pages in RAM\n")) << text;
#endif
    EXPECT_NE(std::string::npos, text.find("Exiting File Reader Thread ...\n"));
}
