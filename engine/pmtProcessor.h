#ifndef KORBALT_ENGINE_PMTPROCESSOR_H
#define KORBALT_ENGINE_PMTPROCESSOR_H

#include "engine/siTableProcessor.h"
#include "syntax/pmtTable.h"

// Builds the PMT of one program from the first complete section of that program on its
// PID, fires the PMT event once and keeps the table for the transport processor.
class PmtProcessor : public SiTableProcessor {
public:
    static constexpr int RAW_STORAGE_SIZE = 1024;

    struct PmtElement {
        int stream_type;
        int elementary_PID;
    };

    struct PmtDescriptor {
        int tag;
        int length;
        unsigned char payload[256];  // the first length bytes are valid
    };

    // The parsed PMT. It keeps its own copy of the section, so the table's descriptor
    // pointers stay valid for as long as the table lives, whatever arrives on the PID.
    class Pmt {
    public:
        // Throws std::runtime_error when the section is not a PMT of this program or
        // does not parse.
        Pmt(const unsigned char* section, unsigned int length, int pid, int program);
        ~Pmt();
        Pmt(const Pmt&) = delete;
        Pmt& operator=(const Pmt&) = delete;

        // New array with one entry per element in PMT order (count in *count when
        // given); null when the PMT has no element. The caller delete[]s it.
        PmtElement* getPmtElementsList(int* count = nullptr) const;
        // New array of the descriptors of the first element with this PID (count in
        // *count when given); null when no element has that PID or it has none.
        PmtDescriptor* getPmtElementDescriptorList(int pid, int* count = nullptr) const;
        // Registration descriptor (tag 5, length 4) with format identifier "BSSD".
        static bool isPcmAudioDescriptor(const PmtDescriptor* descriptor);

        PmtTable* getTable() const { return m_pTable; }
        int getElementCount() const;

    private:
        PmtTable* m_pTable;                  // owned
        unsigned char m_aucSection[1024];    // what m_pTable points into
    };

    PmtProcessor(MsgCallback* msgCallback, int pid, int program);
    ~PmtProcessor() override;

    bool populateTableFromPrivSect(unsigned char* section) override;

    // Null until built.
    Pmt* getPmt() const { return m_pPmt; }
    uint32_t getProgramNumber() const { return m_uiProgramNumber; }

private:
    uint32_t m_uiProgramNumber;
    Pmt* m_pPmt;  // owned
};

#endif
