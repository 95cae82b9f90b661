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

// ---- one PAT held by the module
// For callers that keep no record of their own. Each operation takes the module's
// lock, so any thread may call them; entries are handed out as copies, never as
// pointers into the module's list, so a clean-up elsewhere cannot pull them away.

// Empties the module PAT; it is then not valid and its current index is 0.
void initModulePat();
// As fillPatTable; on 0 the section replaces the module PAT, which is then valid and
// its current index 0. Otherwise the module PAT is left as it was.
int parseModulePat(const unsigned char* section, unsigned int length);
// As addProgramToPatTable on the module PAT.
int addProgramToModulePat(unsigned int programNumber, unsigned int pid);
// Copy of the entry at index (next null): 0 found; 2 empty; 3 out of range.
int getModulePatEntry(int index, PatEntry* entry);
int getModulePatCurrentIndex();
// 0, or 3 (the current index unchanged) when no entry has that index.
int setModulePatCurrentIndex(int index);
// Frees every entry; as initModulePat.
void cleanModulePat();
// One log line per entry: "ProgramNumber [%d] PID [0x%04X]".
void printModulePat();
// True from a successful parseModulePat until the next init or clean-up.
bool isModulePatValid();

const int PAT_FIELD_PROGRAM_NUMBER = 0;
const int PAT_FIELD_PID = 1;
// One field of an entry: 0, or 1 for a null entry or another field.
int getPatEntryField(const PatEntry* entry, int field, unsigned int* value);

#endif
