#include "callbacks/generalCallbacks.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "engine/msgCallback.h"
#include "engine/streamInfoMessage.h"
#include "engine/streamMessagePool.h"

namespace {

const int64_t kNeverSent = INT64_MIN;

// Time of the last status-alive message that entered the pool. The heartbeat
// fires from the packet loop, possibly once per packet; without this gate a live
// run would fill the pool faster than the listener (one per second) drains it.
std::atomic<int64_t> g_llLastStatusAliveMs(kNeverSent);

int64_t steadyNowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void queueOrDrop(StreamInfoMessage* msg, StreamMessagePool* pool)
{
    if (pool)
        pool->setUnprocessedMsg(msg);
    else
        delete msg;
}

}  // namespace

void GeneralCallbacks::resetStatusAliveClock()
{
    g_llLastStatusAliveMs.store(kNeverSent);
}

bool GeneralCallbacks::statusAliveDue(int64_t nowMs)
{
    int64_t last = g_llLastStatusAliveMs.load();
    for (;;) {
        // A clock that went backwards (only possible with a caller's own time
        // base) restarts the spacing instead of silencing the heartbeat.
        const bool due = last == kNeverSent || nowMs < last || nowMs - last >= kStatusAliveIntervalMs;
        if (!due)
            return false;
        if (g_llLastStatusAliveMs.compare_exchange_weak(last, nowMs))
            return true;
    }
}

void GeneralCallbacks::transportTypeCb(void* payload, StreamMessagePool* pool)
{
    StreamInfoMessage* msg = new StreamInfoMessage();
    const std::string* name = static_cast<const std::string*>(payload);
    std::string desc = name ? *name : std::string();
    msg->setMsgDesc(desc);
    msg->setCallbackId(CB_TRANSPORT_TYPE);
    queueOrDrop(msg, pool);
}

void GeneralCallbacks::percentCompleteCb(void* payload, StreamMessagePool* pool)
{
    StreamInfoMessage* msg = new StreamInfoMessage();
    msg->setMsgDesc("Percent Complete");
    msg->setCallbackId(CB_PERCENT_COMPLETE);
    // The number is the pointer's value; count 0 keeps it unowned.
    msg->setMsgData(payload, PAYLOAD_TYPE_INT32_ARRAY, 0);
    queueOrDrop(msg, pool);
}

void GeneralCallbacks::statusAliveCb(void*, StreamMessagePool* pool)
{
    if (!statusAliveDue(steadyNowMs()))
        return;
    StreamInfoMessage* msg = new StreamInfoMessage();
    msg->setMsgDesc("Status Alive");
    msg->setCallbackId(CB_STATUS_ALIVE);
    queueOrDrop(msg, pool);
}

void GeneralCallbacks::analysisCompleteCb(void*, StreamMessagePool* pool)
{
    StreamInfoMessage* msg = new StreamInfoMessage();
    msg->setMsgDesc("");
    msg->setCallbackId(CB_ANALYSIS_COMPLETE);
    queueOrDrop(msg, pool);
}
