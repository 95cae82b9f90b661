#ifndef KORBALT_SYNTAX_PATTABLE_H
#define KORBALT_SYNTAX_PATTABLE_H

#include <cstdint>

struct PatEntry {  // malloc'd, freed by cleanPatTable
    uint32_t program_number;
    uint32_t PID;
    PatEntry* next;
};

struct PatTable {
    int32_t section_length;
    int32_t transport_stream_id;
    int32_t section_number;
    int32_t last_section_number;
    int32_t entryCount;
    PatEntry* entries;  // owned; null when empty
};

const int PAT_OK = 0;
const int PAT_NOT_PAT = 4;      // table_id is not 0
const int PAT_TRUNCATED = 5;    // the section (3 + section_length bytes) is not within length
const int PAT_NO_MEMORY = 6;

// section points at table_id; length is the number of bytes readable there.
// The record (zeroed by the caller) is left untouched unless 0 is returned.
int fillPatTable(const unsigned char* section, PatTable* pat, unsigned int length);
// Appends at the tail; 0, or PAT_NO_MEMORY.
int addProgramToPatTable(unsigned int programNumber, unsigned int pid, PatTable* pat);
// 0 found; 2 the table is empty; 3 index out of range (negative included).
int getPatEntryFromThisPat(PatTable* pat, int index, PatEntry** entry);
// Frees every entry and zeroes the record.
void cleanPatTable(PatTable* pat);

#endif
