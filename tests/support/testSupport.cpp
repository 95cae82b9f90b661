#include "tests/support/testSupport.h"

#include "platform/fileLogger.h"

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#define KORBALT_SUPPORT_LSAN 1
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <mqueue.h>
#include <sstream>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<unsigned char> readFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), (std::streamsize)content.size());
}

std::string fixture(const std::string& name)
{
    return std::string(KORBALT_SOURCE_DIR) + "/tests/data/" + name;
}

std::vector<unsigned char> readFixture(const std::string& name)
{
    return readFileBytes(fixture(name));
}

bool queueExists(const std::string& name)
{
    mqd_t q = mq_open(name.c_str(), O_RDONLY);
    if (q == (mqd_t)-1)
        return errno != ENOENT;
    mq_close(q);
    return true;
}

std::string uniqueQueueName(const std::string& prefix)
{
    static int counter = 0;
    return prefix + std::to_string(getpid()) + "_" + std::to_string(counter++);
}

bool joinWithin(pthread_t thread, int ms)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += ms / 1000;
    ts.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec += 1;
        ts.tv_nsec -= 1000000000L;
    }
    return pthread_timedjoin_np(thread, nullptr, &ts) == 0;
}

bool waitChildWithin(pid_t child, int* status, int ms)
{
    pid_t done = 0;
    for (int i = 0; i < ms / 10 && done == 0; ++i) {
        done = waitpid(child, status, WNOHANG);
        if (done == 0)
            usleep(10000);
    }
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, status, 0);
        return false;
    }
    return true;
}

int runInChild(const std::function<void()>& body, int timeoutSeconds, const std::function<int()>& prelude)
{
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid < 0)
        return 1;
    if (pid == 0) {
        if (prelude) {
            int rc = prelude();
            if (rc != 0)
                _exit(rc);
        }
        alarm((unsigned)timeoutSeconds);  // a hang inside ends the child, and so fails the test
        body();
        bool leaked = false;
#ifdef KORBALT_SUPPORT_LSAN
        // _exit skips the leak check that a normal exit runs.
        leaked = __lsan_do_recoverable_leak_check() != 0;
#endif
        fflush(stdout);
        fflush(stderr);
        _exit(::testing::Test::HasFailure() || leaked ? 1 : 0);
    }
    int status = 0;
    if (!waitChildWithin(pid, &status, (timeoutSeconds + 10) * 1000)) {
        fprintf(stderr, "test child timed out\n");
        return 3;
    }
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    fprintf(stderr, "test child ended by signal %d\n", WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return 2;
}

namespace {
volatile sig_atomic_t g_aiSignalCounts[65];
void countSignal(int sig)
{
    if (sig > 0 && sig < 65)
        g_aiSignalCounts[sig] = g_aiSignalCounts[sig] + 1;
}
}  // namespace

SignalCounter::SignalCounter(int sig) : m_iSig(sig)
{
    g_aiSignalCounts[sig] = 0;
    struct sigaction act;
    memset(&act, 0, sizeof(act));
    act.sa_handler = countSignal;
    act.sa_flags = SA_RESTART;
    sigemptyset(&act.sa_mask);
    sigaction(sig, &act, &m_Old);
}

SignalCounter::~SignalCounter()
{
    sigaction(m_iSig, &m_Old, nullptr);
}

int SignalCounter::count() const
{
    return g_aiSignalCounts[m_iSig];
}

bool SignalCounter::waitFor(int n, int ms) const
{
    for (int i = 0; i < ms / 10 && count() < n; ++i)
        usleep(10000);
    return count() >= n;
}

bool openWithDirectIo(const std::string& path)
{
    for (int fd = 0; fd < 1024; ++fd) {
        char link[64];
        char target[4096];
        snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
        ssize_t n = readlink(link, target, sizeof(target) - 1);
        if (n < 0)
            continue;
        target[n] = 0;
        if (path != target)
            continue;
        snprintf(link, sizeof(link), "/proc/self/fdinfo/%d", fd);
        std::ifstream in(link);
        std::string key;
        while (in >> key) {
            if (key == "flags:") {
                std::string octal;
                in >> octal;
                if (strtol(octal.c_str(), nullptr, 8) & O_DIRECT)
                    return true;
            }
        }
    }
    return false;
}

long long processedFromLog(const std::string& log)
{
    const char* key = "StreamDecoder Processed ";
    size_t at = log.rfind(key);
    return at == std::string::npos ? -1 : atoll(log.c_str() + at + strlen(key));
}

Watchdog::Watchdog(int seconds, const char* what) : m_bDone(false)
{
    m_Thread = std::thread([this, seconds, what] {
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (!m_Cv.wait_for(lock, std::chrono::seconds(seconds), [this] { return m_bDone; })) {
            fprintf(stderr, "TIME-OUT: %s did not finish within %d s\n", what, seconds);
            fflush(stderr);
            _exit(3);
        }
    });
}

Watchdog::~Watchdog()
{
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bDone = true;
    }
    m_Cv.notify_all();
    m_Thread.join();
}

TempDir::TempDir(const char* prefix)
{
    std::string pattern = std::string("/tmp/") + prefix + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    const char* made = mkdtemp(buf.data());
    m_sPath = made ? made : "/tmp";
}

TempDir::~TempDir()
{
    // When mkdtemp failed the path is /tmp itself, which is never removed.
    std::string cmd = "rm -rf '" + m_sPath + "'";
    if (m_sPath != "/tmp" && system(cmd.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", m_sPath.c_str());
}

LogCapture::LogCapture(const TempDir& dir) : m_sName(dir.file("capture_log.txt"))
{
    shutdownFileLogger();
    initFileLogger(m_sName.c_str());
}

LogCapture::~LogCapture()
{
    shutdownFileLogger();
}

std::string LogCapture::text()
{
    shutdownFileLogger();
    std::string t = readFile(m_sName);
    initFileLogger(m_sName.c_str());
    return t;
}

std::string LogCapture::peek() const
{
    return readFile(m_sName);  // every line is flushed as it is logged
}

std::vector<uint8_t> extractElementaryStream(const std::string& path, int streamType, std::vector<size_t>* pesStarts)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<uint8_t> out;
    int pmtPid = -1;
    int esPid = -1;
    bool started = false;
    for (size_t i = 0; i + 188 <= file.size(); i += 188) {
        const uint8_t* p = &file[i];
        if (p[0] != 0x47)
            continue;
        bool pusi = (p[1] & 0x40) != 0;
        int pid = ((p[1] & 0x1F) << 8) | p[2];
        int afc = (p[3] >> 4) & 3;
        int off = 4;
        if (afc & 2)
            off += 1 + p[4];
        if (!(afc & 1) || off >= 188)
            continue;
        const uint8_t* pl = p + off;
        int plLen = 188 - off;
        if (pid == 0 && pmtPid < 0 && pusi) {
            const uint8_t* s = pl + 1 + pl[0];
            int n = ((s[1] & 0x0F) << 8) | s[2];
            for (int k = 8; k + 4 <= 3 + n - 4; k += 4) {
                if (((s[k] << 8) | s[k + 1]) != 0) {
                    pmtPid = ((s[k + 2] & 0x1F) << 8) | s[k + 3];
                    break;
                }
            }
        } else if (pid == pmtPid && esPid < 0 && pusi) {
            const uint8_t* s = pl + 1 + pl[0];
            int n = ((s[1] & 0x0F) << 8) | s[2];
            int k = 12 + (((s[10] & 0x0F) << 8) | s[11]);
            while (k + 5 <= 3 + n - 4) {
                if (s[k] == streamType) {
                    esPid = ((s[k + 1] & 0x1F) << 8) | s[k + 2];
                    break;
                }
                k += 5 + (((s[k + 3] & 0x0F) << 8) | s[k + 4]);
            }
        } else if (pid == esPid && esPid >= 0) {
            if (pusi) {
                int headerLength = 9 + pl[8];
                if (headerLength > plLen)
                    continue;
                if (pesStarts)
                    pesStarts->push_back(out.size());
                out.insert(out.end(), pl + headerLength, pl + plLen);
                started = true;
            } else if (started) {
                out.insert(out.end(), pl, pl + plLen);
            }
        }
    }
    return out;
}

Packet makePacket(int pid, int cc, bool pusi, const std::vector<uint8_t>& payload, int afc,
                  const std::vector<uint8_t>& af)
{
    Packet p;
    memset(p.b, 0xFF, sizeof(p.b));
    p.b[0] = 0x47;
    p.b[1] = (uint8_t)((pusi ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    p.b[2] = (uint8_t)pid;
    p.b[3] = (uint8_t)((afc << 4) | (cc & 0x0F));
    size_t pos = 4;
    if (afc == 2 || afc == 3) {
        size_t afLength = afc == 2 ? 183 : af.size();
        p.b[4] = (uint8_t)afLength;
        if (!af.empty())
            memcpy(p.b + 5, af.data(), std::min(af.size(), (size_t)183));
        pos = 5 + afLength;
    }
    if ((afc == 1 || afc == 3) && pos < 188 && !payload.empty())
        memcpy(p.b + pos, payload.data(), std::min(payload.size(), 188 - pos));
    return p;
}

}  // namespace testsupport
