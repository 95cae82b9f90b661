#ifndef KORBALT_REPORT_MPEG2TSREPORT_H
#define KORBALT_REPORT_MPEG2TSREPORT_H

#include "callbacks/callbackMappedValue.h"
#include "engine/streamMessage.h"
#include "report/reportedIssue.h"

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

class ReportRenderer;
class StreamMessagePool;

// Files the transport stream messages by type and PID and writes the "Media"
// part of the report: PAT and PMT, one section per video and audio stream, then
// the errors and the warnings.
//
// Errors and warnings are kept as ReportedIssue records, the first
// LISTED_ISSUE_LIMIT of each type in arrival order; later ones are only counted
// and show as a "Not Listed" line, so memory stays bounded however damaged the
// stream is.
class Mpeg2TsReport {
public:
    typedef std::list<StreamMessage*> MsgList;
    typedef std::map<int, MsgList*> MsgMap;

    static constexpr size_t LISTED_ISSUE_LIMIT = 10000;

    Mpeg2TsReport();
    ~Mpeg2TsReport();
    Mpeg2TsReport(const Mpeg2TsReport&) = delete;
    Mpeg2TsReport& operator=(const Mpeg2TsReport&) = delete;

    // The pool the messages came through: the messages of errors and warnings go
    // back to it once filed, to be filled again by the callbacks, and once a list
    // is full the callbacks only count there (StreamMessagePool::summarize).
    // Without a pool (the default) they are deleted and nothing is counted there.
    void setPool(StreamMessagePool* pool) { m_pPool = pool; }
    // Adds what the callbacks only counted to the lists' counts; run once, after
    // the decoding thread has finished, before the report is printed.
    void addCountedEvents();

    // The info messages by PID (type 0); null for any other type, whose messages
    // are kept as records.
    MsgMap* getMsgList(_MessageType type);
    // Takes ownership of a StreamMessage*. A message without a "Pid" entry is
    // deleted and logged; a warning or error becomes a record at once.
    void addMessage(void* message);
    MappedValueList::iterator findElementbyName(std::string name, MappedValueList* list);

    void printReportToFile(ReportRenderer* renderer);
    void printPatSection(ReportRenderer* renderer);
    void printPmtSection(ReportRenderer* renderer);
    // One "<kind> Stream" section; false when no stream of that kind is left.
    bool printStreamReport(ReportRenderer* renderer, std::string& kind);
    // The "Errors" (2) or "Warnings" (1) section.
    void printStreamReport(ReportRenderer* renderer, _MessageType type);

    // Entries 2, 4, 6 ... of a message with their attributes.
    static void pairWalk(ReportRenderer* renderer, StreamMessage* msg);

    // How many errors or warnings each report lists in full; 0 restores
    // LISTED_ISSUE_LIMIT. For tests, which cannot afford ten thousand of them.
    static void setListedIssueLimit(size_t limit);
    static size_t listedIssueLimit();

private:
    // The warnings or the errors: those listed, in arrival order, and per PID
    // its first one (the PAT and PMT sections show it, listed or not) and counts.
    struct PidIssues {
        uint64_t found = 0;
        uint64_t listed = 0;
        ReportedIssue first;
    };
    struct IssueList {
        std::vector<ReportedIssue> listed;
        uint64_t found = 0;
        std::map<int, PidIssues> byPid;
    };

    IssueList* issuesOf(_MessageType type);
    void dispose(StreamMessage* msg);
    void printIssuesOfPid(ReportRenderer* renderer, _MessageType type, int pid, bool firstOnly);
    static void printNotListed(ReportRenderer* renderer, uint64_t count);
    void printTableTypes(ReportRenderer* renderer, int pid, bool pmt);
    static void pmtWalk(ReportRenderer* renderer, StreamMessage* msg);
    static void printEntry(ReportRenderer* renderer, const callbackMappedValue& entry);
    static void printClosedCaptions(ReportRenderer* renderer, StreamMessage* msg);
    static void deleteMap(MsgMap* map);

    MsgMap* m_pInfoMsgMap;
    StreamMessagePool* m_pPool;
    std::vector<StreamMessage*> m_vDone;  // on their way back to the pool
    IssueList m_Warnings;
    IssueList m_Errors;
};

#endif
