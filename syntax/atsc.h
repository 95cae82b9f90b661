#ifndef KORBALT_SYNTAX_ATSC_H
#define KORBALT_SYNTAX_ATSC_H

// ATSC A/53 caption data: the cc_data header byte and the 3-byte cc_data constructs.

const int ATSC_DATA_HEADER_SIZE = 1;
const int ATSC_DATA_SIZE = 3;
const unsigned int ATSC_USER_IDENTIFIER = 0x47413934;  // "GA94"

struct AtscDataHeader {
    unsigned char process_em_data_flag;  // bit 7
    unsigned char process_cc_data_flag;  // bit 6
    unsigned char additional_data_flag;  // bit 5
    unsigned char cc_count;              // bits 4..0
};

struct AtscData {
    unsigned char marker_bits;  // bits 7..3 of byte 0
    unsigned char cc_valid;     // bit 2
    unsigned char cc_type;      // bits 1..0: 0, 1 EIA-608; 2, 3 EIA-708
    unsigned char cc_data_1;
    unsigned char cc_data_2;
};

// Zero the record; return 0 when filled, 1 when length is too short (record left zeroed).
int fillAtscDataHeader(const unsigned char* p, long length, AtscDataHeader* header);
int fillAtscData(const unsigned char* p, long length, AtscData* data);

// True when the identifier is "GA94" (0x47413934).
bool isATSC(const unsigned int* userIdentifier);

#endif
