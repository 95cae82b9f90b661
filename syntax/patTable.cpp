#include "syntax/patTable.h"

#include "platform/debugMap.h"

#include <cstdlib>
#include <cstring>
#include <mutex>

int fillPatTable(const unsigned char* section, PatTable* pat, unsigned int length)
{
    if (length < 1 || section[0] != 0x00)
        return PAT_NOT_PAT;
    if (length < 8)
        return PAT_TRUNCATED;

    unsigned int sectionLength = ((section[1] & 0x0Fu) << 8) | section[2];
    if (3u + sectionLength > length)
        return PAT_TRUNCATED;

    PatTable table;
    memset(&table, 0, sizeof(table));
    table.section_length = (int32_t)sectionLength;
    table.transport_stream_id = (section[3] << 8) | section[4];
    table.section_number = section[6];
    table.last_section_number = section[7];

    // Programs lie between the 8-byte header and the CRC_32.
    if (sectionLength > 9) {
        for (unsigned int k = 0; 4 * k < sectionLength - 9; ++k) {
            const unsigned char* e = section + 8 + 4 * k;
            // A trailing part-entry (section_length not a multiple of 4) would reach
            // into the CRC; it is not a program.
            if (8 + 4 * k + 4 > 3 + sectionLength - 4)
                break;
            unsigned int program = (e[0] << 8) | e[1];
            unsigned int pid = ((e[2] & 0x1Fu) << 8) | e[3];
            if (addProgramToPatTable(program, pid, &table) != PAT_OK) {
                cleanPatTable(&table);
                return PAT_NO_MEMORY;
            }
        }
    }
    *pat = table;
    return PAT_OK;
}

int addProgramToPatTable(unsigned int programNumber, unsigned int pid, PatTable* pat)
{
    PatEntry* entry = (PatEntry*)malloc(sizeof(PatEntry));
    if (!entry)
        return PAT_NO_MEMORY;
    entry->program_number = programNumber;
    entry->PID = pid;
    entry->next = nullptr;

    if (!pat->entries) {
        pat->entries = entry;
    } else {
        PatEntry* last = pat->entries;
        while (last->next)
            last = last->next;
        last->next = entry;
    }
    pat->entryCount++;
    return PAT_OK;
}

int getPatEntryFromThisPat(PatTable* pat, int index, PatEntry** entry)
{
    if (!pat->entries)
        return 2;
    if (index < 0 || index >= pat->entryCount)
        return 3;
    PatEntry* e = pat->entries;
    for (int i = 0; i < index && e; ++i)
        e = e->next;
    if (!e)
        return 3;
    *entry = e;
    return 0;
}

void cleanPatTable(PatTable* pat)
{
    PatEntry* e = pat->entries;
    while (e) {
        PatEntry* next = e->next;
        free(e);
        e = next;
    }
    memset(pat, 0, sizeof(*pat));
}

namespace {

std::mutex s_ModulePatMutex;
PatTable s_ModulePat;  // zero-initialised: empty
int s_iModulePatIndex = 0;
bool s_bModulePatValid = false;

// With the lock held.
void resetModulePat()
{
    cleanPatTable(&s_ModulePat);
    s_iModulePatIndex = 0;
    s_bModulePatValid = false;
}

}  // namespace

void initModulePat()
{
    std::lock_guard<std::mutex> lock(s_ModulePatMutex);
    resetModulePat();
}

int parseModulePat(const unsigned char* section, unsigned int length)
{
    // Parsed outside the lock: a refused section leaves the module PAT alone.
    PatTable parsed;
    memset(&parsed, 0, sizeof(parsed));
    int rc = fillPatTable(section, &parsed, length);
    if (rc != PAT_OK)
        return rc;
    std::lock_guard<std::mutex> lock(s_ModulePatMutex);
    resetModulePat();
    s_ModulePat = parsed;
    s_bModulePatValid = true;
    return PAT_OK;
}

int addProgramToModulePat(unsigned int programNumber, unsigned int pid)
{
    std::lock_guard<std::mutex> lock(s_ModulePatMutex);
    return addProgramToPatTable(programNumber, pid, &s_ModulePat);
}

int getModulePatEntry(int index, PatEntry* entry)
{
    std::lock_guard<std::mutex> lock(s_ModulePatMutex);
    PatEntry* found = nullptr;
    int rc = getPatEntryFromThisPat(&s_ModulePat, index, &found);
    if (rc == 0) {
        *entry = *found;
        entry->next = nullptr;
    }
    return rc;
}

int getModulePatCurrentIndex()
{
    std::lock_guard<std::mutex> lock(s_ModulePatMutex);
    return s_iModulePatIndex;
}

int setModulePatCurrentIndex(int index)
{
    std::lock_guard<std::mutex> lock(s_ModulePatMutex);
    if (index < 0 || index >= s_ModulePat.entryCount)
        return 3;
    s_iModulePatIndex = index;
    return 0;
}

void cleanModulePat()
{
    std::lock_guard<std::mutex> lock(s_ModulePatMutex);
    resetModulePat();
}

void printModulePat()
{
    std::lock_guard<std::mutex> lock(s_ModulePatMutex);
    for (const PatEntry* e = s_ModulePat.entries; e; e = e->next)
        fileLog("ProgramNumber [%d] PID [0x%04X]\n", (int)e->program_number, (unsigned int)e->PID);
}

bool isModulePatValid()
{
    std::lock_guard<std::mutex> lock(s_ModulePatMutex);
    return s_bModulePatValid;
}

int getPatEntryField(const PatEntry* entry, int field, unsigned int* value)
{
    if (!entry)
        return 1;
    switch (field) {
    case PAT_FIELD_PROGRAM_NUMBER:
        *value = entry->program_number;
        return 0;
    case PAT_FIELD_PID:
        *value = entry->PID;
        return 0;
    default:
        return 1;
    }
}
