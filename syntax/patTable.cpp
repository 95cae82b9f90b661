#include "syntax/patTable.h"

#include <cstdlib>
#include <cstring>

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
