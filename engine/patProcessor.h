#ifndef KORBALT_ENGINE_PATPROCESSOR_H
#define KORBALT_ENGINE_PATPROCESSOR_H

#include "engine/siTableProcessor.h"
#include "syntax/patTable.h"

#include <map>

// Builds the PAT from the first complete program association section on its PID, fires
// the PAT event once and keeps the table for the transport processor.
class PatProcessor : public SiTableProcessor {
public:
    static constexpr int RAW_STORAGE_SIZE = 1024;

    // The PAT record with its lookups. The event payload is this object as a PatTable*.
    class Pat : public PatTable {
    public:
        // Parses a complete section of length bytes; throws std::runtime_error when it
        // is not a PAT or does not fit.
        Pat(const unsigned char* section, unsigned int length);
        ~Pat();
        Pat(const Pat&) = delete;
        Pat& operator=(const Pat&) = delete;

        // program_number of the first entry with this PID; -1 when none.
        int getPidProg(int pid) const;
        // 1 when the program is listed, else 0.
        int isProgInPat(int program) const;
        // New map program_number -> PID; the caller deletes it.
        std::map<int, int>* getPatEntries() const;
    };

    PatProcessor(MsgCallback* msgCallback, int pid);
    ~PatProcessor() override;

    bool populateTableFromPrivSect(unsigned char* section) override;

    // Null until built.
    Pat* getPat() const { return m_pPat; }

private:
    Pat* m_pPat;  // owned
};

#endif
