// PAT and PMT processors: section gathering across packets, bounds on every length that
// comes from the stream, the table events and the tables kept for the transport processor.
#include "engine/msgCallback.h"
#include "engine/patProcessor.h"
#include "engine/pmtProcessor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/testSupport.h"

using testsupport::Packet;
using testsupport::makePacket;

namespace {

typedef std::vector<uint8_t> Bytes;

// ---- what the table events delivered ------------------------------------------------

struct TableEvent {
    int id;
    int pid;
    // PAT: programs as (program_number, PID); PMT: program_number, PCR_PID, elements.
    std::vector<std::pair<int, int>> entries;
    int programNumber = -1;
    int pcrPid = -1;
    std::string text;  // event 12
};

std::vector<TableEvent> g_events;

void onPat(void* p, StreamMessagePool*)
{
    TableInfo* info = static_cast<TableInfo*>(p);
    TableEvent e;
    e.id = CB_MPEG2TS_PAT;
    e.pid = info->pid;
    PatTable* pat = static_cast<PatTable*>(info->table);
    for (PatEntry* x = pat->entries; x; x = x->next)
        e.entries.push_back({(int)x->program_number, (int)x->PID});
    g_events.push_back(e);
}

void onPmt(void* p, StreamMessagePool*)
{
    TableInfo* info = static_cast<TableInfo*>(p);
    TableEvent e;
    e.id = CB_MPEG2TS_PMT;
    e.pid = info->pid;
    PmtTable* pmt = static_cast<PmtTable*>(info->table);
    e.programNumber = (int)pmt->program_number;
    e.pcrPid = (int)pmt->PCR_PID;
    for (ProgElement* x = pmt->elements; x; x = x->next)
        e.entries.push_back({(int)x->stream_type, (int)x->elementary_PID});
    g_events.push_back(e);
}

void onStreamType(void* p, StreamMessagePool*)
{
    PidValueInfo* info = static_cast<PidValueInfo*>(p);
    TableEvent e;
    e.id = CB_MPEG2TS_STREAM_TYPE;
    e.pid = info->pid;
    e.text = *static_cast<std::string*>(info->value);
    g_events.push_back(e);
}

int countEvents(int id)
{
    int n = 0;
    for (const TableEvent& e : g_events)
        n += e.id == id;
    return n;
}

// ---- section and packet builders ----------------------------------------------------

uint32_t crc32Mpeg(const Bytes& b)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t byte : b) {
        crc ^= (uint32_t)byte << 24;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

// Completes a section: fills section_length from the body and appends the CRC_32.
Bytes finishSection(Bytes s)
{
    size_t sectionLength = s.size() - 3 + 4;
    s[1] = (uint8_t)((s[1] & 0xF0) | ((sectionLength >> 8) & 0x0F));
    s[2] = (uint8_t)(sectionLength & 0xFF);
    uint32_t crc = crc32Mpeg(s);
    for (int i = 3; i >= 0; --i)
        s.push_back((uint8_t)(crc >> (8 * i)));
    return s;
}

Bytes patSection(const std::vector<std::pair<int, int>>& programs, int tsid = 1, int version = 0)
{
    Bytes s = {0x00, 0xB0, 0x00, (uint8_t)(tsid >> 8), (uint8_t)tsid,
               (uint8_t)(0xC1 | (version << 1)), 0x00, 0x00};
    for (auto& pr : programs) {
        s.push_back((uint8_t)(pr.first >> 8));
        s.push_back((uint8_t)pr.first);
        s.push_back((uint8_t)(0xE0 | (pr.second >> 8)));
        s.push_back((uint8_t)pr.second);
    }
    return finishSection(s);
}

struct Element {
    int type;
    int pid;
    Bytes descriptors;
};

Bytes pmtSection(int program, int pcrPid, const std::vector<Element>& elements, const Bytes& progDesc = {})
{
    Bytes s = {0x02, 0xB0, 0x00, (uint8_t)(program >> 8), (uint8_t)program, 0xC1, 0x00, 0x00,
               (uint8_t)(0xE0 | (pcrPid >> 8)), (uint8_t)pcrPid,
               (uint8_t)(0xF0 | (progDesc.size() >> 8)), (uint8_t)progDesc.size()};
    s.insert(s.end(), progDesc.begin(), progDesc.end());
    for (const Element& e : elements) {
        s.push_back((uint8_t)e.type);
        s.push_back((uint8_t)(0xE0 | (e.pid >> 8)));
        s.push_back((uint8_t)e.pid);
        s.push_back((uint8_t)(0xF0 | (e.descriptors.size() >> 8)));
        s.push_back((uint8_t)e.descriptors.size());
        s.insert(s.end(), e.descriptors.begin(), e.descriptors.end());
    }
    return finishSection(s);
}

const Bytes kBssd = {0x05, 0x04, 'B', 'S', 'S', 'D'};

// Splits a run of section bytes into PUSI-first packets (pointer_field 0).
std::vector<Packet> sectionPackets(int pid, const Bytes& sections, int* cc)
{
    std::vector<Packet> out;
    size_t pos = 0;
    bool first = true;
    while (pos < sections.size()) {
        Bytes payload;
        if (first)
            payload.push_back(0x00);
        size_t n = std::min(sections.size() - pos, (size_t)184 - payload.size());
        payload.insert(payload.end(), sections.begin() + pos, sections.begin() + pos + n);
        pos += n;
        out.push_back(makePacket(pid, (*cc)++ & 0x0F, first, payload));
        first = false;
    }
    return out;
}

// Each packet reaches the processor in its own heap block of exactly 188 bytes, so a
// read past the packet is caught by the address sanitizer.
int feed(Mpeg2TransportStreamProcessor& proc, const Packet& p, long long number = 0)
{
    std::unique_ptr<uint8_t[]> copy(new uint8_t[188]);
    memcpy(copy.get(), p.b, 188);
    return proc.processMpeg2TsPacket(copy.get(), 188, number);
}

class PsiFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_events.clear();
        registry.registerMsgCallback(CB_MPEG2TS_PAT, onPat, true);
        registry.registerMsgCallback(CB_MPEG2TS_PMT, onPmt, true);
        registry.registerMsgCallback(CB_MPEG2TS_STREAM_TYPE, onStreamType, true);
    }
    MsgCallback registry;
};

typedef PsiFixture PsiProcPat;
typedef PsiFixture PsiProcPmt;
typedef PsiFixture PsiProcGather;

}  // namespace

// ---- PAT ---------------------------------------------------------------------------

TEST_F(PsiProcPat, OnePacketBuildsTableAndFiresOnce)
{
    PatProcessor pat(&registry, 0);
    int cc = 0;
    Bytes s = patSection({{0, 0x10}, {1, 0x1000}, {2, 0x1001}});
    for (const Packet& p : sectionPackets(0, s, &cc))
        EXPECT_EQ(1, feed(pat, p));
    ASSERT_NE(nullptr, pat.getPat());
    EXPECT_EQ(SiTableProcessor::TABLE_BUILT, pat.getTableState());
    ASSERT_EQ(2u, g_events.size());
    EXPECT_EQ(CB_MPEG2TS_PAT, g_events[0].id);
    EXPECT_EQ(0, g_events[0].pid);
    std::vector<std::pair<int, int>> want = {{0, 0x10}, {1, 0x1000}, {2, 0x1001}};
    EXPECT_EQ(want, g_events[0].entries);
    EXPECT_EQ(CB_MPEG2TS_STREAM_TYPE, g_events[1].id);
    EXPECT_EQ("PAT Table", g_events[1].text);

    // The lookups the transport processor uses; program 0 (network PID) is listed too.
    EXPECT_EQ(1, pat.getPat()->getPidProg(0x1000));
    EXPECT_EQ(2, pat.getPat()->getPidProg(0x1001));
    EXPECT_EQ(0, pat.getPat()->getPidProg(0x10));
    EXPECT_EQ(-1, pat.getPat()->getPidProg(0x1002));
    EXPECT_EQ(1, pat.getPat()->isProgInPat(2));
    EXPECT_EQ(0, pat.getPat()->isProgInPat(3));
    std::unique_ptr<std::map<int, int>> m(pat.getPat()->getPatEntries());
    EXPECT_EQ(3u, m->size());
    EXPECT_EQ(0x1001, (*m)[2]);

    // A repeat (or a new version) is not parsed again: no second event, state 1.
    cc = 1;
    for (const Packet& p : sectionPackets(0, patSection({{5, 0x1005}}, 1, 1), &cc))
        feed(pat, p);
    EXPECT_EQ(1, countEvents(CB_MPEG2TS_PAT));
    EXPECT_EQ(SiTableProcessor::TABLE_FAILED, pat.getTableState());
    EXPECT_EQ(1, pat.getPat()->getPidProg(0x1000));
}

TEST_F(PsiProcPat, SectionOverTwoPacketsIsBuiltWhenItsLastByteArrives)
{
    std::vector<std::pair<int, int>> programs;
    for (int i = 1; i <= 60; ++i)  // 8 + 240 + 4 bytes: two packets
        programs.push_back({i, 0x100 + i});
    Bytes s = patSection(programs);
    int cc = 0;
    std::vector<Packet> packets = sectionPackets(0, s, &cc);
    ASSERT_EQ(2u, packets.size());

    PatProcessor pat(&registry, 0);
    feed(pat, packets[0]);
    EXPECT_EQ(nullptr, pat.getPat());
    EXPECT_EQ(SiTableProcessor::TABLE_NOTHING, pat.getTableState());
    feed(pat, packets[1]);
    ASSERT_NE(nullptr, pat.getPat());
    EXPECT_EQ(60, pat.getPat()->entryCount);
    EXPECT_EQ(60, pat.getPat()->getPidProg(0x100 + 60));
}

TEST_F(PsiProcPat, IncompleteSectionIsNeverBuilt)
{
    // A PAT whose second packet is lost: the next section start cuts it short, and the
    // cut section must not become a table (its entries would be stale storage).
    std::vector<std::pair<int, int>> programs;
    for (int i = 1; i <= 60; ++i)
        programs.push_back({i, 0x100 + i});
    int cc = 0;
    std::vector<Packet> packets = sectionPackets(0, patSection(programs), &cc);
    PatProcessor pat(&registry, 0);
    feed(pat, packets[0]);
    cc = 2;
    std::vector<Packet> next = sectionPackets(0, patSection({{7, 0x700}}), &cc);
    feed(pat, next[0]);
    ASSERT_NE(nullptr, pat.getPat());
    EXPECT_EQ(1, pat.getPat()->entryCount);
    EXPECT_EQ(7, pat.getPat()->getPidProg(0x700));
    EXPECT_EQ(1u, pat.getDroppedSectionCount());
}

TEST_F(PsiProcPat, PacketsWithAdaptationField)
{
    Bytes s = patSection({{1, 0x1000}});
    Bytes payload = {0x00};
    payload.insert(payload.end(), s.begin(), s.end());

    // adaptation_field_control 2: no payload, nothing gathered.
    PatProcessor pat(&registry, 0);
    EXPECT_EQ(1, feed(pat, makePacket(0, 0, true, payload, 2)));
    EXPECT_EQ(nullptr, pat.getPat());
    EXPECT_EQ(0u, pat.getGatheredLength());

    // adaptation_field_control 3: the section follows the adaptation field.
    Bytes af(20, 0xFF);
    af[0] = 0x00;
    feed(pat, makePacket(0, 0, true, payload, 3, af));
    ASSERT_NE(nullptr, pat.getPat());
    EXPECT_EQ(1, pat.getPat()->getPidProg(0x1000));

    // An adaptation field that fills the packet leaves no payload at all.
    PatProcessor pat2(&registry, 0);
    feed(pat2, makePacket(0, 0, true, payload, 3, Bytes(183, 0xFF)));
    EXPECT_EQ(nullptr, pat2.getPat());
}

TEST_F(PsiProcPat, DamagedLengthsStayInsideTheBuffers)
{
    struct Case {
        const char* name;
        Bytes payload;
    };
    Bytes good = patSection({{1, 0x1000}});
    Bytes longSection = good;
    longSection[1] = 0xB3;  // section_length 0x3xx: more than the 1,024-byte store
    longSection[2] = 0xFF;
    Bytes pointerPast = {183};
    pointerPast.insert(pointerPast.end(), good.begin(), good.end());
    Bytes pointerMax = {255};
    pointerMax.insert(pointerMax.end(), good.begin(), good.end());
    Bytes truncatedLength = good;  // section_length 5: shorter than a PAT header
    truncatedLength[2] = 5;
    std::vector<Case> cases = {
        {"section_length beyond storage", longSection},
        {"pointer_field to the last byte", pointerPast},
        {"pointer_field past the packet", pointerMax},
        {"section_length below the header", truncatedLength},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PatProcessor pat(&registry, 0);
        Bytes payload = c.payload;
        if (payload[0] != 183 && payload[0] != 255)
            payload.insert(payload.begin(), 0x00);
        feed(pat, makePacket(0, 0, true, payload));
        EXPECT_EQ(nullptr, pat.getPat());
        // The next proper section is read as usual.
        int cc = 1;
        for (const Packet& p : sectionPackets(0, good, &cc))
            feed(pat, p);
        ASSERT_NE(nullptr, pat.getPat());
        EXPECT_EQ(1, pat.getPat()->getPidProg(0x1000));
    }
}

TEST_F(PsiProcPat, GarbageContinuationsNeverOverrunTheStore)
{
    // Whatever parses out of garbage, the store is never overrun and a table built from
    // it stays within what 1,024 bytes can list.
    uint32_t seed = 12345;
    for (int round = 0; round < 200; ++round) {
        PatProcessor pat(&registry, 0);
        for (int i = 0; i < 12; ++i) {
            Bytes payload(184);
            for (uint8_t& b : payload) {
                seed = seed * 1103515245u + 12345u;
                b = (uint8_t)(seed >> 16);
            }
            if (i % 3 == 0)
                payload[0] = (uint8_t)(payload[0] % 8);  // short pointer_field now and then
            int afc = 1 + (int)((seed >> 8) % 3);
            feed(pat, makePacket(0, i, (seed >> 4) & 1, payload, afc, Bytes((seed >> 12) % 40, 0x00)));
        }
        if (pat.getPat()) {
            EXPECT_LE(pat.getPat()->entryCount, 253);
        }
        EXPECT_LE(pat.getGatheredLength(), 1024u);
    }
}

TEST_F(PsiProcPat, NotAPatIsRefused)
{
    // A PMT arriving on PID 0 does not become a PAT.
    PatProcessor pat(&registry, 0);
    int cc = 0;
    for (const Packet& p : sectionPackets(0, pmtSection(1, 0x100, {{2, 0x100, {}}}), &cc))
        feed(pat, p);
    EXPECT_EQ(nullptr, pat.getPat());
    EXPECT_EQ(SiTableProcessor::TABLE_FAILED, pat.getTableState());
    EXPECT_EQ(0, countEvents(CB_MPEG2TS_PAT));
}

// ---- gathering rules -----------------------------------------------------------------

TEST_F(PsiProcGather, PointerFieldTailCompletesThePreviousSection)
{
    // Section A spans into the next PUSI packet, whose pointer_field covers A's tail and
    // whose new section B follows.
    std::vector<std::pair<int, int>> programs;
    for (int i = 1; i <= 50; ++i)
        programs.push_back({i, 0x200 + i});
    Bytes a = patSection(programs);  // 212 bytes
    Bytes first = {0x00};
    first.insert(first.end(), a.begin(), a.begin() + 183);
    Bytes tail(a.begin() + 183, a.end());
    Bytes second = {(uint8_t)tail.size()};
    second.insert(second.end(), tail.begin(), tail.end());
    Bytes b = patSection({{9, 0x900}});
    second.insert(second.end(), b.begin(), b.end());

    PatProcessor pat(&registry, 0);
    feed(pat, makePacket(0, 0, true, first));
    EXPECT_EQ(nullptr, pat.getPat());
    feed(pat, makePacket(0, 1, true, second));
    ASSERT_NE(nullptr, pat.getPat());
    EXPECT_EQ(50, pat.getPat()->entryCount);  // built from A, B came later
    EXPECT_EQ(2u, pat.getSectionCount());
    EXPECT_EQ(SiTableProcessor::TABLE_FAILED, pat.getTableState());
}

TEST_F(PsiProcGather, OverlongRunWithoutSectionStartIsDropped)
{
    // A section announcing 1,021 bytes whose packets keep coming without a new start:
    // the store holds exactly 1,024, so it completes; one byte more would be refused.
    Bytes s(1024, 0x00);
    s[0] = 0x00;
    s[1] = 0xB3;
    s[2] = 0xFD;  // 1,021
    PatProcessor pat(&registry, 0);
    int cc = 0;
    std::vector<Packet> packets = sectionPackets(0, s, &cc);
    for (const Packet& p : packets)
        feed(pat, p);
    EXPECT_EQ(1u, pat.getSectionCount());
    for (int i = 0; i < 20; ++i)
        feed(pat, makePacket(0, cc++, false, Bytes(184, 0x00)));
    EXPECT_EQ(1u, pat.getSectionCount());
    EXPECT_EQ(0u, pat.getGatheredLength());

    s[2] = 0xFE;  // 1,022: does not fit
    PatProcessor pat2(&registry, 0);
    cc = 0;
    for (const Packet& p : sectionPackets(0, s, &cc))
        feed(pat2, p);
    EXPECT_EQ(0u, pat2.getSectionCount());
    EXPECT_EQ(1u, pat2.getDroppedSectionCount());
}

TEST_F(PsiProcGather, SectionsBackToBackInOnePacket)
{
    // The PMT of another program first, then ours, then stuffing.
    Bytes other = pmtSection(7, 0x100, {{2, 0x100, {}}});
    Bytes ours = pmtSection(1, 0x101, {{27, 0x101, {}}, {15, 0x102, {}}});
    Bytes payload = {0x00};
    payload.insert(payload.end(), other.begin(), other.end());
    payload.insert(payload.end(), ours.begin(), ours.end());

    PmtProcessor pmt(&registry, 0x1000, 1);
    feed(pmt, makePacket(0x1000, 0, true, payload));
    ASSERT_NE(nullptr, pmt.getPmt());
    EXPECT_EQ(1, pmt.getPmt()->getTable()->program_number);
    EXPECT_EQ(2u, pmt.getSectionCount());
    EXPECT_EQ(1, countEvents(CB_MPEG2TS_PMT));
}

// ---- PMT -------------------------------------------------------------------------------

TEST_F(PsiProcPmt, OnePacketPmtEventsAndElements)
{
    PmtProcessor pmt(&registry, 0x1000, 1);
    int cc = 0;
    Bytes ac3Desc = {0x05, 0x04, 'A', 'C', '-', '3'};
    for (const Packet& p :
         sectionPackets(0x1000, pmtSection(1, 0x100, {{2, 0x100, {}}, {129, 0x101, ac3Desc}}), &cc))
        EXPECT_EQ(1, feed(pmt, p));
    ASSERT_NE(nullptr, pmt.getPmt());
    ASSERT_EQ(2u, g_events.size());
    EXPECT_EQ(CB_MPEG2TS_PMT, g_events[0].id);
    EXPECT_EQ(0x1000, g_events[0].pid);
    EXPECT_EQ(1, g_events[0].programNumber);
    EXPECT_EQ(0x100, g_events[0].pcrPid);
    std::vector<std::pair<int, int>> want = {{2, 0x100}, {129, 0x101}};
    EXPECT_EQ(want, g_events[0].entries);
    EXPECT_EQ("PMT Table", g_events[1].text);
    EXPECT_EQ(0x1000, g_events[1].pid);

    int n = 0;
    std::unique_ptr<PmtProcessor::PmtElement[]> els(pmt.getPmt()->getPmtElementsList(&n));
    ASSERT_EQ(2, n);
    EXPECT_EQ(129, els[1].stream_type);
    EXPECT_EQ(0x101, els[1].elementary_PID);

    std::unique_ptr<PmtProcessor::PmtDescriptor[]> d(pmt.getPmt()->getPmtElementDescriptorList(0x101, &n));
    ASSERT_EQ(1, n);
    EXPECT_EQ(5, d[0].tag);
    EXPECT_EQ(4, d[0].length);
    EXPECT_EQ(0, memcmp(d[0].payload, "AC-3", 4));
    EXPECT_EQ(nullptr, pmt.getPmt()->getPmtElementDescriptorList(0x100, &n));
    EXPECT_EQ(nullptr, pmt.getPmt()->getPmtElementDescriptorList(0x555, &n));
}

TEST_F(PsiProcPmt, EmptyPmtHasNoElementList)
{
    PmtProcessor pmt(&registry, 0x20, 3);
    int cc = 0;
    for (const Packet& p : sectionPackets(0x20, pmtSection(3, 0x1FFF, {}), &cc))
        feed(pmt, p);
    ASSERT_NE(nullptr, pmt.getPmt());
    int n = -1;
    EXPECT_EQ(nullptr, pmt.getPmt()->getPmtElementsList(&n));
    EXPECT_EQ(0, n);
}

TEST_F(PsiProcPmt, OtherProgramOnThePidIsNotTaken)
{
    PmtProcessor pmt(&registry, 0x1000, 2);
    int cc = 0;
    for (const Packet& p : sectionPackets(0x1000, pmtSection(1, 0x100, {{2, 0x100, {}}}), &cc))
        feed(pmt, p);
    EXPECT_EQ(nullptr, pmt.getPmt());
    EXPECT_EQ(SiTableProcessor::TABLE_FAILED, pmt.getTableState());
    EXPECT_EQ(0, countEvents(CB_MPEG2TS_PMT));
}

TEST_F(PsiProcPmt, DescriptorsStayThePmtsOwnAfterLaterSections)
{
    // A PMT over two packets whose element carries BSSD; afterwards other sections
    // refill the gathering store. The table must still show its own descriptors.
    std::vector<Element> elements;
    Bytes filler;
    for (int i = 0; i < 40; ++i) {
        filler.push_back(0x0A);
        filler.push_back(0x04);
        filler.insert(filler.end(), {'e', 'n', 'g', 0});
    }
    elements.push_back({2, 0x100, filler});
    elements.push_back({6, 0x101, kBssd});
    Bytes s = pmtSection(1, 0x100, elements);
    int cc = 0;
    std::vector<Packet> packets = sectionPackets(0x1000, s, &cc);
    ASSERT_GE(packets.size(), 2u);

    PmtProcessor pmt(&registry, 0x1000, 1);
    feed(pmt, packets[0]);
    EXPECT_EQ(nullptr, pmt.getPmt());
    for (size_t i = 1; i < packets.size(); ++i)
        feed(pmt, packets[i]);
    ASSERT_NE(nullptr, pmt.getPmt());

    // Later traffic: a different program's PMT over the same bytes.
    for (int k = 0; k < 3; ++k)
        for (const Packet& p : sectionPackets(0x1000, pmtSection(9, 0x200, {{3, 0x300, Bytes(200, 0x11)}}), &cc))
            feed(pmt, p);

    int n = 0;
    std::unique_ptr<PmtProcessor::PmtDescriptor[]> d(pmt.getPmt()->getPmtElementDescriptorList(0x101, &n));
    ASSERT_EQ(1, n);
    EXPECT_TRUE(PmtProcessor::Pmt::isPcmAudioDescriptor(&d[0]));
    PrivateDescPayload q;
    memset(&q, 0, sizeof(q));
    q.what = 1;
    ASSERT_EQ(0, getElementaryPrivateDescPayload(pmt.getPmt()->getTable(), 1, 0, &q));
    EXPECT_EQ(0, memcmp(q.value.payload, "BSSD", 4));
    std::unique_ptr<PmtProcessor::PmtDescriptor[]> d0(pmt.getPmt()->getPmtElementDescriptorList(0x100, &n));
    EXPECT_EQ(40, n);
}

TEST_F(PsiProcPmt, DescriptorListKeepsInsideItsLoop)
{
    // The element's loop holds one whole descriptor and a second whose length runs out
    // of the loop: only the first is listed.
    Bytes loop = {0x05, 0x04, 'B', 'S', 'S', 'D', 0x0A, 0x30, 'x'};
    PmtProcessor pmt(&registry, 0x30, 1);
    int cc = 0;
    for (const Packet& p : sectionPackets(0x30, pmtSection(1, 0x100, {{6, 0x100, loop}}), &cc))
        feed(pmt, p);
    ASSERT_NE(nullptr, pmt.getPmt());
    int n = 0;
    std::unique_ptr<PmtProcessor::PmtDescriptor[]> d(pmt.getPmt()->getPmtElementDescriptorList(0x100, &n));
    ASSERT_EQ(1, n);
    EXPECT_EQ(5, d[0].tag);
}

TEST_F(PsiProcPmt, MalformedElementLoopGivesNoTable)
{
    // ES_info_length claims more than the section holds.
    Bytes s = pmtSection(1, 0x100, {{2, 0x100, {}}});
    s[12 + 3] = 0xF3;  // ES_info_length 0x3FF
    s[12 + 4] = 0xFF;
    PmtProcessor pmt(&registry, 0x30, 1);
    int cc = 0;
    for (const Packet& p : sectionPackets(0x30, s, &cc))
        feed(pmt, p);
    EXPECT_EQ(nullptr, pmt.getPmt());
    EXPECT_EQ(0, countEvents(CB_MPEG2TS_PMT));
}

TEST(PsiProcDescriptor, PcmAudioDescriptorCheck)
{
    struct Case {
        int tag;
        int length;
        const char* id;
        bool want;
    };
    const Case cases[] = {
        {5, 4, "BSSD", true},
        {5, 4, "BSSE", false},
        {5, 5, "BSSD", false},
        {5, 3, "BSSD", false},
        {6, 4, "BSSD", false},
        {0x105, 4, "BSSD", false},
    };
    for (const Case& c : cases) {
        PmtProcessor::PmtDescriptor d;
        memset(&d, 0, sizeof(d));
        d.tag = c.tag;
        d.length = c.length;
        memcpy(d.payload, c.id, 4);
        EXPECT_EQ(c.want, PmtProcessor::Pmt::isPcmAudioDescriptor(&d)) << c.tag << " " << c.length << " " << c.id;
    }
    EXPECT_FALSE(PmtProcessor::Pmt::isPcmAudioDescriptor(nullptr));
}
