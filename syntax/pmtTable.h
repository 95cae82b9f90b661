#ifndef KORBALT_SYNTAX_PMTTABLE_H
#define KORBALT_SYNTAX_PMTTABLE_H

#include <cstdint>

// The records point into the section bytes: keep them unchanged while a record is read.

struct ProgElement {  // malloc'd, zeroed
    uint32_t stream_type;
    uint32_t elementary_PID;
    int32_t ES_info_length;
    const unsigned char* descriptors;  // just after the 5-byte header; null when ES_info_length is 0
    ProgElement* next;
};

struct PmtTable {  // malloc'd, zeroed
    uint32_t program_number;
    uint32_t version_number;
    uint32_t PCR_PID;
    uint32_t program_info_length;
    const unsigned char* program_descriptors;  // section byte 12; null when program_info_length is 0
    uint8_t current_next_indicator;
    ProgElement* elements;  // owned
    PmtTable* next;         // the next record of the module PMT list
    uint32_t section_length;
    uint32_t elementCount;
};

// In/out record of a descriptor query.
struct PrivateDescPayload {
    int32_t what;  // in: 0 the tag, 1 the payload
    union {
        unsigned long long tag;        // what 0: descriptor_tag
        const unsigned char* payload;  // what 1: first byte after descriptor_length
    } value;
    int32_t length;  // what 1: descriptor_length
};

const int PMT_OK = 0;
const int PMT_OTHER_PROGRAM = 4;  // program_number differs
const int PMT_NOT_PMT = 5;        // table_id is not 2
const int PMT_MALFORMED = 6;      // section, program_info or an ES_info loop not within the bytes given
const int PMT_NO_MEMORY = 7;

// section points at table_id, length is the number of bytes readable there (bytes gathered).
// On 0, *pmt holds a new table (cleanPmtTable frees it); otherwise nothing is allocated.
int processPmtPrivateSection(const unsigned char* section, unsigned int length, unsigned int programNumber,
                             PmtTable** pmt);
// One element at bytes; *size := ES_info_length + 5. 1 when the 5-byte header or its
// descriptors do not fit in length (nothing allocated), 7 out of memory, else 0.
int createProgElement(const unsigned char* bytes, unsigned int* size, ProgElement** element, unsigned int length);
int insertProgElementIntoPMT(PmtTable* pmt, ProgElement* element);
// table_id 2 and the whole section (3 + section_length bytes, CRC included) within length.
bool validatePmtPrivateSection(const unsigned char* section, unsigned int length);
// what 1: stream_type, what 0: elementary_PID of the index-th element. 1 when missing.
int getPmtElementStreamParam(int what, PmtTable* pmt, int index, unsigned int* out);
// elementIndex < 0: program descriptors. 0 when found, else 1 with the query zeroed.
// Only descriptors that lie wholly inside their loop are returned.
int getElementaryPrivateDescPayload(PmtTable* pmt, int elementIndex, unsigned int descriptorIndex,
                                    PrivateDescPayload* query);
void cleanPmtTable(PmtTable** pmt);

// ---- a list of PMT records held by the module, one per program number
// Each operation takes the module's lock, so any thread may call them. The list reads
// only the records' own fields and elements, never their descriptor pointers, so it
// does not need the section bytes once a record is in it; records are never handed out.

// Empties the list (freeing its records); it is then not valid.
void initPmtList();
// Takes ownership of pmt (as processPmtPrivateSection made it); a record of the same
// program number is replaced and freed. 0, or 1 for null.
int insertPmtIntoList(PmtTable* pmt);
bool findPmtInList(unsigned int programNumber);
// True from the first insertion until the next init or clean-up.
bool isPmtListValid();

const int PMT_FIELD_PROGRAM_NUMBER = 0;
const int PMT_FIELD_VERSION_NUMBER = 1;
const int PMT_FIELD_PCR_PID = 2;
const int PMT_FIELD_PROGRAM_INFO_LENGTH = 3;
const int PMT_FIELD_CURRENT_NEXT_INDICATOR = 4;
const int PMT_FIELD_ELEMENT_COUNT = 5;
// One field of the record of programNumber: 0; 1 no such record; 2 a field it does not
// know, logged as "Parameter not implemented yet".
int getPmtListField(unsigned int programNumber, int field, unsigned int* value);
// Every record and its elements to the log.
void printPmtList();
// Frees every record; as initPmtList.
void cleanPmtList();

#endif
