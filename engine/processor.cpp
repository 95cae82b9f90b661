#include "engine/processor.h"

#include <cstring>

Processor::Processor(MsgCallback* msgCallback)
    : m_pMsgCallback(msgCallback), m_llPosition(0), m_llByteCount(0), m_ullSampleByteCount(0)
{
    memset(m_acEventText, 0, sizeof(m_acEventText));
    m_PacketEventInfo.pid = 0;
    m_PacketEventInfo.text = m_acEventText;
    m_PacketEventInfo.packetNumber = 0;
}

Processor::~Processor() = default;

void Processor::resetEventText()
{
    memset(m_acEventText, 0, sizeof(m_acEventText));
    m_PacketEventInfo.text = m_acEventText;
}

StreamProcessor::StreamProcessor(MsgCallback* msgCallback)
    : Processor(msgCallback), m_dBitrate(0), m_dSampleBitrate(0), m_dMinStreamBitrate(0),
      m_dMaxStreamBitrate(0)
{
    memset(m_acName, 0, sizeof(m_acName));
}

void StreamProcessor::setName(const char* name)
{
    memset(m_acName, 0, sizeof(m_acName));
    if (name)
        strncpy(m_acName, name, sizeof(m_acName) - 1);
}

double StreamProcessor::calculateBitrateBps(double seconds)
{
    long long bits = m_llByteCount * 8;
    m_dBitrate = seconds > 0 ? (double)bits / seconds : 0.0;
    return (double)bits;
}

double StreamProcessor::calculateSampleBitrateBps(double seconds)
{
    double bits = (double)(m_ullSampleByteCount * 8u);
    double sample = seconds > 0 ? bits / seconds : 0.0;
    m_dSampleBitrate = sample;
    if (m_dMinStreamBitrate == 0 || m_dMinStreamBitrate > sample)
        m_dMinStreamBitrate = sample;
    if (sample > m_dMaxStreamBitrate)
        m_dMaxStreamBitrate = sample;
    m_ullSampleByteCount = 0;
    return sample;
}
