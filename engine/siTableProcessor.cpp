#include "engine/siTableProcessor.h"

#include "syntax/packetBase.h"

#include <cstring>

SiTableProcessor::SiTableProcessor(MsgCallback* msgCallback, int pid)
    : Mpeg2TransportStreamProcessor(msgCallback, pid), m_iTableState(TABLE_NOTHING),
      m_uiGatheredLength(0), m_iStorageCapacity(0), m_pucRawStorage(nullptr), m_bInSection(false),
      m_uiSectionSize(0), m_ullSections(0), m_ullDroppedSections(0)
{
}

SiTableProcessor::~SiTableProcessor()
{
    delete[] m_pucRawStorage;
}

void SiTableProcessor::allocateRawStorage(int capacity)
{
    delete[] m_pucRawStorage;
    m_pucRawStorage = nullptr;
    m_iStorageCapacity = 0;
    if (capacity <= 0)
        return;
    m_pucRawStorage = new unsigned char[capacity]();
    m_iStorageCapacity = capacity;
    m_uiGatheredLength = 0;
    m_bInSection = false;
    m_uiSectionSize = 0;
}

bool SiTableProcessor::populateTableFromPrivSect(unsigned char*)
{
    return false;
}

void SiTableProcessor::dropSection()
{
    ++m_ullDroppedSections;
    memset(m_pucRawStorage, 0, m_uiGatheredLength);
    m_uiGatheredLength = 0;
    m_uiSectionSize = 0;
    m_bInSection = false;
}

void SiTableProcessor::completeSection()
{
    ++m_ullSections;
    m_iTableState = populateTableFromPrivSect(m_pucRawStorage) ? TABLE_BUILT : TABLE_FAILED;
    memset(m_pucRawStorage, 0, m_uiGatheredLength);
    m_uiGatheredLength = 0;
    m_uiSectionSize = 0;
    m_bInSection = false;
}

void SiTableProcessor::gather(const unsigned char* data, int length, bool mayStart)
{
    while (length > 0) {
        if (!m_bInSection) {
            // Sections follow one another only within the part of a PUSI packet that
            // begins with a section; 0xFF there is stuffing up to the packet end.
            if (!mayStart || data[0] == 0xFF)
                return;
            m_bInSection = true;
            m_uiGatheredLength = 0;
            m_uiSectionSize = 0;
        }

        uint32_t target = m_uiSectionSize ? m_uiSectionSize : 3;
        uint32_t n = target - m_uiGatheredLength;
        if ((uint32_t)length < n)
            n = (uint32_t)length;
        memcpy(m_pucRawStorage + m_uiGatheredLength, data, n);
        m_uiGatheredLength += n;
        data += n;
        length -= (int)n;

        if (!m_uiSectionSize && m_uiGatheredLength >= 3) {
            uint32_t sectionLength = ((m_pucRawStorage[1] & 0x0Fu) << 8) | m_pucRawStorage[2];
            if (3 + sectionLength > (uint32_t)m_iStorageCapacity) {
                // Cannot be held; what follows in this packet cannot be trusted either.
                dropSection();
                return;
            }
            m_uiSectionSize = 3 + sectionLength;
        }
        if (m_uiSectionSize && m_uiGatheredLength >= m_uiSectionSize)
            completeSection();
    }
}

int SiTableProcessor::processOwnTransportPacket(unsigned char* packet, long long)
{
    if (!m_pucRawStorage)
        return 1;

    PsiPacketPayload payload;
    int rc = getPsiPacketPayload(packet, &payload);
    if (rc == 1)
        return 1;  // no payload: nothing to gather

    if (payload.unitStart) {
        if (m_bInSection) {
            gather(payload.tail, (int)payload.tailLength, false);
            // A new section starts here, so one still unfinished is broken.
            if (m_bInSection)
                dropSection();
        }
        if (rc == 0)
            gather(payload.section, (int)payload.sectionLength, true);
    } else if (m_bInSection) {
        gather(payload.tail, (int)payload.tailLength, false);
    }
    return 1;
}
