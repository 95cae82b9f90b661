// Log file, file access, threads and mutexes, signals, process ids, scheduling and page locking.
#include "platform/debugMap.h"
#include "platform/fileLogger.h"
#include "platform/osFileHandler.h"
#include "platform/pagingLock.h"
#include "platform/posixThreads.h"
#include "platform/processCtrl.h"
#include "platform/schedulerCtrl.h"
#include "platform/signalCtrl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::waitChildWithin;
using testsupport::readFile;
using testsupport::writeFile;

#if defined(__SANITIZE_ADDRESS__)
#define KORBALT_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORBALT_TEST_ASAN 1
#endif
#endif

// The address and the thread sanitizer both replace mlockall with a no-op that succeeds.
#if defined(KORBALT_TEST_ASAN) || defined(__SANITIZE_THREAD__)
#define KORBALT_TEST_MLOCK_INTERCEPTED 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KORBALT_TEST_MLOCK_INTERCEPTED 1
#endif
#endif

namespace {

std::string tempPath(const char* tag)
{
    static int counter = 0;
    std::ostringstream s;
    s << "/tmp/korbalt_h1_" << tag << "_" << getpid() << "_" << counter++;
    return s.str();
}

// Sends the process's log to a file of its own for the life of the object.
class LogCapture {
public:
    LogCapture() : m_sName(tempPath("log"))
    {
        shutdownFileLogger();
        unlink(m_sName.c_str());
        m_iInit = initFileLogger(m_sName.c_str());
    }
    ~LogCapture()
    {
        shutdownFileLogger();
        unlink(m_sName.c_str());
    }
    std::string text() const { return readFile(m_sName); }
    const std::string& name() const { return m_sName; }
    int initResult() const { return m_iInit; }

private:
    std::string m_sName;
    int m_iInit;
};

}  // namespace

// ---------------------------------------------------------------- log file

TEST(PlatformLog, NothingIsWrittenBeforeInitOrAfterShutdown)
{
    shutdownFileLogger();
    EXPECT_FALSE(fileLog("dropped %d\n", 1));
    EXPECT_FALSE(logMsg("dropped\n"));
    std::string name = tempPath("log");
    ASSERT_EQ(1, initFileLogger(name.c_str()));
    EXPECT_TRUE(fileLog("kept %d\n", 2));
    EXPECT_EQ(0, shutdownFileLogger());
    EXPECT_FALSE(fileLog("dropped after %d\n", 3));
    EXPECT_EQ(0, shutdownFileLogger());  // a second shutdown is harmless
    EXPECT_EQ("kept 2\n", readFile(name));
    unlink(name.c_str());
}

TEST(PlatformLog, TwoRunsAppendAndUnterminatedTextRunsOn)
{
    shutdownFileLogger();
    std::string name = tempPath("log");
    ASSERT_EQ(1, initFileLogger(name.c_str()));
    fileLog("first run\n");
    fileLog("no newline ");
    shutdownFileLogger();
    ASSERT_EQ(1, initFileLogger(name.c_str()));
    fileLog("continued\n");
    fileLog("%s %lld\n", "second run", 42LL);
    shutdownFileLogger();
    EXPECT_EQ("first run\nno newline continued\nsecond run 42\n", readFile(name));
    unlink(name.c_str());
}

TEST(PlatformLog, UnopenableFileLeavesLoggingOff)
{
    shutdownFileLogger();
    EXPECT_EQ(0, initFileLogger("/nonexistent_dir_korbalt/x_log.txt"));
    EXPECT_FALSE(fileLog("nothing\n"));
    EXPECT_EQ(0, initFileLogger(nullptr));
    EXPECT_EQ(0, shutdownFileLogger());
}

TEST(PlatformLog, LongLineIsCutAt1023Characters)
{
    LogCapture log;
    ASSERT_EQ(1, log.initResult());
    std::string big(3000, 'x');
    EXPECT_TRUE(fileLog("%s\n", big.c_str()));
    EXPECT_TRUE(fileLog("next\n"));
    std::string text = log.text();
    EXPECT_EQ(std::string(1023, 'x') + "next\n", text);
}

TEST(PlatformLog, EightThreadsNeverInterleaveInsideALine)
{
    LogCapture log;
    ASSERT_EQ(1, log.initResult());
    const int kThreads = 8, kLines = 400;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            std::string body(300 + t * 50, (char)('a' + t));
            for (int i = 0; i < kLines; ++i)
                fileLog("T%d:%s:%d\n", t, body.c_str(), i);
        });
    }
    for (auto& th : threads)
        th.join();
    std::istringstream in(log.text());
    std::string line;
    int count = 0;
    std::vector<int> next(kThreads, 0);
    while (std::getline(in, line)) {
        ++count;
        ASSERT_GE(line.size(), 4u);
        ASSERT_EQ('T', line[0]);
        int t = line[1] - '0';
        ASSERT_TRUE(t >= 0 && t < kThreads) << line.substr(0, 40);
        std::string expect = "T" + std::to_string(t) + ":" + std::string(300 + t * 50, (char)('a' + t)) + ":" +
                             std::to_string(next[t]);
        ASSERT_EQ(expect, line);
        ++next[t];  // each thread's own lines keep their order
    }
    EXPECT_EQ(kThreads * kLines, count);
}

TEST(PlatformLog, DebugPrintPrefixesByLevelAndLeavesTheLogAlone)
{
    LogCapture log;
    testing::internal::CaptureStdout();
    debugPrint(1, "fn", "file.cpp", 12, "a %d\n", 1);
    debugPrint(2, "fn", "file.cpp", 12, "b\n");
    debugPrint(7, "fn", "file.cpp", 12, "c\n");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ("INFO: a 1\nFile: file.cpp; Function: fn; Line: 12; b\nUNKNOWN LEVEL: c\n", out);
    EXPECT_EQ("", log.text());
}

// ---------------------------------------------------------------- file access

TEST(PlatformFile, FileNameFromPath)
{
    struct Case {
        const char* path;
        const char* name;  // null: none
        const char* left;  // what the argument reads afterwards
    } cases[] = {
        {"dir/sub/file.ts", "file.ts", "dir"},
        {"file.ts", "file.ts", "file.ts"},
        {"/data/x.ts", "x.ts", ""},
        {"dir/sub/", "sub", "dir"},
        {"//a//b", "b", ""},
        {"/", nullptr, ""},
        {"///", nullptr, ""},
        {"", nullptr, ""},
    };
    for (const Case& c : cases) {
        std::vector<char> buf(c.path, c.path + strlen(c.path) + 1);
        char* got = osGetFileNameFromPath(buf.data());
        if (c.name) {
            ASSERT_NE(nullptr, got) << c.path;
            EXPECT_STREQ(c.name, got) << c.path;
            EXPECT_GE(got, buf.data());
            EXPECT_LT(got, buf.data() + buf.size());
        } else {
            EXPECT_EQ(nullptr, got) << c.path;
        }
        EXPECT_STREQ(c.left, buf.data()) << c.path;
    }
    EXPECT_EQ(nullptr, osGetFileNameFromPath(nullptr));
}

TEST(PlatformFile, OpenFailureLeavesDescriptorUntouched)
{
    unsigned long long fd = 12345;
    EXPECT_EQ(1, osOpenFile("/nonexistent_korbalt/x.ts", &fd, 0));
    EXPECT_EQ(1, osOpenFileDirectRead("/nonexistent_korbalt/x.ts", &fd));
    EXPECT_EQ(1, osOpenFileWrite("/nonexistent_korbalt/x.ts", &fd));
    EXPECT_EQ(1, osOpenFileDirectWrite("/nonexistent_korbalt/x.ts", &fd));
    EXPECT_EQ(12345u, fd);
}

TEST(PlatformFile, WriteThenReadBackWithBoundaries)
{
    LogCapture log;
    std::string name = tempPath("file");
    unsigned long long fd = (unsigned long long)-1;
    ASSERT_EQ(0, osOpenFileWrite(name.c_str(), &fd));
    std::vector<unsigned char> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (unsigned char)(i * 7);
    EXPECT_EQ(0, osWriteDataToFile(fd, data.data(), (int)data.size()));
    EXPECT_EQ(0, osWriteDataToFile(fd, data.data(), 0));
    EXPECT_EQ(0, osCloseFile(fd));
    struct stat st;
    ASSERT_EQ(0, stat(name.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 0777u & ~0077u);  // owner bits as created (umask may clear others)

    ASSERT_EQ(0, osOpenFile(name.c_str(), &fd, 0));
    long long size = osGetFileSize(fd);
    EXPECT_EQ(1000, size);
    unsigned char buf[200];
    memset(buf, 0xEE, sizeof(buf));
    // Exactly the last 100 bytes: allowed.
    EXPECT_EQ(100, osReadFileContentIntoBuffer(fd, buf, 900, size, 100));
    EXPECT_EQ(0, memcmp(buf, data.data() + 900, 100));
    // One past the end: refused, nothing read.
    memset(buf, 0xEE, sizeof(buf));
    EXPECT_EQ(0, osReadFileContentIntoBuffer(fd, buf, 901, size, 100));
    EXPECT_EQ(0xEE, buf[0]);
    EXPECT_EQ(0, osReadFileContentIntoBuffer(fd, buf, 0, size, 0));
    EXPECT_EQ(0, osReadFileContentIntoBuffer(fd, buf, -1, size, 10));
    EXPECT_EQ(0, osReadFileContentIntoBuffer(fd, buf, 0, size, -5));
    EXPECT_EQ(0, osReadFileContentIntoBuffer(fd, nullptr, 0, size, 10));
    // Offsets near the 64-bit limit never wrap into an allowed range.
    EXPECT_EQ(0, osReadFileContentIntoBuffer(fd, buf, 0x7FFFFFFFFFFFFFF0LL, size, 100));

    unsigned char* mem = reinterpret_cast<unsigned char*>(1);
    EXPECT_EQ(50, osReadFileContentIntoMemory(fd, &mem, 10, size, 50));
    ASSERT_NE(nullptr, mem);
    EXPECT_EQ(0, memcmp(mem, data.data() + 10, 50));
    delete[] mem;
    EXPECT_EQ(0, osReadFileContentIntoMemory(fd, &mem, 990, size, 50));
    EXPECT_EQ(nullptr, mem);

    osSetCursorAtFileStart(fd);
    EXPECT_EQ(0, (int)lseek((int)fd, 0, SEEK_CUR));
    EXPECT_EQ(0, osCloseFile(fd));

    std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("Either BufferSize < 0 or Offset+BufferSize is to big\n"));
    unlink(name.c_str());
}

TEST(PlatformFile, FailuresAreLoggedWithTheirTexts)
{
    LogCapture log;
    std::string name = tempPath("file");
    writeFile(name, "abc");
    unsigned long long fd;
    ASSERT_EQ(0, osOpenFile(name.c_str(), &fd, 0));
    unsigned char b[3] = {1, 2, 3};
    EXPECT_EQ(2, osWriteDataToFile(fd, b, 3));  // read-only descriptor
    EXPECT_EQ(0, osCloseFile(fd));
    EXPECT_EQ(1, osCloseFile(fd));  // already closed
    std::string text = log.text();
    EXPECT_NE(std::string::npos, text.find("Error Writing to " + std::to_string(EBADF) + "\n"));
    EXPECT_NE(std::string::npos, text.find("Error Closing File Handle\n"));
    unlink(name.c_str());
}

TEST(PlatformFile, SizeOfEmptyFileAndOfAFifo)
{
    LogCapture log;
    std::string name = tempPath("file");
    writeFile(name, "");
    unsigned long long fd;
    ASSERT_EQ(0, osOpenFile(name.c_str(), &fd, 0));
    EXPECT_EQ(0, osGetFileSize(fd));
    osCloseFile(fd);
    unlink(name.c_str());

    // A FIFO has no size: it must not be taken for a one-byte file.
    std::string fifo = tempPath("fifo");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    int d = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(d, 0);
    EXPECT_EQ(-1, osGetFileSize((unsigned long long)d));
    close(d);
    OsFileInfo info;
    ASSERT_EQ(0, osGetFileInfo(fifo.c_str(), &info));
    EXPECT_FALSE(info.regular);
    unlink(fifo.c_str());
    EXPECT_NE(std::string::npos, log.text().find("Couldn't get to the end of the file \n"));
}

TEST(PlatformFile, FileInfo)
{
    std::string name = tempPath("file");
    writeFile(name, "12345");
    OsFileInfo info;
    ASSERT_EQ(0, osGetFileInfo(name.c_str(), &info));
    EXPECT_TRUE(info.regular);
    EXPECT_EQ(5, info.size);
    struct stat st;
    stat(name.c_str(), &st);
    EXPECT_EQ((unsigned long long)st.st_ino, info.inode);
    EXPECT_EQ(1, osGetFileInfo("/nonexistent_korbalt/none", &info));
    EXPECT_EQ(ENOENT, errno);
    ASSERT_EQ(0, osGetFileInfo("/tmp", &info));
    EXPECT_FALSE(info.regular);
    unlink(name.c_str());
}

TEST(PlatformFile, DirectReadAndWriteWithAlignedBuffers)
{
    std::string name = tempPath("direct");
    unsigned long long fd;
    if (osOpenFileDirectWrite(name.c_str(), &fd) != 0) {
        unlink(name.c_str());
        GTEST_SKIP() << "this file system refuses O_DIRECT";
    }
    void* mem = nullptr;
    ASSERT_EQ(0, posix_memalign(&mem, 512, 65536));
    unsigned char* buf = static_cast<unsigned char*>(mem);
    for (int i = 0; i < 65536; ++i)
        buf[i] = (unsigned char)(i ^ (i >> 8));
    EXPECT_EQ(0, osWriteDataToFile(fd, buf, 65536));
    osCloseFile(fd);
    ASSERT_EQ(0, osOpenFileDirectRead(name.c_str(), &fd));
    void* mem2 = nullptr;
    ASSERT_EQ(0, posix_memalign(&mem2, 512, 65536));
    EXPECT_EQ(65536, osReadFileContentIntoBuffer(fd, static_cast<unsigned char*>(mem2), 0, 65536, 65536));
    EXPECT_EQ(0, memcmp(mem, mem2, 65536));
    osCloseFile(fd);
    free(mem);
    free(mem2);
    unlink(name.c_str());
}

// ---------------------------------------------------------------- threads and mutexes

namespace {

struct Counter {
    pthread_mutex_t mutex;
    long value;
};

void* addUnderLock(void* arg)
{
    Counter* c = static_cast<Counter*>(arg);
    for (int i = 0; i < 20000; ++i) {
        lockPosixMutex(&c->mutex);
        ++c->value;
        unlockPosixMutex(&c->mutex);
    }
    return arg;
}

}  // namespace

TEST(PlatformThreads, CreateJoinAndMutualExclusion)
{
    Counter c;
    ASSERT_EQ(0, initPosixMutex(&c.mutex));
    c.value = 0;
    pthread_t ids[4];
    for (pthread_t& id : ids)
        ASSERT_EQ(0, createPosixThread(&id, addUnderLock, &c));
    for (pthread_t& id : ids) {
        void* result = nullptr;
        ASSERT_EQ(0, joinPosixThread(id, &result));
        EXPECT_EQ(&c, result);
    }
    EXPECT_EQ(4 * 20000, c.value);
    EXPECT_EQ(0, destroyPosixMutex(&c.mutex));
}

namespace {

struct TryArg {
    pthread_mutex_t* mutex;
    int result;
};

void* tryFromOtherThread(void* arg)
{
    TryArg* a = static_cast<TryArg*>(arg);
    a->result = trylockPosixMutex(a->mutex);
    return nullptr;
}

}  // namespace

TEST(PlatformThreads, TrylockReportsBusyAndJoinTakesNullResult)
{
    pthread_mutex_t m;
    ASSERT_EQ(0, initPosixMutex(&m));
    ASSERT_EQ(0, lockPosixMutex(&m));
    TryArg arg{&m, -1};
    pthread_t id;
    ASSERT_EQ(0, createPosixThread(&id, tryFromOtherThread, &arg));
    EXPECT_EQ(0, joinPosixThread(id, nullptr));
    EXPECT_EQ(1, arg.result);
    EXPECT_EQ(0, unlockPosixMutex(&m));
    EXPECT_EQ(0, trylockPosixMutex(&m));
    EXPECT_EQ(0, unlockPosixMutex(&m));
    EXPECT_EQ(0, destroyPosixMutex(&m));
}

TEST(PlatformThreads, StackSizeQueries)
{
    LogCapture log;
    size_t size = 0;
    EXPECT_EQ(0, getPosixThreadStackSize(&size));
    EXPECT_GT(size, 0u);
    EXPECT_EQ(0, setPosixThreadStackSize(1 << 20));
    EXPECT_EQ(1, setPosixThreadStackSize(1));  // below PTHREAD_STACK_MIN
    EXPECT_NE(std::string::npos, log.text().find("Couldn't set thread stacksize\n"));
}

// ---------------------------------------------------------------- signals and processes

namespace {

volatile sig_atomic_t g_iSignalsSeen = 0;
void countSignal(int)
{
    g_iSignalsSeen = g_iSignalsSeen + 1;
}

volatile sig_atomic_t g_iRtSignal = 0;
void rtHandler(int sig, siginfo_t* info, void*)
{
    g_iRtSignal = (info && info->si_signo == sig) ? sig : -1;
}

// Restores a signal's disposition and the thread's mask when a test ends.
class SignalGuard {
public:
    explicit SignalGuard(int sig) : m_iSig(sig)
    {
        sigaction(sig, nullptr, &m_Old);
        pthread_sigmask(SIG_SETMASK, nullptr, &m_OldMask);
    }
    ~SignalGuard()
    {
        pthread_sigmask(SIG_SETMASK, &m_OldMask, nullptr);
        sigaction(m_iSig, &m_Old, nullptr);
    }

private:
    int m_iSig;
    struct sigaction m_Old;
    sigset_t m_OldMask;
};

}  // namespace

TEST(PlatformSignals, HandlerRunsAndSetUpLineIsLogged)
{
    SignalGuard guard(SIGUSR1);
    LogCapture log;
    g_iSignalsSeen = 0;
    ASSERT_EQ(0, addSignalHandler(SIGUSR1, countSignal));
    sendSignalToProcess(getProcessId(), SIGUSR1);
    for (int i = 0; i < 200 && g_iSignalsSeen == 0; ++i)
        usleep(5000);
    EXPECT_EQ(1, g_iSignalsSeen);
    EXPECT_EQ("setting up signal handler: sSigAct.sa_flags = 0\n", log.text());
}

TEST(PlatformSignals, RefusedHandlerLogsBothLines)
{
    LogCapture log;
    EXPECT_EQ(-1, addSignalHandler(SIGKILL, countSignal));
    EXPECT_EQ(-1, addRtSignalHandler(SIGSTOP, rtHandler));
    EXPECT_EQ("setting up signal handler: sSigAct.sa_flags = 0\nsigaction call failed\nsigaction call failed\n",
              log.text());
}

TEST(PlatformSignals, RtHandlerGetsSignalInfo)
{
    SignalGuard guard(SIGUSR2);
    g_iRtSignal = 0;
    ASSERT_EQ(0, addRtSignalHandler(SIGUSR2, rtHandler));
    raise(SIGUSR2);
    EXPECT_EQ(SIGUSR2, g_iRtSignal);
}

TEST(PlatformSignals, BlockedSignalStaysPendingUntilUnblocked)
{
    SignalGuard guard(SIGUSR2);
    g_iSignalsSeen = 0;
    ASSERT_EQ(0, addSignalHandler(SIGUSR2, countSignal));
    sigset_t set, old;
    emptySignalSet(&set);
    addSignalToSet(&set, SIGUSR2);
    setBlockedThreadSignals(&set, &old);
    raise(SIGUSR2);  // raise targets the calling thread
    EXPECT_EQ(0, g_iSignalsSeen);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_TRUE(sigismember(&pending, SIGUSR2));
    setUnblockedThreadSignals(&set, nullptr);
    EXPECT_EQ(1, g_iSignalsSeen);

    // waitForSignal consumes a pending signal of its set without running the handler.
    setBlockedSignals(&set, nullptr);
    raise(SIGUSR2);
    EXPECT_EQ(0, waitForSignal(&set));
    EXPECT_EQ(1, g_iSignalsSeen);
    EXPECT_EQ(0, setSignalsMask(&old));
}

TEST(PlatformSignals, SuspendReturnsAfterASignal)
{
    SignalGuard guard(SIGUSR2);
    g_iSignalsSeen = 0;
    ASSERT_EQ(0, addSignalHandler(SIGUSR2, countSignal));
    sigset_t set, old;
    emptySignalSet(&set);
    addSignalToSet(&set, SIGUSR2);
    setBlockedThreadSignals(&set, &old);
    raise(SIGUSR2);  // pending while blocked; the empty mask of suspend lets it in
    sigset_t empty;
    emptySignalSet(&empty);
    suspendForSignal(&empty);
    EXPECT_EQ(1, g_iSignalsSeen);
}

// Flags 0 means no SA_RESTART: a thread waiting in a blocking call gets EINTR, which is how
// Ctrl-C reaches a decoding thread that waits for a buffer.
TEST(PlatformSignals, HandlerInterruptsABlockingCall)
{
    SignalGuard guard(SIGUSR1);
    ASSERT_EQ(0, addSignalHandler(SIGUSR1, countSignal));
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::atomic<int> readErrno{0};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        char c;
        ssize_t n = read(fds[0], &c, 1);
        readErrno.store(n < 0 ? errno : 0);
        done.store(true);
    });
    for (int i = 0; i < 400 && !done.load(); ++i) {
        pthread_kill(reader.native_handle(), SIGUSR1);
        usleep(5000);
    }
    if (!done.load()) {
        char c = 'x';
        ASSERT_EQ(1, write(fds[1], &c, 1));  // release the thread before failing
    }
    reader.join();
    EXPECT_EQ(EINTR, readErrno.load());
    close(fds[0]);
    close(fds[1]);
}

TEST(PlatformProcess, Ids)
{
    EXPECT_EQ((int)getpid(), getProcessId());
    EXPECT_EQ((int)getppid(), getParentProcessId());
}

// ---------------------------------------------------------------- scheduling and page locking

TEST(PlatformSched, PolicyLimitsAndUnknownCodes)
{
    LogCapture log;
    EXPECT_EQ(sched_get_priority_max(SCHED_FIFO), getPolicyMinMaxPriority(SCHED_POLICY_FIFO, true));
    EXPECT_EQ(sched_get_priority_min(SCHED_FIFO), getPolicyMinMaxPriority(SCHED_POLICY_FIFO, false));
    EXPECT_EQ(sched_get_priority_max(SCHED_RR), getPolicyMinMaxPriority(SCHED_POLICY_RR, true));
    EXPECT_EQ(0, getPolicyMinMaxPriority(SCHED_POLICY_OTHER, true));
    EXPECT_EQ(-1, getPolicyMinMaxPriority(5, true));
    int before = sched_getscheduler(0);
    EXPECT_EQ(-1, setSchedulerPriority(0, 3, 0));
    EXPECT_EQ(before, sched_getscheduler(0));
    EXPECT_EQ("Unknown Scheduler Policy 5\nUnknown Scheduler Policy 3\n", log.text());
}

// Whatever the system grants, the worker's sequence ends at the ordinary policy.
TEST(PlatformSched, RaiseAndRestoreOnAThreadGrantedOrRefused)
{
    LogCapture log;
    int setResult = 99, policyRaised = -2, restoreResult = 99, policyAfter = -2;
    std::thread worker([&] {
        int prio = getPolicyMinMaxPriority(SCHED_POLICY_FIFO, true) - 1;
        setResult = setSchedulerPriority(0, SCHED_POLICY_FIFO, prio);
        policyRaised = getScheduler(0);
        restoreResult = setSchedulerPriority(0, SCHED_POLICY_OTHER, 0);
        policyAfter = getScheduler(0);
    });
    worker.join();
    if (setResult == 0) {
        EXPECT_EQ(SCHED_FIFO, policyRaised);
    } else {
        EXPECT_EQ(-1, setResult);
        EXPECT_EQ(SCHED_OTHER, policyRaised);
        EXPECT_NE(std::string::npos, log.text().find("sched_setscheduler returned "));
    }
    EXPECT_EQ(0, restoreResult);
    EXPECT_EQ(SCHED_OTHER, policyAfter);
    EXPECT_EQ(SCHED_OTHER, sched_getscheduler(0));  // only the worker thread changed
}

TEST(PlatformSched, PageLockGrantedOrRefusedAlwaysUnlocks)
{
    int rc = lockProcessPagesInRam(1);
    EXPECT_TRUE(rc == 0 || rc == -1);
    EXPECT_EQ(0, unlockProcessPages());
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmLck:", 0) == 0) {
            EXPECT_NE(std::string::npos, line.find(" 0 kB")) << line;
        }
    }
    if (lockProcessPagesInRam(0) == 0) {
        EXPECT_EQ(0, unlockProcessPages());
    }
}

// Forced refusal: a child without privileges and with both limits at 0 must be refused,
// log its line, and stay at the ordinary policy.
TEST(PlatformSched, ForcedRefusalInAChild)
{
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit zero = {0, 0};
        if (setrlimit(RLIMIT_RTPRIO, &zero) != 0 || setrlimit(RLIMIT_MEMLOCK, &zero) != 0)
            _exit(20);
        if (geteuid() == 0) {
            // Root ignores both limits: give up every privilege first.
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
                _exit(21);
        }
        int code = 0;
        int prio = getPolicyMinMaxPriority(SCHED_POLICY_FIFO, true) - 1;
        if (setSchedulerPriority(0, SCHED_POLICY_FIFO, prio) != -1)
            code |= 1;
        if (sched_getscheduler(0) != SCHED_OTHER)
            code |= 2;
#ifndef KORBALT_TEST_MLOCK_INTERCEPTED
        // (The sanitizers replace mlockall with a no-op that succeeds.)
        if (lockProcessPagesInRam(1) != -1)
            code |= 4;
#endif
        if (unlockProcessPages() != 0)
            code |= 8;
        if (setSchedulerPriority(0, SCHED_POLICY_OTHER, 0) != 0)
            code |= 16;
        _exit(code);
    }
    int status = 0;
    if (!waitChildWithin(child, &status, 10000))
        FAIL() << "child did not end";
    ASSERT_TRUE(WIFEXITED(status));
    int code = WEXITSTATUS(status);
    if (code == 20 || code == 21)
        GTEST_SKIP() << "cannot drop privileges here (code " << code << ")";
    EXPECT_EQ(0, code);
}
