#ifndef KORBALT_ENGINE_SITABLEPROCESSOR_H
#define KORBALT_ENGINE_SITABLEPROCESSOR_H

#include "engine/mpeg2TransportStreamProcessor.h"

#include <cstdint>

// Gathers the PSI sections arriving on its PID and asks the derived class to build a
// table from each complete one. A section is handed on as soon as its last byte has
// arrived (section_length tells when); sections that would not fit the storage, or
// whose start was never seen, are dropped until the next section start.
class SiTableProcessor : public Mpeg2TransportStreamProcessor {
public:
    enum TableState {
        TABLE_NOTHING = 0,  // nothing gathered yet
        TABLE_FAILED = 1,   // the last attempt built no table
        TABLE_BUILT = 2     // the last attempt built the table
    };

    SiTableProcessor(MsgCallback* msgCallback, int pid);
    ~SiTableProcessor() override;

    // Gathering; always returns 1.
    int processOwnTransportPacket(unsigned char* packet, long long length) override;
    // Called with one complete section (table_id first); getGatheredLength() bytes of it
    // are valid, and they cover the whole section including its CRC_32.
    virtual bool populateTableFromPrivSect(unsigned char* section);

    int getTableState() const { return m_iTableState; }
    uint32_t getGatheredLength() const { return m_uiGatheredLength; }
    int getStorageCapacity() const { return m_iStorageCapacity; }
    uint64_t getSectionCount() const { return m_ullSections; }
    uint64_t getDroppedSectionCount() const { return m_ullDroppedSections; }

protected:
    void allocateRawStorage(int capacity);

    int m_iTableState;
    uint32_t m_uiGatheredLength;
    int m_iStorageCapacity;
    unsigned char* m_pucRawStorage;  // owned

private:
    // Appends section bytes; new sections may begin only where mayStart says so.
    void gather(const unsigned char* data, int length, bool mayStart);
    void dropSection();
    void completeSection();

    bool m_bInSection;        // a section start was seen and its end has not arrived
    uint32_t m_uiSectionSize; // 3 + section_length once known, else 0
    uint64_t m_ullSections;
    uint64_t m_ullDroppedSections;
};

#endif
