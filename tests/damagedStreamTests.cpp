// Damaged input, end to end: the korbalt executable on fixtures that were cut, prefixed,
// bit-flipped, zeroed, desynchronised (bytes lost or slipped in), given impossible lengths,
// changed tables, backward clocks and FLV offsets past the file. Each run must end by itself within seconds, exit
// as it should, write a report that parses, and (in the sanitizer build) report nothing.
#include <gtest/gtest.h>
#include <tinyxml.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <random>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

const size_t PKT = 188;
const size_t READER_BUFFER = 65536;  // the file source's buffer: the container is told from the first one

// Exit codes the child's sanitizers use, apart from the program's own 0 and 1.
const int ASAN_EXIT = 86;
const int LSAN_EXIT = 87;

std::string fixture(const std::string& name)
{
    return std::string(KORBALT_SOURCE_DIR) + "/tests/data/" + name;
}

Bytes readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool writeBytes(const std::string& path, const Bytes& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), (std::streamsize)data.size());
    return (bool)out;
}

std::string makeTempDir()
{
    char pattern[] = "/tmp/korbalt_damaged_XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir ? dir : "";
}

void removeTree(const std::string& dir)
{
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..")
                unlink((dir + "/" + n).c_str());
        }
        closedir(d);
    }
    rmdir(dir.c_str());
}

struct RunResult {
    int status = -1;  // exit status, -1 when it did not exit
    int signal = 0;
    bool timedOut = false;
    double seconds = 0;
    std::string err;
    std::string report;  // path of the report written (may not exist)
};

// korbalt on one input file, in its own directory, killed after timeoutMs.
RunResult runOn(const std::string& dir, const std::string& input, bool xml, int timeoutMs = 30000)
{
    RunResult r;
    r.report = dir + "/report";
    std::string errName = dir + "/stderr.txt";
    fflush(nullptr);
    auto t0 = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        int devNull = open("/dev/null", O_WRONLY);
        int e = open(errName.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (devNull < 0 || e < 0)
            _exit(126);
        dup2(devNull, 1);
        dup2(e, 2);
        // Sanitizer findings get exit codes of their own; keep the child's output plain.
        setenv("ASAN_OPTIONS", "detect_leaks=1:exitcode=86:abort_on_error=0", 1);
        setenv("LSAN_OPTIONS", "exitcode=87", 1);
        setenv("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1:exitcode=86", 1);
        std::string bin = KORBALT_BINARY;
        std::string dst = dir + "/";
        std::vector<const char*> argv = {bin.c_str(), "-report_dst", dst.c_str(), "-report_name", "report"};
        if (xml) {
            argv.push_back("-r");
            argv.push_back("xml");
        }
        argv.push_back("-f");
        argv.push_back(input.c_str());
        argv.push_back(nullptr);
        execv(bin.c_str(), const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int st = 0;
    for (;;) {
        pid_t done = waitpid(child, &st, WNOHANG);
        if (done == child)
            break;
        auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
        if (ms > timeoutMs) {
            kill(child, SIGKILL);
            waitpid(child, &st, 0);
            r.timedOut = true;
            break;
        }
        usleep(2000);
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    if (WIFSIGNALED(st))
        r.signal = WTERMSIG(st);
    r.err = readText(errName);
    return r;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

bool sanitizerSpoke(const std::string& err)
{
    return contains(err, "Sanitizer") || contains(err, "runtime error:") || contains(err, "LeakSanitizer");
}

// ---------------------------------------------------------------- transport stream surgery

unsigned pidOf(const uint8_t* p)
{
    return ((p[1] & 0x1Fu) << 8) | p[2];
}
bool pusiOf(const uint8_t* p)
{
    return (p[1] & 0x40) != 0;
}
unsigned afcOf(const uint8_t* p)
{
    return (p[3] >> 4) & 3;
}
// Offset of the payload in the packet, PKT when there is none.
size_t payloadOffset(const uint8_t* p)
{
    unsigned afc = afcOf(p);
    if (afc == 1)
        return 4;
    if (afc == 3 && 5u + p[4] < PKT)
        return 5u + p[4];
    return PKT;
}

uint32_t crc32Mpeg(const uint8_t* data, size_t n)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        crc ^= (uint32_t)data[i] << 24;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

size_t packetCount(const Bytes& ts)
{
    return ts.size() / PKT;
}

// First packet index of a PID starting a unit, or -1.
long findUnitStart(const Bytes& ts, unsigned pid, size_t from = 0)
{
    for (size_t i = from; i < packetCount(ts); ++i) {
        const uint8_t* p = &ts[i * PKT];
        if (p[0] == 0x47 && pidOf(p) == pid && pusiOf(p) && payloadOffset(p) < PKT)
            return (long)i;
    }
    return -1;
}

// Section start (table_id) within a PSI packet that starts one, or PKT.
size_t sectionOffset(const uint8_t* p)
{
    size_t o = payloadOffset(p);
    if (o >= PKT)
        return PKT;
    size_t s = o + 1 + p[o];
    return s < PKT ? s : PKT;
}

struct StreamLayout {
    unsigned pmtPid = 0x1FFF;
    unsigned pcrPid = 0x1FFF;
    std::vector<std::pair<unsigned, unsigned>> elements;  // stream_type, PID
};

// The first program of the first PAT, and its PMT.
StreamLayout layoutOf(const Bytes& ts)
{
    StreamLayout l;
    long pat = findUnitStart(ts, 0);
    if (pat < 0)
        return l;
    const uint8_t* p = &ts[pat * PKT];
    size_t s = sectionOffset(p);
    if (s + 12 > PKT)
        return l;
    l.pmtPid = ((p[s + 10] & 0x1Fu) << 8) | p[s + 11];
    long pmt = findUnitStart(ts, l.pmtPid);
    if (pmt < 0)
        return l;
    p = &ts[pmt * PKT];
    s = sectionOffset(p);
    if (s + 12 > PKT)
        return l;
    unsigned sectionLength = ((p[s + 1] & 0x0Fu) << 8) | p[s + 2];
    l.pcrPid = ((p[s + 8] & 0x1Fu) << 8) | p[s + 9];
    unsigned programInfo = ((p[s + 10] & 0x0Fu) << 8) | p[s + 11];
    size_t e = s + 12 + programInfo;
    size_t end = s + 3 + sectionLength - 4;
    while (e + 5 <= end && e + 5 <= PKT) {
        unsigned type = p[e];
        unsigned pid = ((p[e + 1] & 0x1Fu) << 8) | p[e + 2];
        unsigned esInfo = ((p[e + 3] & 0x0Fu) << 8) | p[e + 4];
        l.elements.push_back({type, pid});
        e += 5 + esInfo;
    }
    return l;
}

// Every packet of a PID that starts a unit.
template <class F>
void forEachUnitStart(Bytes& ts, unsigned pid, F f, size_t from = 0)
{
    for (size_t i = from; i < packetCount(ts); ++i) {
        uint8_t* p = &ts[i * PKT];
        if (p[0] == 0x47 && pidOf(p) == pid && pusiOf(p) && payloadOffset(p) < PKT)
            f(p);
    }
}

// One whole PSI section in one packet (stuffed with 0xFF), CRC filled in.
Bytes psiPacket(unsigned pid, unsigned cc, Bytes section)
{
    uint32_t crc = crc32Mpeg(section.data(), section.size());
    for (int s = 24; s >= 0; s -= 8)
        section.push_back((uint8_t)(crc >> s));
    Bytes p(PKT, 0xFF);
    p[0] = 0x47;
    p[1] = 0x40 | (uint8_t)(pid >> 8);
    p[2] = (uint8_t)pid;
    p[3] = 0x10 | (cc & 15);
    p[4] = 0;  // pointer_field
    memcpy(&p[5], section.data(), std::min(section.size(), PKT - 5));
    return p;
}

Bytes patSection(unsigned version, unsigned program, unsigned pmtPid)
{
    Bytes s = {0x00, 0xB0, 0x0D, 0x00, 0x01, (uint8_t)(0xC1 | ((version & 31) << 1)), 0x00, 0x00,
               (uint8_t)(program >> 8), (uint8_t)program, (uint8_t)(0xE0 | (pmtPid >> 8)), (uint8_t)pmtPid};
    return s;
}

Bytes pmtSection(unsigned version, unsigned program, unsigned pcrPid,
                 const std::vector<std::pair<unsigned, unsigned>>& elements)
{
    Bytes s = {0x02, 0xB0, 0x00, (uint8_t)(program >> 8), (uint8_t)program, (uint8_t)(0xC1 | ((version & 31) << 1)),
               0x00, 0x00, (uint8_t)(0xE0 | (pcrPid >> 8)), (uint8_t)pcrPid, 0xF0, 0x00};
    for (const auto& e : elements) {
        Bytes el = {(uint8_t)e.first, (uint8_t)(0xE0 | (e.second >> 8)), (uint8_t)e.second, 0xF0, 0x00};
        s.insert(s.end(), el.begin(), el.end());
    }
    unsigned length = (unsigned)s.size() - 3 + 4;
    s[1] = 0xB0 | (uint8_t)(length >> 8);
    s[2] = (uint8_t)length;
    return s;
}

// Replaces every packet of a PID from packet index `from` on with `replacement`
// (keeping the continuity counter running).
void replacePidPackets(Bytes& ts, unsigned pid, size_t from, const Bytes& replacement)
{
    unsigned cc = 0;
    for (size_t i = from; i < packetCount(ts); ++i) {
        uint8_t* p = &ts[i * PKT];
        if (pidOf(p) != pid)
            continue;
        memcpy(p, replacement.data(), PKT);
        p[3] = (uint8_t)((p[3] & 0xF0) | (cc++ & 15));
    }
}

// Packets carrying a PCR.
template <class F>
void forEachPcrPacket(Bytes& ts, size_t from, F f)
{
    for (size_t i = from; i < packetCount(ts); ++i) {
        uint8_t* p = &ts[i * PKT];
        if (p[0] == 0x47 && (afcOf(p) & 2) && p[4] >= 7 && (p[5] & 0x10))
            f(p);
    }
}

uint64_t pcrBase(const uint8_t* p)
{
    return ((uint64_t)p[6] << 25) | ((uint64_t)p[7] << 17) | ((uint64_t)p[8] << 9) | ((uint64_t)p[9] << 1) |
           (p[10] >> 7);
}

void setPcrBase(uint8_t* p, uint64_t base)
{
    base &= (1ULL << 33) - 1;
    p[6] = (uint8_t)(base >> 25);
    p[7] = (uint8_t)(base >> 17);
    p[8] = (uint8_t)(base >> 9);
    p[9] = (uint8_t)(base >> 1);
    p[10] = (uint8_t)((p[10] & 0x7F) | ((base & 1) << 7));
}

// The first packet index at or after the first reader buffer: damage from there on
// leaves the container recognisable.
size_t firstPacketAfterFirstBuffer()
{
    return (READER_BUFFER + PKT - 1) / PKT;
}

// Offset of the first start code 00 00 01 code in the payload of a PID's packets.
long findStartCodeInPid(const Bytes& ts, unsigned pid, uint8_t code)
{
    for (size_t i = 0; i < packetCount(ts); ++i) {
        const uint8_t* p = &ts[i * PKT];
        if (pidOf(p) != pid)
            continue;
        for (size_t o = payloadOffset(p); o + 4 <= PKT; ++o)
            if (p[o] == 0 && p[o + 1] == 0 && p[o + 2] == 1 && p[o + 3] == code)
                return (long)(i * PKT + o);
    }
    return -1;
}

// ---------------------------------------------------------------- FLV surgery

struct FlvTagAt {
    size_t offset;  // of the tag header
    uint8_t type;
    uint32_t size;
};

std::vector<FlvTagAt> flvTags(const Bytes& flv)
{
    std::vector<FlvTagAt> tags;
    if (flv.size() < 9)
        return tags;
    size_t o = ((size_t)flv[5] << 24 | (size_t)flv[6] << 16 | (size_t)flv[7] << 8 | flv[8]) + 4;
    while (o + 11 <= flv.size()) {
        uint32_t size = (uint32_t)flv[o + 1] << 16 | (uint32_t)flv[o + 2] << 8 | flv[o + 3];
        tags.push_back({o, flv[o], size});
        o += 11 + size + 4;
    }
    return tags;
}

void put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = (uint8_t)(v >> (24 - 8 * i));
}

void put24(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 3; ++i)
        b[at + i] = (uint8_t)(v >> (16 - 8 * i));
}

// ---------------------------------------------------------------- cases

enum Expect {
    EXPECT_ANALYSED,  // status 0; a transport stream report with its summaries, an FLV one with its header
    EXPECT_REFUSED,   // status 1: neither a transport stream nor FLV; the report still written
    EXPECT_ENDS_OK,   // status 0, no claim about what the report holds
    EXPECT_ERRORS,    // analysed, and the report counts errors (packets went missing)
    EXPECT_CLEAN      // analysed, and no error: the damage is only where the file ends
};

struct DamageCase {
    std::string name;
    std::string fixtureName;
    std::function<void(Bytes&)> damage;
    Expect expect;
};

std::vector<DamageCase> g_Cases;

void add(const std::string& name, const std::string& fix, std::function<void(Bytes&)> damage, Expect expect)
{
    g_Cases.push_back({name, fix, damage, expect});
}

void truncateTo(Bytes& b, size_t n)
{
    if (n < b.size())
        b.resize(n);
}

// A random number generator with a fixed seed: the same damage every run.
std::mt19937& rng(unsigned seed)
{
    static std::mt19937 r;
    r.seed(seed);
    return r;
}

void buildTransportCases(const std::string& fix)
{
    const std::string tag = fix.substr(0, fix.find('.'));
    // Damage behind the first reader buffer needs a fixture that reaches well past it.
    struct stat st;
    const bool long_ = stat(fixture(fix).c_str(), &st) == 0 && st.st_size > (off_t)(READER_BUFFER + 100 * PKT);
    // Truncated at every kind of boundary.
    add(tag + "_Empty", fix, [](Bytes& b) { b.clear(); }, EXPECT_REFUSED);
    add(tag + "_OneByte", fix, [](Bytes& b) { truncateTo(b, 1); }, EXPECT_REFUSED);
    add(tag + "_InsideFirstPacket", fix, [](Bytes& b) { truncateTo(b, PKT - 1); }, EXPECT_REFUSED);
    add(tag + "_OnePacket", fix, [](Bytes& b) { truncateTo(b, PKT); }, EXPECT_ENDS_OK);
    add(tag + "_InsidePacketHeader", fix, [](Bytes& b) { truncateTo(b, 5 * PKT + 2); }, EXPECT_ENDS_OK);
    add(tag + "_InsidePatSection", fix,
        [](Bytes& b) {
            long pat = findUnitStart(b, 0);
            truncateTo(b, pat < 0 ? 0 : pat * PKT + sectionOffset(&b[pat * PKT]) + 6);
        },
        EXPECT_ENDS_OK);
    add(tag + "_InsidePmtSection", fix,
        [](Bytes& b) {
            long pmt = findUnitStart(b, layoutOf(b).pmtPid);
            truncateTo(b, pmt < 0 ? 0 : pmt * PKT + sectionOffset(&b[pmt * PKT]) + 14);
        },
        EXPECT_ENDS_OK);
    add(tag + "_InsideFirstPesHeader", fix,
        [](Bytes& b) {
            StreamLayout l = layoutOf(b);
            long pes = l.elements.empty() ? -1 : findUnitStart(b, l.elements[0].second);
            truncateTo(b, pes < 0 ? 0 : pes * PKT + payloadOffset(&b[pes * PKT]) + 10);
        },
        EXPECT_ENDS_OK);
    add(tag + "_InsideAdaptationField", fix,
        [](Bytes& b) {
            size_t cut = b.size();
            forEachPcrPacket(b, 0, [&](uint8_t* p) {
                if (cut == b.size())
                    cut = (size_t)(p - b.data()) + 8;  // in the middle of the PCR
            });
            truncateTo(b, cut);
        },
        EXPECT_ENDS_OK);
    for (uint8_t code : {0xB3, 0xB5, 0xB8, 0x00}) {
        // Inside an H.262 header, or an H.264 NAL unit header: cut 3 bytes after the start code.
        char name[64];
        snprintf(name, sizeof(name), "_InsideStartCode%02X", code);
        add(tag + name, fix,
            [code](Bytes& b) {
                StreamLayout l = layoutOf(b);
                for (const auto& e : l.elements) {
                    long at = findStartCodeInPid(b, e.second, code);
                    if (at >= 0) {
                        truncateTo(b, (size_t)at + 6);
                        return;
                    }
                }
            },
            EXPECT_ENDS_OK);
    }
    if (long_) {
        for (long delta : {-1L, 0L, 1L, 100L}) {
            add(tag + "_AtReaderBuffer" + (delta < 0 ? "Minus" : "Plus") + std::to_string(delta < 0 ? -delta : delta),
                fix, [delta](Bytes& b) { truncateTo(b, (size_t)((long)READER_BUFFER + delta)); }, EXPECT_CLEAN);
        }
    }
    add(tag + "_LastByteMissing", fix, [](Bytes& b) { truncateTo(b, b.size() - 1); }, EXPECT_CLEAN);

    // A garbage prefix shifts every packet: the grid is found behind it and the prefix
    // reported as a sync loss.
    for (size_t n : {1u, 187u, 189u, 4096u}) {
        add(tag + "_GarbagePrefix" + std::to_string(n), fix,
            [n](Bytes& b) {
                Bytes g(n);
                std::mt19937& r = rng((unsigned)n);
                for (uint8_t& x : g)
                    x = (uint8_t)r();
                g[0] = 0x47;  // the worst case: it even starts like a packet
                b.insert(b.begin(), g.begin(), g.end());
            },
            EXPECT_ERRORS);
    }
    // So much garbage that the first buffer holds no grid of five sync bytes: refused.
    for (size_t n : {READER_BUFFER - 4 * PKT, READER_BUFFER - 1}) {
        add(tag + "_GarbagePrefixNoGridInFirstBuffer" + std::to_string(n), fix,
            [n](Bytes& b) { b.insert(b.begin(), n, 0x00); }, EXPECT_REFUSED);
    }
    // Packets of 204 bytes (188 and 16 parity bytes) are not a grid of 188.
    add(tag + "_ReedSolomon204", fix,
        [](Bytes& b) {
            Bytes out;
            std::mt19937& r = rng(204);
            for (size_t i = 0; i + PKT <= b.size(); i += PKT) {
                out.insert(out.end(), b.begin() + (long)i, b.begin() + (long)(i + PKT));
                for (int k = 0; k < 16; ++k)
                    out.push_back((uint8_t)r());
            }
            b.swap(out);
        },
        EXPECT_REFUSED);
    // Bytes lost and slipped in, inside a packet, at a sync byte, and where a reader buffer
    // ends: the grid is found again and the loss counted.
    std::vector<size_t> at = {10 * PKT + 50, 20 * PKT};
    if (long_) {
        at.push_back(READER_BUFFER - 1);
        at.push_back(READER_BUFFER);
        at.push_back(READER_BUFFER + 1);
    }
    for (size_t o : at) {
        add(tag + "_ByteLostAt" + std::to_string(o), fix, [o](Bytes& b) { b.erase(b.begin() + (long)o); },
            EXPECT_ERRORS);
        add(tag + "_ByteSlippedInAt" + std::to_string(o), fix,
            [o](Bytes& b) { b.insert(b.begin() + (long)o, 0x00); }, EXPECT_ERRORS);
    }
    // A whole garbage packet in front, sync byte and all, keeps the rest aligned.
    add(tag + "_GarbagePacketPrefix", fix,
        [](Bytes& b) {
            Bytes g(PKT);
            std::mt19937& r = rng(7);
            for (uint8_t& x : g)
                x = (uint8_t)r();
            g[0] = 0x47;
            b.insert(b.begin(), g.begin(), g.end());
        },
        EXPECT_ANALYSED);

    // Random bit flips, fixed seeds; the first buffer's sync bytes are left alone so the
    // container is still recognised.
    for (unsigned seed : {1u, 2u}) {
        for (double rate : {1e-3, 1e-2}) {
            char name[64];
            snprintf(name, sizeof(name), "_BitFlips%g_Seed%u", rate, seed);
            std::string n = name;
            for (char& c : n)
                if (c == '.' || c == '-')
                    c = '_';
            add(tag + n, fix,
                [seed, rate](Bytes& b) {
                    std::mt19937& r = rng(seed * 7919u + (unsigned)(rate * 1e6));
                    size_t flips = (size_t)(b.size() * 8 * rate);
                    for (size_t k = 0; k < flips; ++k) {
                        size_t at = r() % b.size();
                        if (at < READER_BUFFER && at % PKT == 0)
                            continue;
                        b[at] ^= (uint8_t)(1u << (r() % 8));
                    }
                },
                EXPECT_ENDS_OK);
        }
    }
    // Bit flips only in the headers (first 4 bytes) of packets: PIDs, flags, counters.
    add(tag + "_HeaderBitFlips", fix,
        [](Bytes& b) {
            std::mt19937& r = rng(11);
            for (size_t i = 0; i < packetCount(b); ++i)
                if (r() % 4 == 0)
                    b[i * PKT + 1 + r() % 3] ^= (uint8_t)(1u << (r() % 8));
        },
        EXPECT_ENDS_OK);

    // Zeroed packets: wholly after the first buffer, and with the sync byte kept anywhere.
    if (long_) {
        add(tag + "_ZeroedPackets", fix,
            [](Bytes& b) {
                for (size_t i = firstPacketAfterFirstBuffer(); i < packetCount(b); i += 10)
                    memset(&b[i * PKT], 0, PKT);
            },
            EXPECT_ERRORS);
    }
    add(tag + "_ZeroedBehindSync", fix,
        [](Bytes& b) {
            for (size_t i = 3; i < packetCount(b); i += 7)
                memset(&b[i * PKT + 1], 0, PKT - 1);  // PID 0 with nothing valid in it
        },
        EXPECT_ENDS_OK);

    // Wrong sync bytes after the first buffer, some alone and some in a run.
    if (long_) {
        add(tag + "_WrongSyncBytes", fix,
            [](Bytes& b) {
                size_t first = firstPacketAfterFirstBuffer();
                for (size_t i = first; i < packetCount(b); i += 13)
                    b[i * PKT] = (uint8_t)(i & 1 ? 0x48 : 0x00);
                for (size_t i = first + 50; i < first + 80 && i < packetCount(b); ++i)
                    b[i * PKT] = 0xB8;
            },
            EXPECT_ERRORS);
    }
    // A byte lost in the middle: every later packet is off by one, and the processor does
    // not look for the grid again, so the rest is dropped without an error.
    if (long_) {
        add(tag + "_ByteLostMidStream", fix,
            [](Bytes& b) {
                size_t at = firstPacketAfterFirstBuffer() * PKT + 77;
                if (at < b.size())
                    b.erase(b.begin() + (long)at);
            },
            EXPECT_ANALYSED);
    }

    // Impossible lengths.
    add(tag + "_PatSectionLength4095", fix,
        [](Bytes& b) {
            forEachUnitStart(b, 0, [](uint8_t* p) {
                size_t s = sectionOffset(p);
                if (s + 3 <= PKT) {
                    p[s + 1] |= 0x0F;
                    p[s + 2] = 0xFF;
                }
            });
        },
        EXPECT_ENDS_OK);
    add(tag + "_PmtSectionLength4095", fix,
        [](Bytes& b) {
            forEachUnitStart(b, layoutOf(b).pmtPid, [](uint8_t* p) {
                size_t s = sectionOffset(p);
                if (s + 3 <= PKT) {
                    p[s + 1] |= 0x0F;
                    p[s + 2] = 0xFF;
                }
            });
        },
        EXPECT_ENDS_OK);
    add(tag + "_PointerField255", fix,
        [](Bytes& b) {
            unsigned pmt = layoutOf(b).pmtPid;
            for (unsigned pid : {0u, pmt})
                forEachUnitStart(b, pid, [](uint8_t* p) { p[payloadOffset(p)] = 0xFF; });
        },
        EXPECT_ENDS_OK);
    add(tag + "_PointerFieldToLastByte", fix,
        [](Bytes& b) {
            forEachUnitStart(b, 0, [](uint8_t* p) {
                size_t o = payloadOffset(p);
                p[o] = (uint8_t)(PKT - o - 2);  // the section starts at the packet's last byte
            });
        },
        EXPECT_ENDS_OK);
    add(tag + "_AdaptationFieldLength255", fix,
        [](Bytes& b) {
            forEachPcrPacket(b, 0, [](uint8_t* p) { p[4] = 0xFF; });
        },
        EXPECT_ENDS_OK);
    add(tag + "_AdaptationFieldFillsPacket", fix,
        [](Bytes& b) {
            // 183 with a payload announced, 184 without: the first is the whole packet, the
            // second one byte too many.
            int k = 0;
            forEachPcrPacket(b, 0, [&k](uint8_t* p) {
                p[4] = (k++ & 1) ? 184 : 183;
            });
        },
        EXPECT_ENDS_OK);
    add(tag + "_AdaptationFlagsPastLength", fix,
        [](Bytes& b) {
            // Length 1 but every optional part flagged.
            forEachPcrPacket(b, 0, [](uint8_t* p) {
                p[4] = 1;
                p[5] = 0xFF;
            });
        },
        EXPECT_ENDS_OK);
    add(tag + "_EsInfoLengthPastSection", fix,
        [](Bytes& b) {
            forEachUnitStart(b, layoutOf(b).pmtPid, [](uint8_t* p) {
                size_t s = sectionOffset(p);
                if (s + 12 > PKT)
                    return;
                size_t e = s + 12 + (((p[s + 10] & 0x0Fu) << 8) | p[s + 11]);
                if (e + 5 <= PKT) {
                    p[e + 3] |= 0x03;
                    p[e + 4] = 0xFF;  // 1023 bytes of descriptors
                }
            });
        },
        EXPECT_ENDS_OK);
    add(tag + "_ProgramInfoLengthPastSection", fix,
        [](Bytes& b) {
            forEachUnitStart(b, layoutOf(b).pmtPid, [](uint8_t* p) {
                size_t s = sectionOffset(p);
                if (s + 12 <= PKT) {
                    p[s + 10] |= 0x0F;
                    p[s + 11] = 0xFF;
                }
            });
        },
        EXPECT_ENDS_OK);
    add(tag + "_PesHeaderLongerThanPacket", fix,
        [](Bytes& b) {
            for (const auto& e : layoutOf(b).elements)
                forEachUnitStart(b, e.second, [](uint8_t* p) {
                    size_t o = payloadOffset(p);
                    if (o + 9 <= PKT)
                        p[o + 8] = 0xFF;  // PES_header_data_length
                });
        },
        EXPECT_ENDS_OK);
    add(tag + "_PesPacketLengthTiny", fix,
        [](Bytes& b) {
            for (const auto& e : layoutOf(b).elements)
                forEachUnitStart(b, e.second, [](uint8_t* p) {
                    size_t o = payloadOffset(p);
                    if (o + 6 <= PKT) {
                        p[o + 4] = 0;
                        p[o + 5] = 1;
                    }
                });
        },
        EXPECT_ENDS_OK);
    add(tag + "_PesStartCodeBroken", fix,
        [](Bytes& b) {
            for (const auto& e : layoutOf(b).elements)
                forEachUnitStart(b, e.second, [](uint8_t* p) {
                    size_t o = payloadOffset(p);
                    if (o + 3 <= PKT)
                        p[o + 2] = 0x02;
                });
        },
        EXPECT_ENDS_OK);

    // Tables that change mid-stream.
    add(tag + "_PatChangesMidStream", fix,
        [](Bytes& b) {
            // From the middle on the program lives on another PMT PID that carries a
            // different PMT: the video PID announced as AC-3 and the audio as H.264.
            StreamLayout l = layoutOf(b);
            size_t mid = packetCount(b) / 2;
            replacePidPackets(b, 0, mid, psiPacket(0, 0, patSection(5, 1, 0x1F0)));
            std::vector<std::pair<unsigned, unsigned>> swapped;
            for (const auto& e : l.elements)
                swapped.push_back({e.first == 0x1B || e.first == 0x02 ? 0x81u : 0x1Bu, e.second});
            Bytes pmt = psiPacket(0x1F0, 0, pmtSection(3, 1, l.pcrPid, swapped));
            unsigned cc = 0;
            for (size_t i = mid; i < packetCount(b); i += 40) {
                uint8_t* p = &b[i * PKT];
                if (pidOf(p) == 0)
                    continue;
                memcpy(p, pmt.data(), PKT);
                p[3] = (uint8_t)(0x10 | (cc++ & 15));
            }
        },
        EXPECT_ANALYSED);
    add(tag + "_PmtChangesMidStream", fix,
        [](Bytes& b) {
            // Same PMT PID, new version: elements dropped, a PID added, another stream type.
            StreamLayout l = layoutOf(b);
            size_t mid = packetCount(b) / 3;
            std::vector<std::pair<unsigned, unsigned>> changed = {{0x0F, 0x1234}};
            if (!l.elements.empty())
                changed.push_back({0x03, l.elements.back().second});
            replacePidPackets(b, l.pmtPid, mid, psiPacket(l.pmtPid, 0, pmtSection(9, 1, 0x1234, changed)));
        },
        EXPECT_ANALYSED);
    add(tag + "_ProgramVanishes", fix,
        [](Bytes& b) {
            // The PAT from the middle on lists no program at all.
            Bytes empty = {0x00, 0xB0, 0x09, 0x00, 0x01, 0xC3, 0x00, 0x00};
            replacePidPackets(b, 0, packetCount(b) / 2, psiPacket(0, 0, empty));
        },
        EXPECT_ANALYSED);
    add(tag + "_ConcatenatedWithAnotherStream", fix,
        [](Bytes& b) {
            Bytes other = readBytes(fixture("two_programs.ts"));
            b.insert(b.end(), other.begin(), other.end());
        },
        EXPECT_ANALYSED);

    // A PCR that jumps backwards, once by ten seconds and once to zero, and a PCR that
    // stands still.
    add(tag + "_PcrJumpsBackwards", fix,
        [](Bytes& b) {
            size_t mid = packetCount(b) / 2;
            forEachPcrPacket(b, mid, [](uint8_t* p) { setPcrBase(p, pcrBase(p) - 90000ULL * 10); });
        },
        EXPECT_ANALYSED);
    add(tag + "_PcrBackToZero", fix,
        [](Bytes& b) {
            size_t mid = packetCount(b) / 2;
            uint64_t base = 0;
            forEachPcrPacket(b, mid, [&base](uint8_t* p) {
                setPcrBase(p, base);
                base += 3600;
            });
        },
        EXPECT_ANALYSED);
    add(tag + "_PcrStandsStill", fix,
        [](Bytes& b) {
            forEachPcrPacket(b, 0, [](uint8_t* p) { setPcrBase(p, 123456); });
        },
        EXPECT_ANALYSED);
}

void buildFlvCases(const std::string& fix)
{
    const std::string tag = fix.substr(0, fix.find('.'));
    // Truncated: inside the header, at its end, inside the first tag header, inside a
    // body, in a PreviousTagSize.
    add(tag + "_Empty", fix, [](Bytes& b) { b.clear(); }, EXPECT_REFUSED);
    add(tag + "_InsideHeader", fix, [](Bytes& b) { truncateTo(b, 8); }, EXPECT_REFUSED);
    add(tag + "_HeaderOnly", fix, [](Bytes& b) { truncateTo(b, 9); }, EXPECT_ANALYSED);
    add(tag + "_InsideFirstTagHeader", fix, [](Bytes& b) { truncateTo(b, 9 + 4 + 5); }, EXPECT_ANALYSED);
    add(tag + "_InsideFirstBody", fix,
        [](Bytes& b) {
            std::vector<FlvTagAt> t = flvTags(b);
            truncateTo(b, t.empty() ? 20 : t[0].offset + 11 + t[0].size / 2);
        },
        EXPECT_ANALYSED);
    add(tag + "_InsidePreviousTagSize", fix,
        [](Bytes& b) {
            std::vector<FlvTagAt> t = flvTags(b);
            truncateTo(b, t.size() < 3 ? 20 : t[2].offset + 11 + t[2].size + 2);
        },
        EXPECT_ANALYSED);
    // DataOffset past the file, to the largest value, and below the header.
    add(tag + "_DataOffsetPastFile", fix, [](Bytes& b) { put32(b, 5, (uint32_t)b.size() + 1000); },
        EXPECT_ANALYSED);
    add(tag + "_DataOffsetMax", fix, [](Bytes& b) { put32(b, 5, 0xFFFFFFFFu); }, EXPECT_ANALYSED);
    add(tag + "_DataOffsetZero", fix, [](Bytes& b) { put32(b, 5, 0); }, EXPECT_ANALYSED);
    add(tag + "_DataOffsetInsideHeader", fix, [](Bytes& b) { put32(b, 5, 5); }, EXPECT_ANALYSED);
    // Tag sizes past the file: the first tag, a middle one, every one.
    add(tag + "_FirstTagSizeMax", fix,
        [](Bytes& b) {
            std::vector<FlvTagAt> t = flvTags(b);
            if (!t.empty())
                put24(b, t[0].offset + 1, 0xFFFFFF);
        },
        EXPECT_ANALYSED);
    add(tag + "_MiddleTagSizePastFile", fix,
        [](Bytes& b) {
            std::vector<FlvTagAt> t = flvTags(b);
            if (t.size() > 4)
                put24(b, t[t.size() / 2].offset + 1, (uint32_t)std::min<size_t>(b.size(), 0xFFFFFF));
        },
        EXPECT_ANALYSED);
    add(tag + "_EveryTagSizeZero", fix,
        [](Bytes& b) {
            for (const FlvTagAt& t : flvTags(b))
                put24(b, t.offset + 1, 0);
        },
        EXPECT_ANALYSED);
    add(tag + "_TagTypesGarbage", fix,
        [](Bytes& b) {
            std::mt19937& r = rng(5);
            for (const FlvTagAt& t : flvTags(b))
                b[t.offset] = (uint8_t)r();
        },
        EXPECT_ANALYSED);
    add(tag + "_PreviousTagSizesGarbage", fix,
        [](Bytes& b) {
            std::mt19937& r = rng(6);
            for (const FlvTagAt& t : flvTags(b))
                if (t.offset >= 4)
                    put32(b, t.offset - 4, (uint32_t)r());
        },
        EXPECT_ANALYSED);
    for (unsigned seed : {1u, 2u}) {
        add(tag + "_BitFlips_Seed" + std::to_string(seed), fix,
            [seed](Bytes& b) {
                std::mt19937& r = rng(seed);
                for (size_t k = 0; k < b.size() / 200; ++k) {
                    size_t at = 3 + r() % (b.size() - 3);  // keep the signature
                    b[at] ^= (uint8_t)(1u << (r() % 8));
                }
            },
            EXPECT_ANALYSED);
    }
    add(tag + "_GarbagePrefix", fix,
        [](Bytes& b) {
            Bytes g = {0x00, 0x46, 0x4C};
            b.insert(b.begin(), g.begin(), g.end());
        },
        EXPECT_REFUSED);
}

bool buildAllCases()
{
    for (const char* f : {"mpeg2_576_16x9_ac3.ts", "h264_high_720_ac3_51.ts", "mpeg2_480_4x3_mp2.ts",
                          "h264_baseline_360_aac.ts", "s302m_2ch_20.ts", "h264_main_576i_mp3.ts"})
        buildTransportCases(f);
    for (const char* f : {"flv_h264_aac.flv", "flv_spark_mp3.flv", "flv_nellymoser.flv"})
        buildFlvCases(f);
    return true;
}

// ---------------------------------------------------------------- the report

const TiXmlElement* child(const TiXmlElement* e, const char* name)
{
    return e ? e->FirstChildElement(name) : nullptr;
}

void checkXmlReport(const std::string& path, Expect expect, bool flv, const std::string& what)
{
    std::string text = readText(path);
    ASSERT_FALSE(text.empty()) << what << ": no report";
    TiXmlDocument doc;
    doc.Parse(text.c_str());
    ASSERT_FALSE(doc.Error()) << what << ": the report does not parse: " << doc.ErrorDesc() << " (row "
                              << doc.ErrorRow() << ")";
    const TiXmlElement* root = doc.RootElement();
    ASSERT_TRUE(root != nullptr) << what;
    EXPECT_STREQ("Summary", root->Value()) << what;
    const bool analysed = expect == EXPECT_ANALYSED || expect == EXPECT_ERRORS || expect == EXPECT_CLEAN;
    EXPECT_TRUE(child(root, "ReportSummary") != nullptr) << what;
    if (analysed && flv) {
        EXPECT_TRUE(child(root, "FLVHeader") != nullptr) << what << ": no FLV header";
    } else if (analysed) {
        const TiXmlElement* media = child(root, "MediaSummary");
        ASSERT_TRUE(media != nullptr) << what << ": no media summary";
        const TiXmlElement* errors = child(media, "TotalErrors");
        ASSERT_TRUE(errors != nullptr) << what;
        const char* value = errors->Attribute("value");
        ASSERT_TRUE(value != nullptr) << what;
        char* end = nullptr;
        long n = strtol(value, &end, 10);
        EXPECT_TRUE(end && *end == '\0' && n >= 0) << what << ": TotalErrors " << value;
        if (expect == EXPECT_ERRORS) {
            EXPECT_GT(n, 0) << what << ": lost packets but no error counted";
        } else if (expect == EXPECT_CLEAN) {
            EXPECT_EQ(0, n) << what << ": errors where the stream is whole";
        }
        // The PAT and the PMT of the first program are in the report.
        EXPECT_TRUE(child(child(child(root, "Media"), "SystemInformation"), "PATTable") != nullptr) << what;
    }
}

class DamagedStream : public ::testing::TestWithParam<size_t> {};

TEST_P(DamagedStream, EndsExitsAndReports)
{
    const DamageCase& c = g_Cases[GetParam()];
    Bytes data = readBytes(fixture(c.fixtureName));
    ASSERT_GT(data.size(), 4 * PKT) << c.fixtureName;
    bool flv = c.fixtureName.size() > 4 && c.fixtureName.compare(c.fixtureName.size() - 4, 4, ".flv") == 0;
    c.damage(data);
    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    std::string input = dir + "/input" + (flv ? ".flv" : ".ts");
    ASSERT_TRUE(writeBytes(input, data));

    // The XML report for every case, the text report too for a third of them.
    for (int pass = 0; pass < (GetParam() % 3 == 0 ? 2 : 1); ++pass) {
        bool xml = pass == 0;
        std::string what = c.name + (xml ? " (xml)" : " (txt)");
        RunResult r = runOn(dir, input, xml);
        ASSERT_FALSE(r.timedOut) << what << ": still running after 30 s";
        EXPECT_LT(r.seconds, 10.0) << what << ": took " << r.seconds << " s";
        EXPECT_EQ(0, r.signal) << what << ": killed by signal " << r.signal << "\n" << r.err;
        EXPECT_NE(ASAN_EXIT, r.status) << what << "\n" << r.err;
        EXPECT_NE(LSAN_EXIT, r.status) << what << "\n" << r.err;
        EXPECT_FALSE(sanitizerSpoke(r.err)) << what << "\n" << r.err;
        if (c.expect == EXPECT_REFUSED) {
            EXPECT_EQ(1, r.status) << what << "\n" << r.err;
            // One line that names the input.
            EXPECT_TRUE(contains(r.err, "korbalt: ") && contains(r.err, "input")) << what << "\n" << r.err;
        } else {
            EXPECT_EQ(0, r.status) << what << "\n" << r.err;
            EXPECT_EQ("", r.err) << what;
        }
        if (xml) {
            checkXmlReport(r.report, c.expect, flv, what);
        } else {
            std::string report = readText(r.report);
            EXPECT_EQ(0u, report.find("\n<<< Summary >>>")) << what << ": " << report.substr(0, 200);
            if (c.expect == EXPECT_ANALYSED || c.expect == EXPECT_ERRORS || c.expect == EXPECT_CLEAN) {
                EXPECT_TRUE(contains(report, flv ? "\n<<< FLV Header >>>" : "\nTotalErrors:")) << what;
            }
        }
        unlink(r.report.c_str());
        unlink((dir + "/report_log.txt").c_str());
    }
    removeTree(dir);
}

const bool g_Built = buildAllCases();

std::string caseName(const ::testing::TestParamInfo<size_t>& info)
{
    std::string n = g_Cases[info.param].name;
    for (char& ch : n)
        if (!isalnum((unsigned char)ch))
            ch = '_';
    return n;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DamagedStream, ::testing::Range<size_t>(0, g_Built ? g_Cases.size() : 0),
                         caseName);

// ---------------------------------------------------------------- sync losses in the report

namespace {

struct SyncLoss {
    std::string packet;
    std::string description;
    std::string log;  // the log line, without its end of line
};

// The Errors entries of a Sync Loss type in an XML report, in order.
std::vector<std::pair<std::string, std::string>> xmlSyncLosses(const std::string& path, long* totalErrors)
{
    std::vector<std::pair<std::string, std::string>> out;
    TiXmlDocument doc;
    std::string text = readText(path);
    doc.Parse(text.c_str());
    const TiXmlElement* root = doc.RootElement();
    const TiXmlElement* total = child(child(root, "MediaSummary"), "TotalErrors");
    *totalErrors = total && total->Attribute("value") ? strtol(total->Attribute("value"), nullptr, 10) : -1;
    for (const TiXmlElement* e = child(child(child(root, "Media"), "Errors"), "Pid"); e;
         e = e->NextSiblingElement("Pid")) {
        const char* type = e->Attribute("Type");
        if (type && std::string(type) == "Sync Loss") {
            EXPECT_STREQ("8191", e->Attribute("value"));
            out.push_back({e->Attribute("Packet") ? e->Attribute("Packet") : "",
                           e->Attribute("Description") ? e->Attribute("Description") : ""});
        }
    }
    return out;
}

// The text report without what differs between two runs on the same stream (times, the
// file name) and without what a sync loss adds (its error line and count).
std::string withoutSyncLoss(const std::string& report)
{
    std::istringstream in(report);
    std::string line, out;
    while (std::getline(in, line)) {
        if (contains(line, "Time:") || contains(line, "File Name:") || contains(line, "TotalErrors:") ||
            contains(line, "Type=\"Sync Loss\""))
            continue;
        out += line + "\n";
    }
    const std::string empty = "<<< Errors >>>\n>>> Errors <<<\n";
    size_t at = out.find(empty);
    if (at != std::string::npos)
        out.erase(at, empty.size());
    return out;
}

// Random bytes without a sync byte: nothing in them can be taken for a packet.
Bytes garbageWithoutSync(size_t n, unsigned seed)
{
    Bytes g(n);
    std::mt19937& r = rng(seed);
    for (uint8_t& x : g) {
        x = (uint8_t)r();
        if (x == 0x47)
            x = 0x46;
    }
    return g;
}

}  // namespace

// Each loss is in both reports as an error of its own (PID 8191, the number of the first
// packet after the gap, "Sync Loss", the bytes skipped) and in the log with its offsets;
// a stream with leading garbage is analysed from the grid on exactly as without it.
TEST(DamagedStreamSync, LossesAreReportedWhereTheyHappen)
{
    const std::string fix = "mpeg2_576_16x9_ac3.ts";
    const Bytes clean = readBytes(fixture(fix));
    ASSERT_GT(clean.size(), 3 * READER_BUFFER);
    struct Case {
        std::string name;
        std::function<void(Bytes&)> damage;
        std::vector<SyncLoss> losses;
        bool sameAnalysis;  // as the clean stream, apart from the losses
    };
    auto loss = [](long long lost, long long regained, const std::string& packet) {
        std::string n = std::to_string(regained - lost);
        return SyncLoss{packet, n + " bytes skipped",
                        "Sync lost at byte " + std::to_string(lost) + ", regained at byte " + std::to_string(regained) +
                            ": " + n + " bytes skipped"};
    };
    std::vector<Case> cases = {
        // 100000 lies in packet 531: it ends on the next packet's sync byte, 532 is lost.
        {"ByteLostMidStream", [](Bytes& b) { b.erase(b.begin() + 100000); }, {loss(100016, 100203, "532")}, false},
        {"ByteSlippedInMidStream", [](Bytes& b) { b.insert(b.begin() + 100000, 0x00); },
         {loss(100016, 100017, "532")}, false},
        // The search begins in the first reader buffer and is confirmed in the second.
        {"ByteLostBeforeBufferEnd", [](Bytes& b) { b.erase(b.begin() + 65300); }, {loss(65424, 65611, "348")},
         false},
        {"ByteSlippedInBeforeBufferEnd", [](Bytes& b) { b.insert(b.begin() + 65424, 0x00); },
         {loss(65424, 65425, "348")}, false},
        // The packet split between the buffers is whole; the one after it lost its sync byte.
        {"SyncByteLostAfterBufferEnd", [](Bytes& b) { b.erase(b.begin() + 65612); }, {loss(65612, 65799, "349")},
         false},
        {"TwoLossesTwoBuffersApart",
         [](Bytes& b) {
             b.erase(b.begin() + 196300);  // its search straddles the end of the third buffer
             b.erase(b.begin() + 100000);
         },
         {loss(100016, 100203, "532"), loss(196459, 196646, "1044")}, false},
        {"CaptureStartsMidPacket", [](Bytes& b) { b.erase(b.begin(), b.begin() + 100); }, {loss(0, 88, "0")},
         false},
        // Of 2601 packets, 2598 lost a byte: only the end of the file confirms the last one.
        {"ByteLostInThirdLastPacket", [](Bytes& b) { b.erase(b.end() - 3 * PKT + 10); },
         {loss(488612, 488799, "2599")}, false},
        {"TrailingGarbage", [](Bytes& b) { b.insert(b.end(), 300, 0x00); },
         {{"2601", "300 bytes skipped to the end",
           "Sync lost at byte 488988, not regained before the end at byte 489288: 300 bytes skipped"}},
         true},
    };
    for (size_t n : {(size_t)1, PKT, (size_t)4096, READER_BUFFER - 4 * PKT - 1}) {
        cases.push_back({"LeadingGarbage" + std::to_string(n),
                         [n](Bytes& b) {
                             Bytes g = garbageWithoutSync(n, (unsigned)n);
                             b.insert(b.begin(), g.begin(), g.end());
                         },
                         {loss(0, (long long)n, "0")}, true});
    }

    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    std::string cleanInput = dir + "/clean.ts";
    ASSERT_TRUE(writeBytes(cleanInput, clean));
    RunResult base = runOn(dir, cleanInput, false);
    ASSERT_EQ(0, base.status) << base.err;
    const std::string cleanReport = readText(base.report);
    ASSERT_FALSE(contains(cleanReport, "Sync Loss"));
    ASSERT_FALSE(contains(readText(dir + "/report_log.txt"), "Sync lost"));

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes data = clean;
        c.damage(data);
        std::string input = dir + "/input.ts";
        ASSERT_TRUE(writeBytes(input, data));

        RunResult xml = runOn(dir, input, true);
        ASSERT_EQ(0, xml.status) << xml.err;
        EXPECT_FALSE(sanitizerSpoke(xml.err)) << xml.err;
        long total = -1;
        std::vector<std::pair<std::string, std::string>> got = xmlSyncLosses(xml.report, &total);
        ASSERT_EQ(c.losses.size(), got.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(c.losses[i].packet, got[i].first);
            EXPECT_EQ(c.losses[i].description, got[i].second);
        }
        EXPECT_GE(total, (long)c.losses.size());
        std::string log = readText(dir + "/report_log.txt");
        for (const SyncLoss& l : c.losses)
            EXPECT_TRUE(contains(log, l.log + "\n")) << l.log << "\n" << log;

        RunResult txt = runOn(dir, input, false);
        ASSERT_EQ(0, txt.status) << txt.err;
        std::string report = readText(txt.report);
        for (const SyncLoss& l : c.losses)
            EXPECT_TRUE(contains(report, "Pid:8191Packet=\"" + l.packet + "\"Type=\"Sync Loss\"Description=\"" +
                                             l.description + "\"\n"))
                << report;
        EXPECT_TRUE(contains(report, "\nTotalErrors:" + std::to_string(total) + "\n"));
        if (c.sameAnalysis) {
            EXPECT_EQ((long)c.losses.size(), total);
            EXPECT_EQ(withoutSyncLoss(cleanReport), withoutSyncLoss(report));
        }
    }
    removeTree(dir);
}

// The damage itself must be what its name says, or the cases above prove little.
TEST(DamagedStreamSurgery, LayoutAndTablesOfTheFixtures)
{
    Bytes ts = readBytes(fixture("mpeg2_576_16x9_ac3.ts"));
    StreamLayout l = layoutOf(ts);
    EXPECT_NE(0x1FFFu, l.pmtPid);
    ASSERT_EQ(2u, l.elements.size());
    EXPECT_EQ(0x02u, l.elements[0].first);
    EXPECT_EQ(0x81u, l.elements[1].first);

    // The sections built here carry a right CRC: over the whole section it is 0.
    Bytes pat = psiPacket(0, 0, patSection(1, 1, 0x100));
    EXPECT_EQ(0u, crc32Mpeg(&pat[5], 16));
    Bytes pmt = psiPacket(0x100, 0, pmtSection(1, 1, 0x101, {{0x02, 0x101}, {0x81, 0x102}}));
    unsigned len = ((pmt[6] & 0x0Fu) << 8) | pmt[7];
    EXPECT_EQ(0u, crc32Mpeg(&pmt[5], 3 + len));
    Bytes changed = ts;
    replacePidPackets(changed, 0, 0, pat);
    EXPECT_EQ(0x100u, layoutOf(changed).pmtPid);

    // A PCR rewritten reads back, 33 bits wrapping.
    uint8_t p[PKT] = {0x47, 0x01, 0x00, 0x30, 7, 0x10};
    setPcrBase(p, (1ULL << 33) + 5);
    EXPECT_EQ(5u, pcrBase(p));

    Bytes flv = readBytes(fixture("flv_h264_aac.flv"));
    std::vector<FlvTagAt> tags = flvTags(flv);
    ASSERT_GT(tags.size(), 4u);
    EXPECT_EQ(13u, tags[0].offset);
    EXPECT_LE(tags.back().offset + 11 + tags.back().size + 4, flv.size());
}

// A feed whose video PID loses a packet at every packet: more continuity errors than a
// report lists. TotalErrors stays exact; the final "Errors" list and the video stream's
// own stop at the listing limit and end with one line counting the rest.
TEST(DamagedStreamFlood, ErrorsPastTheListingLimitAreCountedNotListed)
{
    const size_t limit = 10000;  // Mpeg2TsReport::LISTED_ISSUE_LIMIT, which the executable uses
    Bytes one = readBytes(fixture("mpeg2_576_16x9_ac3.ts"));
    StreamLayout l = layoutOf(one);
    ASSERT_FALSE(l.elements.empty());
    const unsigned video = l.elements[0].second;
    size_t videoPackets = 0;
    for (size_t i = 0; i < packetCount(one); ++i)
        videoPackets += pidOf(&one[i * PKT]) == video;
    ASSERT_GT(videoPackets, 0u);
    // Copies joined with every PID's counters carried on, so the joins are whole.
    Bytes ts;
    while (ts.size() / PKT < 2 * one.size() / PKT || (ts.size() / one.size()) * videoPackets < limit + 2000)
        ts.insert(ts.end(), one.begin(), one.end());
    std::vector<int> last(8192, -1);
    const long pmt = findUnitStart(ts, l.pmtPid);
    ASSERT_GE(pmt, 0);
    size_t seenAfterPmt = 0;
    long long expected = 0;
    for (size_t i = 0; i < packetCount(ts); ++i) {
        uint8_t* p = &ts[i * PKT];
        unsigned pid = pidOf(p);
        if (pid == 0x1FFF)
            continue;
        bool payload = afcOf(p) & 1;
        int cc = p[3] & 0x0F;
        if (last[pid] >= 0) {
            // Past the first packets after the PMT, the video PID skips a value each time.
            bool damaged = pid == video && (long)i > pmt && ++seenAfterPmt > 50;
            cc = payload ? (last[pid] + (damaged ? 2 : 1)) & 0x0F : last[pid];
            bool signalled = afcOf(p) & 2 && p[4] > 0 && (p[5] & 0x80);
            if (damaged && payload && !signalled)
                ++expected;
        }
        p[3] = (uint8_t)((p[3] & 0xF0) | cc);
        last[pid] = cc;
    }
    ASSERT_GT(expected, (long long)limit);
    const std::string rest = std::to_string(expected - (long long)limit);

    std::string dir = makeTempDir();
    ASSERT_FALSE(dir.empty());
    std::string input = dir + "/input.ts";
    ASSERT_TRUE(writeBytes(input, ts));
    for (bool xml : {false, true}) {
        RunResult r = runOn(dir, input, xml, 120000);
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_FALSE(sanitizerSpoke(r.err)) << r.err;
        std::string text = readText(r.report);
        if (!xml) {
            EXPECT_TRUE(contains(text, "\nTotalErrors:" + std::to_string(expected) + "\n")) << text.substr(0, 600);
            // The video stream's list and the final one.
            size_t lines = 0;
            for (size_t at = text.find("Type=\"Continuity Error\""); at != std::string::npos;
                 at = text.find("Type=\"Continuity Error\"", at + 1))
                ++lines;
            EXPECT_EQ(2 * limit, lines);
            EXPECT_TRUE(contains(text, "\nNot Listed:" + rest + "\n>>> Errors <<<\n>>> Video Stream <<<"));
            EXPECT_TRUE(contains(text, "\nNot Listed:" + rest + "\n>>> Errors <<<\n>>> Media <<<"));
        } else {
            TiXmlDocument doc;
            doc.Parse(text.c_str());
            ASSERT_FALSE(doc.Error()) << doc.ErrorDesc();
            const TiXmlElement* root = doc.RootElement();
            const TiXmlElement* total = child(child(root, "MediaSummary"), "TotalErrors");
            ASSERT_TRUE(total != nullptr);
            EXPECT_EQ(std::to_string(expected), total->Attribute("value"));
            const TiXmlElement* media = child(root, "Media");
            for (const TiXmlElement* errors : {child(media, "Errors"), child(child(media, "VideoStream"), "Errors")}) {
                ASSERT_TRUE(errors != nullptr);
                size_t listed = 0;
                for (const TiXmlElement* e = errors->FirstChildElement("Pid"); e; e = e->NextSiblingElement("Pid"))
                    ++listed;
                EXPECT_EQ(limit, listed);
                const TiXmlElement* notListed = child(errors, "NotListed");
                ASSERT_TRUE(notListed != nullptr);
                EXPECT_EQ(rest, notListed->Attribute("value"));
                EXPECT_EQ(nullptr, notListed->NextSiblingElement());
            }
        }
        unlink(r.report.c_str());
        unlink((dir + "/report_log.txt").c_str());
    }
    removeTree(dir);
}

}  // namespace
