#include "engine/pmtProcessor.h"

#include <cstring>
#include <stdexcept>
#include <string>

PmtProcessor::Pmt::Pmt(const unsigned char* section, unsigned int length, int, int program)
    : m_pTable(nullptr)
{
    memset(m_aucSection, 0, sizeof(m_aucSection));
    if (length > sizeof(m_aucSection))
        length = sizeof(m_aucSection);
    memcpy(m_aucSection, section, length);
    if (processPmtPrivateSection(m_aucSection, length, (unsigned int)program, &m_pTable) != PMT_OK) {
        if (m_pTable)
            cleanPmtTable(&m_pTable);
        throw std::runtime_error("section is not a PMT of this program");
    }
}

PmtProcessor::Pmt::~Pmt()
{
    if (m_pTable)
        cleanPmtTable(&m_pTable);
}

int PmtProcessor::Pmt::getElementCount() const
{
    int n = 0;
    for (const ProgElement* e = m_pTable ? m_pTable->elements : nullptr; e; e = e->next)
        ++n;
    return n;
}

PmtProcessor::PmtElement* PmtProcessor::Pmt::getPmtElementsList(int* count) const
{
    int n = getElementCount();
    if (count)
        *count = n;
    if (n == 0)
        return nullptr;
    PmtElement* list = new PmtElement[n];
    int i = 0;
    for (const ProgElement* e = m_pTable->elements; e; e = e->next, ++i) {
        list[i].stream_type = (int)e->stream_type;
        list[i].elementary_PID = (int)e->elementary_PID;
    }
    return list;
}

PmtProcessor::PmtDescriptor* PmtProcessor::Pmt::getPmtElementDescriptorList(int pid, int* count) const
{
    if (count)
        *count = 0;
    const ProgElement* element = m_pTable ? m_pTable->elements : nullptr;
    while (element && (int)element->elementary_PID != pid)
        element = element->next;
    if (!element || !element->descriptors || element->ES_info_length <= 0)
        return nullptr;

    // The loop lies inside our copy of the section; keep every descriptor inside the
    // loop as well, and inside the section's bytes before the CRC_32.
    const unsigned char* loop = element->descriptors;
    long long loopLength = element->ES_info_length;
    const unsigned char* sectionEnd = m_aucSection + sizeof(m_aucSection);
    if (m_pTable->section_length >= 4 && 3 + m_pTable->section_length - 4 <= sizeof(m_aucSection))
        sectionEnd = m_aucSection + 3 + m_pTable->section_length - 4;
    if (loop < m_aucSection || loop > sectionEnd)
        return nullptr;
    if (loopLength > sectionEnd - loop)
        loopLength = sectionEnd - loop;

    int n = 0;
    for (long long off = 0; off + 2 <= loopLength && off + 2 + loop[off + 1] <= loopLength;
         off += 2 + loop[off + 1])
        ++n;
    if (n == 0)
        return nullptr;

    PmtDescriptor* list = new PmtDescriptor[n];
    int i = 0;
    for (long long off = 0; i < n; off += 2 + loop[off + 1], ++i) {
        list[i].tag = loop[off];
        list[i].length = loop[off + 1];
        memset(list[i].payload, 0, sizeof(list[i].payload));
        memcpy(list[i].payload, loop + off + 2, (size_t)list[i].length);
    }
    if (count)
        *count = n;
    return list;
}

bool PmtProcessor::Pmt::isPcmAudioDescriptor(const PmtDescriptor* descriptor)
{
    return descriptor && descriptor->tag == 5 && descriptor->length == 4 &&
           memcmp(descriptor->payload, "BSSD", 4) == 0;
}

PmtProcessor::PmtProcessor(MsgCallback* msgCallback, int pid, int program)
    : SiTableProcessor(msgCallback, pid), m_uiProgramNumber((uint32_t)program), m_pPmt(nullptr)
{
    setName("PmtProcessor");
    allocateRawStorage(RAW_STORAGE_SIZE);
}

PmtProcessor::~PmtProcessor()
{
    delete m_pPmt;
}

bool PmtProcessor::populateTableFromPrivSect(unsigned char* section)
{
    if (m_pPmt)
        return false;
    if (!validatePmtPrivateSection(section, m_uiGatheredLength))
        return false;
    try {
        m_pPmt = new Pmt(section, m_uiGatheredLength, m_iPid, (int)m_uiProgramNumber);
    } catch (const std::exception&) {
        m_pPmt = nullptr;
        return false;
    }

    TableInfo info;
    info.pid = m_iPid;
    info.table = m_pPmt->getTable();
    std::string type("PMT Table");
    PidValueInfo typeInfo;
    typeInfo.pid = m_iPid;
    typeInfo.value = &type;
    if (m_pMsgCallback) {
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_PMT, &info);
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_STREAM_TYPE, &typeInfo);
    }
    return true;
}
