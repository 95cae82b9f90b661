#include "syntax/pmtTable.h"

#include "platform/debugMap.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

const unsigned int PMT_FIXED_HEADER = 12;  // table_id .. program_info_length
const unsigned int CRC_SIZE = 4;

void freeElements(ProgElement* e)
{
    while (e) {
        ProgElement* next = e->next;
        free(e);
        e = next;
    }
}

}  // namespace

int createProgElement(const unsigned char* bytes, unsigned int* size, ProgElement** element, unsigned int length)
{
    if (length < 5)
        return 1;
    unsigned int esInfoLength = ((bytes[3] & 0x03u) << 8) | bytes[4];
    if (5u + esInfoLength > length)
        return 1;

    ProgElement* e = (ProgElement*)calloc(1, sizeof(ProgElement));
    if (!e)
        return PMT_NO_MEMORY;
    e->stream_type = bytes[0];
    e->elementary_PID = ((bytes[1] & 0x1Fu) << 8) | bytes[2];
    e->ES_info_length = (int32_t)esInfoLength;
    e->descriptors = esInfoLength > 0 ? bytes + 5 : nullptr;
    e->next = nullptr;
    *size = esInfoLength + 5;
    *element = e;
    return 0;
}

int insertProgElementIntoPMT(PmtTable* pmt, ProgElement* element)
{
    element->next = nullptr;
    if (!pmt->elements) {
        pmt->elements = element;
    } else {
        ProgElement* last = pmt->elements;
        while (last->next)
            last = last->next;
        last->next = element;
    }
    pmt->elementCount++;
    return 0;
}

bool validatePmtPrivateSection(const unsigned char* section, unsigned int length)
{
    if (length < 3 || section[0] != 0x02)
        return false;
    unsigned int sectionLength = ((section[1] & 0x0Fu) << 8) | section[2];
    return 3u + sectionLength <= length;
}

int processPmtPrivateSection(const unsigned char* section, unsigned int length, unsigned int programNumber,
                             PmtTable** pmt)
{
    if (length < 1 || section[0] != 0x02)
        return PMT_NOT_PMT;
    fileLog("iRawPmtNumber %d\n", 0);
    if (length < 5)
        return PMT_MALFORMED;
    unsigned int program = (section[3] << 8) | section[4];
    if (program != programNumber)
        return PMT_OTHER_PROGRAM;

    unsigned int sectionLength = ((section[1] & 0x0Fu) << 8) | section[2];
    // The whole section must be there, and hold at least the fixed header and the CRC.
    if (3u + sectionLength > length || 3u + sectionLength < PMT_FIXED_HEADER + CRC_SIZE)
        return PMT_MALFORMED;
    const unsigned int loopEnd = 3u + sectionLength - CRC_SIZE;  // first CRC byte

    unsigned int programInfoLength = ((section[10] & 0x03u) << 8) | section[11];
    if (PMT_FIXED_HEADER + programInfoLength > loopEnd)
        return PMT_MALFORMED;

    PmtTable* table = (PmtTable*)calloc(1, sizeof(PmtTable));
    if (!table)
        return PMT_NO_MEMORY;
    table->program_number = program;
    table->version_number = (section[5] & 0x3Eu) >> 1;
    table->current_next_indicator = section[5] & 0x01u;
    table->PCR_PID = ((section[8] & 0x1Fu) << 8) | section[9];
    table->program_info_length = programInfoLength;
    table->program_descriptors = programInfoLength > 0 ? section + PMT_FIXED_HEADER : nullptr;
    table->section_length = sectionLength;

    unsigned int offset = PMT_FIXED_HEADER + programInfoLength;
    while (offset < loopEnd) {
        ProgElement* element = nullptr;
        unsigned int size = 0;
        int rc = createProgElement(section + offset, &size, &element, loopEnd - offset);
        if (rc != 0) {
            freeElements(table->elements);
            free(table);
            return rc == PMT_NO_MEMORY ? PMT_NO_MEMORY : PMT_MALFORMED;
        }
        insertProgElementIntoPMT(table, element);
        offset += size;
    }
    *pmt = table;
    return PMT_OK;
}

int getPmtElementStreamParam(int what, PmtTable* pmt, int index, unsigned int* out)
{
    if (!pmt || index < 0 || (what != 0 && what != 1))
        return 1;
    ProgElement* e = pmt->elements;
    for (int i = 0; i < index && e; ++i)
        e = e->next;
    if (!e)
        return 1;
    *out = what == 1 ? e->stream_type : e->elementary_PID;
    return 0;
}

int getElementaryPrivateDescPayload(PmtTable* pmt, int elementIndex, unsigned int descriptorIndex,
                                    PrivateDescPayload* query)
{
    const unsigned char* loop = nullptr;
    unsigned int loopLength = 0;

    if (pmt) {
        if (elementIndex < 0) {
            loop = pmt->program_descriptors;
            loopLength = pmt->program_info_length;
        } else {
            ProgElement* e = pmt->elements;
            for (int i = 0; i < elementIndex && e; ++i)
                e = e->next;
            if (e) {
                loop = e->descriptors;
                loopLength = e->ES_info_length > 0 ? (unsigned int)e->ES_info_length : 0;
            }
        }
    }

    // Walk to the wanted descriptor; each one must lie wholly inside the loop.
    unsigned int offset = 0;
    unsigned int count = 0;
    bool found = false;
    while (loop && offset + 2 <= loopLength) {
        unsigned int descLength = loop[offset + 1];
        if (offset + 2 + descLength > loopLength)
            break;
        if (count == descriptorIndex) {
            found = true;
            break;
        }
        ++count;
        offset += 2 + descLength;
    }

    if (!found) {
        memset(query, 0, sizeof(*query));
        return 1;
    }
    if (query->what == 0) {
        query->value.tag = loop[offset];
    } else if (query->what == 1) {
        query->value.payload = loop + offset + 2;
        query->length = loop[offset + 1];
    }
    return 0;
}

void cleanPmtTable(PmtTable** pmt)
{
    if (!pmt || !*pmt)
        return;
    freeElements((*pmt)->elements);
    free(*pmt);
    *pmt = nullptr;
}

namespace {

std::mutex s_PmtListMutex;
PmtTable* s_pPmtList = nullptr;
bool s_bPmtListValid = false;

// With the lock held.
void freePmtList()
{
    while (s_pPmtList) {
        PmtTable* next = s_pPmtList->next;
        cleanPmtTable(&s_pPmtList);
        s_pPmtList = next;
    }
    s_bPmtListValid = false;
}

// With the lock held.
PmtTable* findInList(unsigned int programNumber)
{
    for (PmtTable* p = s_pPmtList; p; p = p->next)
        if (p->program_number == programNumber)
            return p;
    return nullptr;
}

}  // namespace

void initPmtList()
{
    std::lock_guard<std::mutex> lock(s_PmtListMutex);
    freePmtList();
}

int insertPmtIntoList(PmtTable* pmt)
{
    if (!pmt)
        return 1;
    std::lock_guard<std::mutex> lock(s_PmtListMutex);
    PmtTable** link = &s_pPmtList;
    while (*link && (*link)->program_number != pmt->program_number)
        link = &(*link)->next;
    if (*link == pmt)
        return 0;  // already there
    pmt->next = nullptr;
    if (*link) {
        // A newer table of the program: the old one goes.
        PmtTable* old = *link;
        pmt->next = old->next;
        cleanPmtTable(&old);
    }
    *link = pmt;
    s_bPmtListValid = true;
    return 0;
}

bool findPmtInList(unsigned int programNumber)
{
    std::lock_guard<std::mutex> lock(s_PmtListMutex);
    return findInList(programNumber) != nullptr;
}

bool isPmtListValid()
{
    std::lock_guard<std::mutex> lock(s_PmtListMutex);
    return s_bPmtListValid;
}

int getPmtListField(unsigned int programNumber, int field, unsigned int* value)
{
    if (field < PMT_FIELD_PROGRAM_NUMBER || field > PMT_FIELD_ELEMENT_COUNT) {
        fileLog("Parameter not implemented yet\n");
        return 2;
    }
    std::lock_guard<std::mutex> lock(s_PmtListMutex);
    const PmtTable* p = findInList(programNumber);
    if (!p)
        return 1;
    switch (field) {
    case PMT_FIELD_PROGRAM_NUMBER:
        *value = p->program_number;
        break;
    case PMT_FIELD_VERSION_NUMBER:
        *value = p->version_number;
        break;
    case PMT_FIELD_PCR_PID:
        *value = p->PCR_PID;
        break;
    case PMT_FIELD_PROGRAM_INFO_LENGTH:
        *value = p->program_info_length;
        break;
    case PMT_FIELD_CURRENT_NEXT_INDICATOR:
        *value = p->current_next_indicator;
        break;
    default:
        *value = p->elementCount;
        break;
    }
    return 0;
}

void printPmtList()
{
    std::lock_guard<std::mutex> lock(s_PmtListMutex);
    for (const PmtTable* p = s_pPmtList; p; p = p->next) {
        fileLog("ProgramNumber [%u] VersionNumber [%u] PcrPid [0x%04X]\n", p->program_number, p->version_number,
                p->PCR_PID);
        for (const ProgElement* e = p->elements; e; e = e->next)
            fileLog("StreamType [0x%02X] PID [0x%04X]\n", e->stream_type, e->elementary_PID);
    }
}

void cleanPmtList()
{
    std::lock_guard<std::mutex> lock(s_PmtListMutex);
    freePmtList();
}
