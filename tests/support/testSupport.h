// Helpers the test files share: files and fixtures, temporary directories, log capture,
// queue names, time-outs, and small builders and readers of transport stream bytes.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

// The whole file as bytes in a string (empty when it cannot be read).
std::string readFile(const std::string& path);
// The whole file as a byte vector (empty when it cannot be read).
std::vector<unsigned char> readFileBytes(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// Path of a file in tests/data.
std::string fixture(const std::string& name);
// The bytes of a file in tests/data.
std::vector<unsigned char> readFixture(const std::string& name);

// True when the POSIX queue exists (or exists but cannot be opened).
bool queueExists(const std::string& name);
// prefix + pid + "_" + a counter: unique among all tests running at once.
std::string uniqueQueueName(const std::string& prefix);

// Joins the thread, giving up after ms milliseconds; true when it was joined.
bool joinWithin(pthread_t thread, int ms);

// Waits for the child in 10 ms steps; after ms it is killed, reaped, and false returned.
bool waitChildWithin(pid_t child, int* status, int ms);

// Runs body in a forked child that the alarm ends after timeoutSeconds; 0 when it passed
// (no failure, no leak), otherwise non-zero (its failures are printed by the child). Fork
// before starting any thread of the test: a sanitizer may not allow threads after a
// multi-threaded fork.
// A prelude, when given, runs first in the child: a non-zero result ends the child at once
// with that status (for a set-up the test cannot do without).
int runInChild(const std::function<void()>& body, int timeoutSeconds,
               const std::function<int()>& prelude = std::function<int()>());

// Counts a signal in this process while it lives (so that it cannot end the process), then
// restores the signal's disposition.
class SignalCounter {
public:
    explicit SignalCounter(int sig);
    ~SignalCounter();
    int count() const;
    // Waits up to ms for the count to reach at least n.
    bool waitFor(int n, int ms) const;

private:
    int m_iSig;
    struct sigaction m_Old;
};

// True when this process has path open with O_DIRECT (read from /proc/self/fdinfo).
bool openWithDirectIo(const std::string& path);

// The byte count of the last "StreamDecoder Processed " line of a log, or -1.
long long processedFromLog(const std::string& log);

// Ends the process when a test body runs longer than it may: a hang must fail, not stall CI.
class Watchdog {
public:
    Watchdog(int seconds, const char* what);
    ~Watchdog();

private:
    std::mutex m_Mutex;
    std::condition_variable m_Cv;
    bool m_bDone;
    std::thread m_Thread;
};

// A fresh directory /tmp/<prefix>XXXXXX, removed with its contents at the end.
class TempDir {
public:
    explicit TempDir(const char* prefix);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return m_sPath + "/" + name; }
    const std::string& path() const { return m_sPath; }

private:
    std::string m_sPath;
};

// Captures what the file log receives while it lives (into dir/capture_log.txt).
class LogCapture {
public:
    explicit LogCapture(const TempDir& dir);
    ~LogCapture();
    std::string text();
    // What has been logged so far, without closing the log: safe while threads log.
    std::string peek() const;

private:
    std::string m_sName;
};

// The elementary stream of the first PID of the given stream type in the first program of a
// transport stream file: PES payloads joined, PES headers left out. pesStarts receives the
// offset of each PES packet's payload.
std::vector<uint8_t> extractElementaryStream(const std::string& path, int streamType,
                                             std::vector<size_t>* pesStarts = nullptr);

// Writes bit fields MSB first, with Exp-Golomb codes for H.264 syntax.
class BitWriter {
public:
    void bits(uint64_t value, int n)
    {
        for (int i = n - 1; i >= 0; --i)
            bit((value >> i) & 1);
    }
    void bit(unsigned b)
    {
        if (m_used % 8 == 0)
            m_bytes.push_back(0);
        if (b)
            m_bytes.back() |= (uint8_t)(0x80 >> (m_used % 8));
        ++m_used;
    }
    void ue(uint64_t v)
    {
        uint64_t x = v + 1;
        int n = 0;
        while ((x >> n) > 1)
            ++n;
        bits(0, n);
        bits(x, n + 1);
    }
    void se(int64_t v) { ue(v > 0 ? (uint64_t)(2 * v - 1) : (uint64_t)(-2 * v)); }
    // rbsp_stop_one_bit and alignment zeros.
    void trailing()
    {
        bit(1);
        while (m_used % 8)
            bit(0);
    }
    void byte(uint8_t b) { bits(b, 8); }
    const std::vector<uint8_t>& data() const { return m_bytes; }
    size_t bitCount() const { return m_used; }

private:
    std::vector<uint8_t> m_bytes;
    size_t m_used = 0;
};

struct Packet {
    uint8_t b[188];
};

// One packet: header, optional adaptation field (its bytes after the length byte), then
// payload; whatever is left is 0xFF.
Packet makePacket(int pid, int cc, bool pusi, const std::vector<uint8_t>& payload, int afc = 1,
                  const std::vector<uint8_t>& af = {});

}  // namespace testsupport
