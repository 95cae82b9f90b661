// The stream decoder: a whole file read through the reader thread and recognised on its first
// buffer, every buffer fed once, and every way a run ends (end of input, unknown container,
// processor stop, abort, unreadable input), plus Ctrl-C on the real program.
#include "engine/fileSrcAsynch.h"
#include "engine/inputParams.h"
#include "engine/msgCallback.h"
#include "engine/processor.h"
#include "engine/streamDecoder.h"
#include "platform/fileLogger.h"
#include "platform/fileReader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mqueue.h>
#include <mutex>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::Watchdog;
using testsupport::readFile;
using testsupport::writeFile;
using testsupport::fixture;
using testsupport::LogCapture;
using testsupport::queueExists;
using testsupport::processedFromLog;

namespace {

// Each test's own directory under /tmp.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("korbalt_h2_dec_") {}
};

// At least size bytes of real transport stream (fixtures end to end), cut to size.
std::string transportBytes(size_t size)
{
    std::string all = readFile(fixture("mpeg2_576_16x9_ac3.ts"));
    std::string more = readFile(fixture("mpeg2_480_4x3_mp2.ts"));
    while (all.size() < size)
        all += more;
    return all.substr(0, size);
}

std::string pidQueue(const char* base, int pid)
{
    return std::string("/") + base + "_" + std::to_string(pid);
}

// What the engine fired, as the registered test callbacks saw it.
struct EventLog {
    std::vector<std::string> transportTypes;
    std::vector<int> percents;
    int completes = 0;
    void (*onTransportType)() = nullptr;
};
EventLog* g_pEvents = nullptr;

void transportTypeCb(void* data, StreamMessagePool*)
{
    g_pEvents->transportTypes.push_back(*(std::string*)data);
    if (g_pEvents->onTransportType)
        g_pEvents->onTransportType();
}
void percentCb(void* data, StreamMessagePool*)
{
    g_pEvents->percents.push_back((int)(intptr_t)data);
}
void completeCb(void*, StreamMessagePool*)
{
    ++g_pEvents->completes;
}

struct Registry {
    MsgCallback callbacks;
    EventLog events;
    Registry()
    {
        g_pEvents = &events;
        callbacks.registerMsgCallback(CB_TRANSPORT_TYPE, transportTypeCb, false);
        callbacks.registerMsgCallback(CB_PERCENT_COMPLETE, percentCb, true);
        callbacks.registerMsgCallback(CB_ANALYSIS_COMPLETE, completeCb, false);
    }
    ~Registry() { g_pEvents = nullptr; }
};

// Stands in for a container processor: counts what it is fed and can stop or abort the run.
class CountingProcessor : public TransportProcessor {
public:
    CountingProcessor(MsgCallback* registry, int duration, StreamDecoder::ContainerKind kind)
        : TransportProcessor(registry, duration), kind(kind)
    {
    }
    int processRawBuff(unsigned char* buffer, long long length) override
    {
        ++calls;
        bytes += length;
        content.append((const char*)buffer, (size_t)length);
        if (abortOnCall == calls && decoder)
            decoder->abortDecoding();
        return stopOnCall == calls ? 3 : 0;
    }
    StreamDecoder::ContainerKind kind;
    int calls = 0;
    long long bytes = 0;
    std::string content;
    int stopOnCall = -1;
    int abortOnCall = -1;
    StreamDecoder* decoder = nullptr;
};

// The decoder with the counting processor in place of the real ones.
class StreamDecoderTestable : public StreamDecoder {
public:
    StreamDecoderTestable(InputParams& params, MsgCallback* registry)
        : StreamDecoder(params, registry), m_pRegistry(registry)
    {
    }
    explicit StreamDecoderTestable(MsgCallback* registry) : StreamDecoder(registry), m_pRegistry(registry) {}
    CountingProcessor* counting() { return m_pCounting; }
    int stopOnCall = -1;
    int abortOnCall = -1;

protected:
    Processor* createTransportProcessor(ContainerKind kind, int duration) override
    {
        m_pCounting = new CountingProcessor(m_pRegistry, duration, kind);
        m_pCounting->stopOnCall = stopOnCall;
        m_pCounting->abortOnCall = abortOnCall;
        m_pCounting->decoder = this;
        return m_pCounting;
    }

private:
    MsgCallback* m_pRegistry;
    CountingProcessor* m_pCounting = nullptr;
};

struct RunResult {
    int result = -1;
    long long processed = -1;
    long long loggedProcessed = -1;
    int calls = 0;
    long long fedBytes = 0;
    std::string fed;
    std::string failure;
    bool hadProcessor = false;
    StreamDecoder::ContainerKind kind = StreamDecoder::CONTAINER_MPEG2TS;
};

RunResult runCounting(const std::string& name, Registry& reg, const TempDir& dir, int stopOnCall = -1,
                      int abortOnCall = -1)
{
    RunResult r;
    LogCapture log(dir);
    InputParams params(name);
    StreamDecoderTestable* decoder = new StreamDecoderTestable(params, &reg.callbacks);
    decoder->stopOnCall = stopOnCall;
    decoder->abortOnCall = abortOnCall;
    r.result = decoder->startDecoding(0);
    r.processed = decoder->getBytesProcessed();
    r.failure = decoder->getFailureText();
    if (decoder->counting()) {
        r.hadProcessor = true;
        r.calls = decoder->counting()->calls;
        r.fedBytes = decoder->counting()->bytes;
        r.fed = decoder->counting()->content;
        r.kind = decoder->counting()->kind;
    }
    delete decoder;
    r.loggedProcessed = processedFromLog(log.text());
    return r;
}

}  // namespace

// Every size around the 188-byte packet and the 65536-byte buffer: the count logged at the
// end equals the file size, and each byte reaches the processor exactly once.
TEST(DecoderFile, ProcessedBytesEqualFileSizeAtEveryBoundary)
{
    Watchdog dog(120, "DecoderFile.ProcessedBytesEqualFileSizeAtEveryBoundary");
    TempDir dir;
    const long long sizes[] = {0, 1, 187, 188, 65535, 65536, 131072, 100000};
    for (long long size : sizes) {
        SCOPED_TRACE("size " + std::to_string(size));
        std::string content = transportBytes((size_t)size);
        std::string name = dir.file("in_" + std::to_string(size) + ".ts");
        writeFile(name, content);
        Registry reg;
        RunResult r = runCounting(name, reg, dir);
        EXPECT_EQ(size, r.processed);
        EXPECT_EQ(size, r.loggedProcessed);
        if (size >= 188) {
            // Recognised on the first buffer; the first buffer is fed too, once.
            EXPECT_EQ(StreamDecoder::DECODE_ENDED, r.result);
            EXPECT_TRUE(r.hadProcessor);
            EXPECT_EQ(size, r.fedBytes);
            EXPECT_EQ((size + 65535) / 65536, r.calls);
            EXPECT_TRUE(r.fed == content);
            ASSERT_EQ(1u, reg.events.transportTypes.size());
            EXPECT_EQ("MPEG2 transport", reg.events.transportTypes[0]);
            EXPECT_EQ(1, reg.events.completes);
            EXPECT_TRUE(r.failure.empty()) << r.failure;
        } else {
            // Too short to be a transport stream, or nothing at all: refused, and said why.
            EXPECT_EQ(StreamDecoder::DECODE_UNKNOWN_CONTAINER, r.result);
            EXPECT_FALSE(r.hadProcessor);
            EXPECT_TRUE(reg.events.transportTypes.empty());
            EXPECT_EQ(0, reg.events.completes);
            EXPECT_NE(std::string::npos, r.failure.find(name)) << r.failure;
        }
        // Percent steps: at least 2 apart, rising, ending at 100 for a file that was read.
        for (size_t i = 1; i < reg.events.percents.size(); ++i)
            EXPECT_GE(reg.events.percents[i], reg.events.percents[i - 1] + 2);
        if (size >= 188) {
            ASSERT_FALSE(reg.events.percents.empty());
            EXPECT_EQ(100, reg.events.percents.back());
        }
        EXPECT_FALSE(queueExists(pidQueue("_EMPTY_QUEUE", getpid())));
        EXPECT_FALSE(queueExists(pidQueue("_FULL_QUEUE", getpid())));
    }
}

TEST(DecoderFile, SampleStreamThroughTheRealProcessor)
{
    Watchdog dog(120, "DecoderFile.SampleStreamThroughTheRealProcessor");
    TempDir dir;
    std::string name = std::string(KORBALT_SOURCE_DIR) + "/samples/sample.ts";
    long long size = getFileSizeOfFileName(name.c_str());
    ASSERT_GT(size, 65536 * 2);
    Registry reg;
    LogCapture log(dir);
    {
        InputParams params(name);
        StreamDecoder decoder(params, &reg.callbacks);
        EXPECT_EQ(StreamDecoder::DECODE_ENDED, decoder.startDecoding(0));
        EXPECT_EQ(size, decoder.getBytesProcessed());
        EXPECT_TRUE(decoder.getFailureText().empty());
    }
    EXPECT_EQ(size, processedFromLog(log.text()));
    ASSERT_EQ(1u, reg.events.transportTypes.size());
    EXPECT_EQ("MPEG2 transport", reg.events.transportTypes[0]);
    EXPECT_EQ(1, reg.events.completes);
}

TEST(DecoderFile, SampleStreamFedOnceBufferByBuffer)
{
    Watchdog dog(60, "DecoderFile.SampleStreamFedOnceBufferByBuffer");
    TempDir dir;
    std::string name = std::string(KORBALT_SOURCE_DIR) + "/samples/sample.ts";
    std::string content = readFile(name);
    Registry reg;
    RunResult r = runCounting(name, reg, dir);
    EXPECT_EQ(StreamDecoder::DECODE_ENDED, r.result);
    EXPECT_EQ((long long)content.size(), r.loggedProcessed);
    EXPECT_EQ((long long)(content.size() + 65535) / 65536, r.calls);
    EXPECT_TRUE(r.fed == content);
}

TEST(DecoderFile, FlvIsRecognised)
{
    Watchdog dog(60, "DecoderFile.FlvIsRecognised");
    TempDir dir;
    Registry reg;
    RunResult r = runCounting(fixture("flv_spark_mp3.flv"), reg, dir);
    EXPECT_EQ(StreamDecoder::DECODE_ENDED, r.result);
    EXPECT_TRUE(r.hadProcessor);
    EXPECT_EQ(StreamDecoder::CONTAINER_FLV, r.kind);
    ASSERT_EQ(1u, reg.events.transportTypes.size());
    EXPECT_EQ("FLV transport", reg.events.transportTypes[0]);
    EXPECT_EQ(r.processed, r.fedBytes);
}

// Neither a transport stream nor FLV: the run ends at once, says why, leaves no queue.
TEST(DecoderFile, UnknownContainerEndsAtOnce)
{
    Watchdog dog(30, "DecoderFile.UnknownContainerEndsAtOnce");
    TempDir dir;
    std::string name = dir.file("notes.txt");
    writeFile(name, std::string(300000, 'A'));
    Registry reg;
    auto start = std::chrono::steady_clock::now();
    RunResult r = runCounting(name, reg, dir);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(StreamDecoder::DECODE_UNKNOWN_CONTAINER, r.result);
    EXPECT_LT(seconds, 5.0);
    EXPECT_FALSE(r.hadProcessor);
    EXPECT_EQ(65536, r.processed);  // only the sniffed first buffer
    EXPECT_EQ(65536, r.loggedProcessed);
    EXPECT_EQ("input file " + name + " is neither an MPEG-2 transport stream nor FLV", r.failure);
    EXPECT_TRUE(reg.events.transportTypes.empty());
    EXPECT_EQ(0, reg.events.completes);
    EXPECT_FALSE(queueExists(pidQueue("_EMPTY_QUEUE", getpid())));
    EXPECT_FALSE(queueExists(pidQueue("_FULL_QUEUE", getpid())));
}

TEST(DecoderFile, UnreadableInputsFailWithTheReason)
{
    Watchdog dog(60, "DecoderFile.UnreadableInputsFailWithTheReason");
    TempDir dir;
    std::string fifo = dir.file("pipe.ts");
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    struct Case {
        std::string name;
        std::string failure;
    } cases[] = {
        {dir.file("missing.ts"), "cannot open input file " + dir.file("missing.ts") + ": No such file or directory"},
        {fifo, "cannot open input file " + fifo + ": not a regular file"},
        {dir.path(), "cannot open input file " + dir.path() + ": not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Registry reg;
        RunResult r = runCounting(c.name, reg, dir);
        EXPECT_EQ(StreamDecoder::DECODE_SOURCE_FAILED, r.result);
        EXPECT_EQ(c.failure, r.failure);
        EXPECT_EQ(0, r.processed);
        EXPECT_EQ(0, reg.events.completes);
        EXPECT_FALSE(queueExists(pidQueue("_EMPTY_QUEUE", getpid())));
    }
}

TEST(DecoderFile, ProcessorStopReturnsTheBufferAndEnds)
{
    Watchdog dog(60, "DecoderFile.ProcessorStopReturnsTheBufferAndEnds");
    TempDir dir;
    std::string name = dir.file("long.ts");
    writeFile(name, transportBytes(65536 * 8));
    Registry reg;
    RunResult r = runCounting(name, reg, dir, 3);
    EXPECT_EQ(StreamDecoder::DECODE_PROCESSOR_STOP, r.result);
    EXPECT_EQ(3, r.calls);
    EXPECT_EQ(3 * 65536, r.processed);
    EXPECT_EQ(3 * 65536, r.loggedProcessed);
    EXPECT_EQ(1, reg.events.completes);
    EXPECT_TRUE(r.failure.empty());
    EXPECT_FALSE(queueExists(pidQueue("_FULL_QUEUE", getpid())));
}

TEST(DecoderFile, StopOnTheFirstBuffer)
{
    Watchdog dog(60, "DecoderFile.StopOnTheFirstBuffer");
    TempDir dir;
    std::string name = dir.file("long.ts");
    writeFile(name, transportBytes(65536 * 4));
    Registry reg;
    RunResult r = runCounting(name, reg, dir, 1);
    EXPECT_EQ(StreamDecoder::DECODE_PROCESSOR_STOP, r.result);
    EXPECT_EQ(1, r.calls);
    EXPECT_EQ(1, reg.events.completes);
}

// An abort finishes the buffer in hand and nothing after it.
TEST(DecoderAbort, DuringDecodingEndsAfterTheBufferInHand)
{
    Watchdog dog(60, "DecoderAbort.DuringDecodingEndsAfterTheBufferInHand");
    TempDir dir;
    std::string name = dir.file("long.ts");
    writeFile(name, transportBytes(65536 * 8));
    Registry reg;
    RunResult r = runCounting(name, reg, dir, -1, 2);
    EXPECT_EQ(StreamDecoder::DECODE_ENDED, r.result);
    EXPECT_EQ(2, r.calls);
    EXPECT_EQ(2 * 65536, r.processed);
    EXPECT_EQ(1, reg.events.completes);
    EXPECT_TRUE(r.failure.empty());
}

// An abort while the first buffer is being recognised is not lost when the state moves on.
TEST(DecoderAbort, DuringSniffingIsKept)
{
    Watchdog dog(60, "DecoderAbort.DuringSniffingIsKept");
    TempDir dir;
    std::string name = dir.file("long.ts");
    writeFile(name, transportBytes(65536 * 8));
    Registry reg;
    reg.events.onTransportType = [] { StreamDecoder::requestAbort(); };
    RunResult r = runCounting(name, reg, dir);
    StreamDecoder::clearAbortRequest();
    EXPECT_EQ(StreamDecoder::DECODE_ENDED, r.result);
    EXPECT_EQ(1, r.calls);
    EXPECT_EQ(65536, r.processed);
    EXPECT_EQ(1, reg.events.completes);
}

TEST(DecoderAbort, RequestBeforeStartEndsWithoutReading)
{
    Watchdog dog(30, "DecoderAbort.RequestBeforeStartEndsWithoutReading");
    TempDir dir;
    std::string name = dir.file("long.ts");
    writeFile(name, transportBytes(65536 * 2));
    Registry reg;
    StreamDecoder::requestAbort();
    EXPECT_TRUE(StreamDecoder::isAbortRequested());
    RunResult r = runCounting(name, reg, dir);
    StreamDecoder::clearAbortRequest();
    EXPECT_FALSE(StreamDecoder::isAbortRequested());
    EXPECT_EQ(StreamDecoder::DECODE_ENDED, r.result);
    EXPECT_EQ(0, r.processed);
    EXPECT_EQ(0, r.calls);
    EXPECT_TRUE(r.failure.empty());
}

// A decoder that is deleted while an abort is pending, or that never started, does no harm.
TEST(DecoderAbort, DeletedOrNeverStartedDecoder)
{
    Watchdog dog(30, "DecoderAbort.DeletedOrNeverStartedDecoder");
    Registry reg;
    std::string name = fixture("h264_baseline_360_aac.ts");
    InputParams params(name);
    StreamDecoder* decoder = new StreamDecoder(params, &reg.callbacks);
    EXPECT_EQ(StreamDecoder::DECODER_ENDED, decoder->abortDecoding());
    delete decoder;
    StreamDecoder::requestAbort();
    StreamDecoder::clearAbortRequest();
    EXPECT_EQ(0, reg.events.completes);
}

TEST(DecoderPercent, StepsOfTwoOrMoreUpTo100)
{
    Watchdog dog(60, "DecoderPercent.StepsOfTwoOrMoreUpTo100");
    TempDir dir;
    std::string name = dir.file("million.ts");
    writeFile(name, transportBytes(1000000));
    Registry reg;
    RunResult r = runCounting(name, reg, dir);
    EXPECT_EQ(StreamDecoder::DECODE_ENDED, r.result);
    // 16 buffers: 6, 13, 19, 26, ... 98, then 100 with the last (16,960-byte) one.
    std::vector<int> expected;
    for (int i = 1; i <= 15; ++i)
        expected.push_back((int)(65536LL * i * 100 / 1000000));
    expected.push_back(100);
    EXPECT_EQ(expected, reg.events.percents);
}

TEST(DecoderPushMode, BuffersHandedInAreFedAndCounted)
{
    Watchdog dog(30, "DecoderPushMode.BuffersHandedInAreFedAndCounted");
    Registry reg;
    StreamDecoderTestable decoder(&reg.callbacks);
    std::string content = transportBytes(188 * 50);
    EXPECT_EQ(0, decoder.startDecodingMpegTs((unsigned char*)&content[0], 188 * 20));
    EXPECT_EQ(0, decoder.startDecodingMpegTs((unsigned char*)&content[188 * 20], 188 * 30));
    ASSERT_NE(nullptr, decoder.counting());
    EXPECT_EQ(2, decoder.counting()->calls);
    EXPECT_TRUE(decoder.counting()->content == content);
    EXPECT_EQ(188 * 50, decoder.getBytesProcessed());
    ASSERT_EQ(1u, reg.events.transportTypes.size());
    EXPECT_EQ("MPEG2 transport", reg.events.transportTypes[0]);
}

namespace {

// Bytes the process has read so far (its rchar), or -1 once it is gone.
long long bytesReadBy(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long long value;
    while (in >> key >> value)
        if (key == "rchar:")
            return value;
    return -1;
}

// Waits for the child for at most seconds; kills it on a time-out. Its wait status, or -1.
int waitChild(pid_t pid, int seconds)
{
    for (int i = 0; i < seconds * 100; ++i) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    return -1;
}

}  // namespace

// Ctrl-C on the real program while it is still reading a large file: the run ends in order
// (reader told to exit and joined, queues removed, report written) with exit status 0.
TEST(DecoderCtrlC, SigintEndsTheRunInOrder)
{
    Watchdog dog(240, "DecoderCtrlC.SigintEndsTheRunInOrder");
    TempDir dir;
    std::string input = dir.file("large.ts");
    {
        std::string piece = readFile(fixture("mpeg2_576_16x9_ac3.ts"));
        ASSERT_FALSE(piece.empty());
        FILE* f = fopen(input.c_str(), "wb");
        ASSERT_NE(nullptr, f);
        long long total = 0;
        while (total < 400LL * 1024 * 1024) {
            ASSERT_EQ(piece.size(), fwrite(piece.data(), 1, piece.size(), f));
            total += (long long)piece.size();
        }
        fclose(f);
    }
    long long size = getFileSizeOfFileName(input.c_str());
    std::string reportDir = dir.path() + "/";

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            close(devnull);
        }
        if (chdir(dir.path().c_str()) != 0)
            _exit(126);
        execl(KORBALT_BINARY, "korbalt", "-report_dst", reportDir.c_str(), "-report_name", "run", "-f",
              input.c_str(), (char*)nullptr);
        _exit(127);
    }

    // Interrupt once it is well into the file (16 MB read) and far from its end.
    bool sent = false;
    for (int i = 0; i < 20000; ++i) {
        long long read = bytesReadBy(pid);
        if (read < 0)
            break;
        if (read >= 16LL * 1024 * 1024) {
            kill(pid, SIGINT);
            sent = true;
            break;
        }
        usleep(500);
    }
    ASSERT_TRUE(sent) << "korbalt ended before it could be interrupted";
    int status = waitChild(pid, 60);
    ASSERT_NE(-1, status) << "korbalt did not end after SIGINT";
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(0, WEXITSTATUS(status));

    std::string log = readFile(dir.file("run_log.txt"));
    EXPECT_NE(std::string::npos, log.find("StreamSrcAsynch sending exit message to the reader")) << log;
    EXPECT_NE(std::string::npos, log.find("File Reader: Got exit message Prority 30"));
    EXPECT_NE(std::string::npos, log.find("Exiting File Reader Thread ..."));
    long long processed = processedFromLog(log);
    EXPECT_GT(processed, 0);
    EXPECT_LT(processed, size) << "the run was not interrupted";
    EXPECT_EQ(0, processed % 65536) << "whole buffers only";
    // The reader was joined before the decoder's last line.
    EXPECT_LT(log.find("Exiting File Reader Thread ..."), log.rfind("StreamDecoder Processed"));
    EXPECT_FALSE(queueExists(pidQueue("_EMPTY_QUEUE", pid)));
    EXPECT_FALSE(queueExists(pidQueue("_FULL_QUEUE", pid)));
    EXPECT_FALSE(readFile(dir.file("run")).empty()) << "no report written";
}
