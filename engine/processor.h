#ifndef KORBALT_ENGINE_PROCESSOR_H
#define KORBALT_ENGINE_PROCESSOR_H

#include "engine/msgCallback.h"

#include <cstdint>

// Every stage that consumes stream bytes.
class Processor {
public:
    explicit Processor(MsgCallback* msgCallback);
    virtual ~Processor();
    Processor(const Processor&) = delete;
    Processor& operator=(const Processor&) = delete;

    // Container processors: 0 go on, 3 end the run.
    // Per-PID front ends: 1 own packet, 2 someone else's.
    virtual int processRawBuff(unsigned char* buffer, long long length) = 0;
    // The input has ended (not called on an abort or a stop): bytes still held back for
    // want of what follows them are judged now.
    virtual void endOfInput() {}
    // The run is over, whether or not the input ended: findings that wait for the whole
    // stream are fired now, before the end-of-run bit rates.
    virtual void endOfRun() {}
    // Live input only. Before the first bytes: skipped bytes that were no stream came first.
    virtual void startAfterSkipped(long long) {}
    // Live input only. The bytes that come next follow this many milliseconds without data.
    virtual void reportInputGap(uint32_t) {}
    // Live input only. The datagram just handed in came cut: lost of its whole bytes are gone.
    virtual void reportCutDatagram(uint32_t /*lost*/, uint32_t /*whole*/) {}

    MsgCallback* getMsgCallback() const { return m_pMsgCallback; }
    long long getByteCount() const { return m_llByteCount; }

protected:
    // Clears the event text and points the packet-event record at it.
    void resetEventText();

    MsgCallback* m_pMsgCallback;   // not owned
    long long m_llPosition;        // offset reached in the current buffer
    long long m_llByteCount;       // bytes handed in (container) or own bytes (stream)
    PacketEventInfo m_PacketEventInfo;
    char m_acEventText[256];
    uint64_t m_ullSampleByteCount;  // own bytes since the last sample bit rate (64-bit: never wraps)
};

class TransportProcessor : public Processor {
public:
    TransportProcessor(MsgCallback* msgCallback, int durationLimit)
        : Processor(msgCallback), m_iDurationLimit(durationLimit)
    {
    }
    ~TransportProcessor() override = default;

protected:
    int m_iDurationLimit;  // seconds; 0 = no limit
};

class StreamProcessor : public Processor {
public:
    explicit StreamProcessor(MsgCallback* msgCallback);
    ~StreamProcessor() override = default;

    // Average bit rate over the given span; 0 for a span of 0 or less.
    virtual double calculateBitrateBps(double seconds);
    // Bit rate of the bytes since the last sample; keeps min and max.
    virtual double calculateSampleBitrateBps(double seconds);

    double getBitrate() const { return m_dBitrate; }
    double getSampleBitrate() const { return m_dSampleBitrate; }
    double getMinStreamBitrate() const { return m_dMinStreamBitrate; }
    double getMaxStreamBitrate() const { return m_dMaxStreamBitrate; }
    const char* getName() const { return m_acName; }

protected:
    void setName(const char* name);

    double m_dBitrate;
    double m_dSampleBitrate;
    double m_dMinStreamBitrate;  // 0 = none yet
    double m_dMaxStreamBitrate;
    char m_acName[1024];
};

// Content sniffers: tell which container the first buffer holds.
class ContentType {
public:
    virtual ~ContentType() = default;
    virtual bool isType(unsigned char* buffer, long long length) = 0;
};

#endif
