// Event registry, stream messages, the message pool and mapped values.
#include "callbacks/callbackMappedValue.h"
#include "engine/msgCallback.h"
#include "engine/streamErrorMessage.h"
#include "engine/streamInfoMessage.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

// Test callback: queues an info message whose id is the int the payload points at.
void queueIdCb(void* payload, StreamMessagePool* pool)
{
    StreamInfoMessage* m = new StreamInfoMessage();
    m->setCallbackId(payload ? *static_cast<int*>(payload) : -1);
    std::string d = "first";
    m->setMsgDesc(d);
    pool->setUnprocessedMsg(m);
}

void queueSecondCb(void*, StreamMessagePool* pool)
{
    StreamInfoMessage* m = new StreamInfoMessage();
    std::string d = "second";
    m->setMsgDesc(d);
    pool->setUnprocessedMsg(m);
}

int drainCount(StreamMessagePool* pool, std::vector<std::string>* descs = nullptr)
{
    int n = 0;
    while (StreamMessage* m = pool->getUnprocessedMsg()) {
        if (descs)
            descs->push_back(m->getMsgDesc());
        delete m;
        ++n;
    }
    return n;
}

MappedValueList* makeList()
{
    MappedValueList* list = new MappedValueList();
    list->push_back(callbackMappedValue("Pid", "481"));
    callbackMappedValue withUnits("Bitrate", "192000.00");
    withUnits.m_pChildren = new MappedValueList();
    withUnits.m_pChildren->push_back(callbackMappedValue("Units", "bps"));
    list->push_back(withUnits);
    return list;
}

}  // namespace

// ---------------------------------------------------------------- registry

TEST(MsgRegistry, OneShotRunsOnceRepeatRunsEveryTime)
{
    MsgCallback reg;
    StreamMessagePool* pool = reg.getMsgPool();
    ASSERT_NE(nullptr, pool);
    EXPECT_EQ(1, reg.registerMsgCallback(CB_MPEG2TS_VIDEO_RES, queueIdCb, false));
    EXPECT_EQ(1, reg.registerMsgCallback(CB_MPEG2TS_STREAM_TYPE, queueIdCb, true));
    int id = 16;
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(1, reg.callMsgCallback(CB_MPEG2TS_VIDEO_RES, &id));
    EXPECT_EQ(1, drainCount(pool));
    for (int i = 0; i < 3; ++i)
        reg.callMsgCallback(CB_MPEG2TS_STREAM_TYPE, &id);
    EXPECT_EQ(3, drainCount(pool));
}

TEST(MsgRegistry, EmptySlotAndOutOfRangeIdsDoNothing)
{
    MsgCallback reg;
    EXPECT_EQ(1, reg.callMsgCallback(CB_ANALYSIS_COMPLETE, nullptr));
    EXPECT_EQ(1, reg.callMsgCallback(CB_MPEG2TS_PCR_BITRATE_DATA_POINT, nullptr));
    // Outside 0..67: refused without an exception and without leaving the mutex held.
    EXPECT_EQ(1, reg.callMsgCallback(CB_MPEG2TS_DATAGRAM_CUT, nullptr));
    EXPECT_EQ(0, reg.callMsgCallback(static_cast<_CallbackId>(CB_ID_COUNT), nullptr));
    EXPECT_EQ(0, reg.callMsgCallback(static_cast<_CallbackId>(-1), nullptr));
    EXPECT_EQ(0, reg.registerMsgCallback(static_cast<_CallbackId>(CB_ID_COUNT), queueIdCb, true));
    EXPECT_EQ(0, reg.unregisterMsgCallback(static_cast<_CallbackId>(1000)));
    EXPECT_EQ(1, reg.registerMsgCallback(CB_ANALYSIS_COMPLETE, queueIdCb, true));
    EXPECT_EQ(1, reg.callMsgCallback(CB_ANALYSIS_COMPLETE, nullptr));
    EXPECT_EQ(1, drainCount(reg.getMsgPool()));
    EXPECT_EQ(0, drainCount(reg.getMsgPool()));
}

TEST(MsgRegistry, ReRegistrationKeepsTheSecondAndFreesTheFirst)
{
    MsgCallback reg;
    reg.registerMsgCallback(CB_TRANSPORT_TYPE, queueIdCb, false);
    reg.registerMsgCallback(CB_TRANSPORT_TYPE, queueSecondCb, false);  // the first record is freed (sanitizer)
    reg.callMsgCallback(CB_TRANSPORT_TYPE, nullptr);
    std::vector<std::string> descs;
    EXPECT_EQ(1, drainCount(reg.getMsgPool(), &descs));
    ASSERT_EQ(1u, descs.size());
    EXPECT_EQ("second", descs[0]);
    // A fresh registration is a fresh one-shot.
    reg.registerMsgCallback(CB_TRANSPORT_TYPE, queueIdCb, false);
    reg.callMsgCallback(CB_TRANSPORT_TYPE, nullptr);
    reg.callMsgCallback(CB_TRANSPORT_TYPE, nullptr);
    EXPECT_EQ(1, drainCount(reg.getMsgPool()));
}

TEST(MsgRegistry, UnregisterEmptiesTheSlot)
{
    MsgCallback reg;
    reg.registerMsgCallback(CB_PERCENT_COMPLETE, queueIdCb, true);
    EXPECT_EQ(1, reg.unregisterMsgCallback(CB_PERCENT_COMPLETE));
    reg.callMsgCallback(CB_PERCENT_COMPLETE, nullptr);
    EXPECT_EQ(0, drainCount(reg.getMsgPool()));
    reg.registerMsgCallback(CB_MPEG2TS_PAT, nullptr, true);  // no function: nothing runs
    EXPECT_EQ(1, reg.callMsgCallback(CB_MPEG2TS_PAT, nullptr));
    EXPECT_EQ(0, drainCount(reg.getMsgPool()));
}

TEST(MsgRegistry, FiringsFromSeveralThreadsAreSerialised)
{
    MsgCallback reg;
    static std::atomic<int> inside{0};
    static std::atomic<int> overlap{0};
    reg.registerMsgCallback(CB_MPEG2TS_CONTINUITY_ERROR,
                            [](void*, StreamMessagePool* pool) {
                                if (inside.fetch_add(1) != 0)
                                    overlap.fetch_add(1);
                                pool->setUnprocessedMsg(new StreamErrorMessage());
                                inside.fetch_sub(1);
                            },
                            true);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i)
                reg.callMsgCallback(CB_MPEG2TS_CONTINUITY_ERROR, nullptr);
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(0, overlap.load());
    EXPECT_EQ(8000, drainCount(reg.getMsgPool()));
}

// ---------------------------------------------------------------- messages

TEST(StreamMsg, KindsAndDefaults)
{
    StreamMessage plain;
    EXPECT_EQ(PAYLOAD_TYPE_NONE, plain.getPayloadType());
    EXPECT_EQ(nullptr, plain.getMsgData());
    EXPECT_EQ(0, plain.getMsgCount());
    EXPECT_EQ("", plain.getMsgDesc());
    StreamInfoMessage info;
    EXPECT_EQ(MSG_TYPE_INFO, info.getMsgType());
    StreamErrorMessage err;
    EXPECT_EQ(MSG_TYPE_ERROR, err.getMsgType());
    StreamMessage* asBase = new StreamErrorMessage();
    asBase->setMsgData(makeList(), PAYLOAD_TYPE_MAPPED_LIST, 0);
    delete asBase;  // through the virtual destructor, list freed (sanitizer)
}

TEST(StreamMsg, CopiesOfEveryPayloadKindSurviveTheOriginal)
{
    // type 1
    StreamMessage* a = new StreamInfoMessage();
    int32_t* ints = new int32_t[3]{1, -2, 3};
    a->setMsgData(ints, PAYLOAD_TYPE_INT32_ARRAY, 3);
    a->setCallbackId(6);
    std::string d = "Asset Duration";
    a->setMsgDesc(d);
    StreamMessage copyA(*a);
    delete a;
    ASSERT_NE(nullptr, copyA.getMsgData());
    EXPECT_EQ(-2, static_cast<int32_t*>(copyA.getMsgData())[1]);
    EXPECT_EQ(6, copyA.getCallbackId());
    EXPECT_EQ("Asset Duration", copyA.getMsgDesc());
    EXPECT_EQ(MSG_TYPE_INFO, copyA.getMsgType());

    // type 3: 8-byte elements are copied whole
    StreamMessage* b = new StreamMessage();
    int64_t* longs = new int64_t[2]{0x123456789LL, -1};
    b->setMsgData(longs, PAYLOAD_TYPE_8BYTE_ARRAY, 2);
    StreamMessage copyB(*b);
    delete b;
    EXPECT_EQ(0x123456789LL, static_cast<int64_t*>(copyB.getMsgData())[0]);
    EXPECT_EQ(-1, static_cast<int64_t*>(copyB.getMsgData())[1]);

    // type 4 with children
    StreamMessage* c = new StreamMessage();
    c->setMsgType(MSG_TYPE_WARNING);
    c->setMsgData(makeList(), PAYLOAD_TYPE_MAPPED_LIST, 0);
    StreamMessage copyC(*c);
    EXPECT_NE(c->getMsgData(), copyC.getMsgData());
    delete c;
    MappedValueList* list = static_cast<MappedValueList*>(copyC.getMsgData());
    ASSERT_EQ(2u, list->size());
    EXPECT_EQ("Bitrate", list->back().m_sName);
    ASSERT_NE(nullptr, list->back().m_pChildren);
    EXPECT_EQ("bps", list->back().m_pChildren->front().m_sValue);
    EXPECT_EQ(MSG_TYPE_WARNING, copyC.getMsgType());
}

TEST(StreamMsg, EmptyListCopyIsItsOwn)
{
    StreamMessage* a = new StreamMessage();
    a->setMsgData(new MappedValueList(), PAYLOAD_TYPE_MAPPED_LIST, 0);
    StreamMessage* copy = new StreamMessage(*a);
    ASSERT_NE(nullptr, copy->getMsgData());
    EXPECT_NE(a->getMsgData(), copy->getMsgData());
    delete copy;
    EXPECT_TRUE(static_cast<MappedValueList*>(a->getMsgData())->empty());
    delete a;
}

TEST(StreamMsg, CountZeroKeepsAPlainValue)
{
    // The percent-complete message keeps its number in the pointer itself.
    StreamMessage* a = new StreamMessage();
    a->setMsgData(reinterpret_cast<void*>(static_cast<intptr_t>(42)), PAYLOAD_TYPE_INT32_ARRAY, 0);
    StreamMessage copy(*a);
    EXPECT_EQ(42, static_cast<int>(reinterpret_cast<intptr_t>(copy.getMsgData())));
    delete a;  // must not free address 42
    EXPECT_EQ(42, static_cast<int>(reinterpret_cast<intptr_t>(copy.getMsgData())));
}

TEST(StreamMsg, AssignmentIsDeepAndSelfSafe)
{
    StreamMessage a;
    a.setMsgData(makeList(), PAYLOAD_TYPE_MAPPED_LIST, 0);
    StreamMessage b;
    b.setMsgData(new int32_t[4]{1, 2, 3, 4}, PAYLOAD_TYPE_4BYTE_ARRAY, 4);  // freed by the assignment
    b = a;
    EXPECT_NE(a.getMsgData(), b.getMsgData());
    EXPECT_EQ(PAYLOAD_TYPE_MAPPED_LIST, b.getPayloadType());
    StreamMessage& self = b;
    b = self;
    ASSERT_NE(nullptr, b.getMsgData());
    EXPECT_EQ(2u, static_cast<MappedValueList*>(b.getMsgData())->size());
    // Replacing the list of one leaves the other alone.
    a.setMsgData(nullptr, PAYLOAD_TYPE_NONE, 0);
    EXPECT_EQ(2u, static_cast<MappedValueList*>(b.getMsgData())->size());
}

// ---------------------------------------------------------------- pool

TEST(MsgPool, EmptyGivesNullAndOrderIsFirstInFirstOut)
{
    StreamMessagePool pool;
    EXPECT_EQ(nullptr, pool.getUnprocessedMsg());
    EXPECT_EQ(nullptr, pool.getAvailableMsg());
    for (int i = 0; i < 5; ++i) {
        StreamMessage* m = new StreamMessage();
        m->setCallbackId(i);
        pool.setUnprocessedMsg(m);
    }
    EXPECT_EQ(5, pool.getUnprocessedMsgCount());
    for (int i = 0; i < 5; ++i) {
        StreamMessage* m = pool.getUnprocessedMsg();
        ASSERT_NE(nullptr, m);
        EXPECT_EQ(i, m->getCallbackId());
        delete m;
    }
    EXPECT_EQ(nullptr, pool.getUnprocessedMsg());
    EXPECT_EQ(0, pool.getUnprocessedMsgCount());

    StreamMessage* r = new StreamMessage();
    pool.returnMsg(r);
    EXPECT_EQ(r, pool.getAvailableMsg());
    EXPECT_EQ(nullptr, pool.getAvailableMsg());
    delete r;
}

TEST(MsgPool, ProducerAndConsumerThreadsLoseNothingAndKeepOrder)
{
    StreamMessagePool pool;
    const int kCount = 20000;
    std::thread producer([&] {
        for (int i = 0; i < kCount; ++i) {
            StreamMessage* m = new StreamInfoMessage();
            m->setCallbackId(i);
            pool.setUnprocessedMsg(m);
        }
    });
    int expected = 0;
    bool inOrder = true;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (expected < kCount && std::chrono::steady_clock::now() < deadline) {
        StreamMessage* m = pool.getUnprocessedMsg();
        if (!m) {
            std::this_thread::yield();
            continue;
        }
        if (m->getCallbackId() != expected)
            inOrder = false;
        ++expected;
        delete m;
    }
    producer.join();
    EXPECT_TRUE(inOrder);
    EXPECT_EQ(kCount, expected);
    EXPECT_EQ(0, drainCount(&pool));
}

// With a consumer attached a producer that runs ahead is held at the backlog limit
// until the consumer has taken half; detaching releases it, and without a consumer
// nothing ever blocks.
TEST(MsgPool, BacklogLimitHoldsTheProducerOnlyWhileAConsumerIsAttached)
{
    const int limit = StreamMessagePool::BACKLOG_LIMIT;
    StreamMessagePool free;
    for (int i = 0; i < limit + 10; ++i)
        free.setUnprocessedMsg(new StreamMessage());
    EXPECT_EQ(limit + 10, free.getUnprocessedMsgCount());
    EXPECT_TRUE(free.waitForBacklog(0));
    EXPECT_EQ(limit + 10, drainCount(&free));
    EXPECT_FALSE(free.waitForBacklog(1));

    StreamMessagePool pool;
    pool.attachConsumer();
    std::atomic<int> sent(0);
    std::thread producer([&] {
        for (int i = 0; i < limit + 100; ++i) {
            pool.setUnprocessedMsg(new StreamMessage());
            ++sent;
        }
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sent.load() < limit && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(limit, sent.load());  // held at the limit, not past it
    std::deque<StreamMessage*> taken;
    pool.takeUnprocessedMsgs(&taken);
    producer.join();
    EXPECT_EQ(limit + 100, sent.load());
    EXPECT_EQ((size_t)limit, taken.size());
    for (StreamMessage* m : taken)
        delete m;
    EXPECT_EQ(100, drainCount(&pool));

    // A consumer that goes away lets a held producer through.
    sent = 0;
    std::thread again([&] {
        for (int i = 0; i < limit + 1; ++i) {
            pool.setUnprocessedMsg(new StreamMessage());
            ++sent;
        }
    });
    while (sent.load() < limit && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield();
    pool.detachConsumer();
    again.join();
    EXPECT_EQ(limit + 1, drainCount(&pool));
}

// After summarize the callbacks' packet events are counted per type, PID and id,
// except the first of each PID, which still needs its message; the other type,
// and PIDs or ids out of range, are never counted.
TEST(MsgPool, SummarizedPacketEventsAreCountedButEachPidsFirstIsSent)
{
    StreamMessagePool pool;
    EXPECT_FALSE(pool.countPacketEvent(MSG_TYPE_ERROR, CB_MPEG2TS_CONTINUITY_ERROR, 256));
    pool.summarize(MSG_TYPE_ERROR);
    EXPECT_TRUE(pool.countPacketEvent(MSG_TYPE_ERROR, CB_MPEG2TS_CONTINUITY_ERROR, 256));
    EXPECT_TRUE(pool.countPacketEvent(MSG_TYPE_ERROR, CB_MPEG2TS_RESERVED_BITS_ERROR, 256));
    EXPECT_FALSE(pool.countPacketEvent(MSG_TYPE_ERROR, CB_MPEG2TS_CONTINUITY_ERROR, 0));  // first of PID 0
    EXPECT_TRUE(pool.countPacketEvent(MSG_TYPE_ERROR, CB_MPEG2TS_CONTINUITY_ERROR, 0));
    EXPECT_FALSE(pool.countPacketEvent(MSG_TYPE_WARNING, CB_MPEG2TS_PCR_ROLL_OVER, 256));
    EXPECT_FALSE(pool.countPacketEvent(MSG_TYPE_WARNING, CB_MPEG2TS_PCR_ROLL_OVER, 256));
    EXPECT_FALSE(pool.countPacketEvent(MSG_TYPE_INFO, CB_MPEG2TS_PCR_ROLL_OVER, 256));
    EXPECT_FALSE(pool.countPacketEvent(MSG_TYPE_ERROR, CB_MPEG2TS_CONTINUITY_ERROR, 8192));
    EXPECT_FALSE(pool.countPacketEvent(MSG_TYPE_ERROR, StreamMessagePool::COUNTED_IDS, 256));
    EXPECT_EQ(2u, pool.countedOfPid(MSG_TYPE_ERROR, 256));
    EXPECT_EQ(1u, pool.countedOfPid(MSG_TYPE_ERROR, 0));
    EXPECT_EQ(0u, pool.countedOfPid(MSG_TYPE_WARNING, 256));
    EXPECT_EQ(2u, pool.countedOfId(CB_MPEG2TS_CONTINUITY_ERROR));
    EXPECT_EQ(1u, pool.countedOfId(CB_MPEG2TS_RESERVED_BITS_ERROR));
}

// Recycled messages come back last in, first out, up to the limit; the pool frees
// what it holds (ASan sees a leak otherwise).
TEST(MsgPool, RecyclingIsBoundedAndThePoolFreesWhatItHolds)
{
    StreamMessagePool pool;
    EXPECT_EQ(nullptr, pool.takeRecycledMsg());
    std::vector<StreamMessage*> many;
    for (size_t i = 0; i < StreamMessagePool::RECYCLE_LIMIT + 5; ++i)
        many.push_back(new StreamMessage());
    StreamMessage* last = many[StreamMessagePool::RECYCLE_LIMIT - 1];
    pool.recycleMsgs(&many);  // the five beyond the limit are deleted
    EXPECT_TRUE(many.empty());
    StreamMessage* extra = new StreamMessage();
    EXPECT_FALSE(pool.recycleMsg(extra));
    delete extra;
    StreamMessage* m = pool.takeRecycledMsg();
    EXPECT_EQ(last, m);
    EXPECT_TRUE(pool.recycleMsg(m));
}

// ---------------------------------------------------------------- mapped values

TEST(MappedValue, CopyAndAssignAreDeep)
{
    callbackMappedValue a("Sampling Rate", "48000");
    a.m_pChildren = new MappedValueList();
    a.m_pChildren->push_back(callbackMappedValue("Units", "Hz"));
    a.m_pChildren->back().m_pChildren = new MappedValueList();
    a.m_pChildren->back().m_pChildren->push_back(callbackMappedValue("Deep", "1"));

    callbackMappedValue copy(a);
    ASSERT_NE(nullptr, copy.m_pChildren);
    EXPECT_NE(a.m_pChildren, copy.m_pChildren);
    EXPECT_NE(a.m_pChildren->front().m_pChildren, copy.m_pChildren->front().m_pChildren);

    callbackMappedValue assigned("x", "y");
    assigned.m_pChildren = new MappedValueList(1);  // freed by the assignment
    assigned = a;
    a.m_pChildren->front().m_sValue = "changed";
    EXPECT_EQ("Hz", assigned.m_pChildren->front().m_sValue);
    EXPECT_EQ("Hz", copy.m_pChildren->front().m_sValue);
    EXPECT_EQ("1", assigned.m_pChildren->front().m_pChildren->front().m_sValue);

    callbackMappedValue& same = assigned;
    assigned = same;  // self-assignment keeps the children
    ASSERT_NE(nullptr, assigned.m_pChildren);
    EXPECT_EQ("Sampling Rate", assigned.m_sName);

    callbackMappedValue none;
    assigned = none;  // children dropped and freed
    EXPECT_EQ(nullptr, assigned.m_pChildren);
    EXPECT_EQ("", assigned.m_sName);
}
