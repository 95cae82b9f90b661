#ifndef KORBALT_REPORT_REPORTEDISSUE_H
#define KORBALT_REPORT_REPORTEDISSUE_H

#include <cstdint>
#include <memory>
#include <string>

class ReportRenderer;
class StreamMessage;

// An error or warning kind the transport stream report lists. Its messages are
// packet events: a "Pid" line with the attributes Packet, Type and Description.
// The description is remade from format and up to two numbers, so a new kind is
// one more row in the table (reportedIssue.cpp).
struct IssueKind {
    int callbackId;
    bool error;          // counted in TotalErrors, else in TotalWarnings
    const char* type;    // the Type text (the message's description)
    const char* format;  // the Description text: literal text and at most two %llu or %llx
};

// The kind of a callback id, or null when the id is not an error or warning kind.
const IssueKind* findIssueKind(int callbackId);

// One error or warning as the report keeps it until it is written: a few dozen
// bytes instead of the message with its five entries. A message that does not
// read back exactly (an unknown shape or text) is kept whole, so the report
// still prints what arrived.
class ReportedIssue {
public:
    ReportedIssue();
    ReportedIssue(ReportedIssue&&) = default;
    ReportedIssue& operator=(ReportedIssue&&) = default;
    ReportedIssue(const ReportedIssue& other);
    ReportedIssue& operator=(const ReportedIssue& other);
    ~ReportedIssue();

    // A record of msg filed under pid. When the record keeps the message whole it
    // takes it and msg becomes null; a compact record leaves msg to the caller.
    static ReportedIssue fromMessage(StreamMessage*& msg, int pid);

    int pid() const { return m_iPid; }
    // The message's lines as the pair walk prints them.
    void print(ReportRenderer* renderer) const;

private:
    uint64_t m_ullPacket;
    unsigned long long m_aValues[2];
    int32_t m_iPid;
    int16_t m_iKind;  // row of the kind table; -1 when m_pMessage holds the message
    std::unique_ptr<StreamMessage> m_pMessage;
};

#endif
