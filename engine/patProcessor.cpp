#include "engine/patProcessor.h"

#include <cstring>
#include <stdexcept>
#include <string>

PatProcessor::Pat::Pat(const unsigned char* section, unsigned int length)
{
    PatTable* table = this;
    memset(table, 0, sizeof(PatTable));
    // Five header bytes after section_length and the CRC_32 at the least.
    if (length < 3 || ((((section[1] & 0x0Fu) << 8) | section[2]) < 9))
        throw std::runtime_error("section too short for a PAT");
    if (fillPatTable(section, table, length) != PAT_OK)
        throw std::runtime_error("section is not a complete PAT");
}

PatProcessor::Pat::~Pat()
{
    cleanPatTable(this);
}

int PatProcessor::Pat::getPidProg(int pid) const
{
    for (const PatEntry* e = entries; e; e = e->next) {
        if ((int)e->PID == pid)
            return (int)e->program_number;
    }
    return -1;
}

int PatProcessor::Pat::isProgInPat(int program) const
{
    for (const PatEntry* e = entries; e; e = e->next) {
        if ((int)e->program_number == program)
            return 1;
    }
    return 0;
}

std::map<int, int>* PatProcessor::Pat::getPatEntries() const
{
    std::map<int, int>* m = new std::map<int, int>();
    for (const PatEntry* e = entries; e; e = e->next)
        (*m)[(int)e->program_number] = (int)e->PID;
    return m;
}

PatProcessor::PatProcessor(MsgCallback* msgCallback, int pid)
    : SiTableProcessor(msgCallback, pid), m_pPat(nullptr)
{
    setName("PatProcessor");
    allocateRawStorage(RAW_STORAGE_SIZE);
}

PatProcessor::~PatProcessor()
{
    delete m_pPat;
}

bool PatProcessor::populateTableFromPrivSect(unsigned char* section)
{
    if (m_pPat)
        return false;
    try {
        m_pPat = new Pat(section, m_uiGatheredLength);
    } catch (const std::exception&) {
        m_pPat = nullptr;
        return false;
    }

    TableInfo info;
    info.pid = m_iPid;
    info.table = static_cast<PatTable*>(m_pPat);
    std::string type("PAT Table");
    PidValueInfo typeInfo;
    typeInfo.pid = m_iPid;
    typeInfo.value = &type;
    if (m_pMsgCallback) {
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_PAT, &info);
        m_pMsgCallback->callMsgCallback(CB_MPEG2TS_STREAM_TYPE, &typeInfo);
    }
    return true;
}
