#ifndef KORBALT_REPORT_MPEG2TSREPORT_H
#define KORBALT_REPORT_MPEG2TSREPORT_H

#include "callbacks/callbackMappedValue.h"
#include "engine/streamMessage.h"

#include <list>
#include <map>
#include <string>

class ReportRenderer;

// Files the transport stream messages by type and PID and writes the "Media"
// part of the report: PAT and PMT, one section per video and audio stream, then
// every error and every warning.
class Mpeg2TsReport {
public:
    typedef std::list<StreamMessage*> MsgList;
    typedef std::map<int, MsgList*> MsgMap;

    Mpeg2TsReport();
    ~Mpeg2TsReport();
    Mpeg2TsReport(const Mpeg2TsReport&) = delete;
    Mpeg2TsReport& operator=(const Mpeg2TsReport&) = delete;

    // 0 info, 1 warning, 2 error; null for any other type.
    MsgMap* getMsgList(_MessageType type);
    // Takes ownership of a StreamMessage*. A message without a "Pid" entry is
    // deleted and logged.
    void addMessage(void* message);
    MappedValueList::iterator findElementbyName(std::string name, MappedValueList* list);

    void printReportToFile(ReportRenderer* renderer);
    void printPatSection(ReportRenderer* renderer);
    void printPmtSection(ReportRenderer* renderer);
    // One "<kind> Stream" section; false when no stream of that kind is left.
    bool printStreamReport(ReportRenderer* renderer, std::string& kind);
    // The "Errors" (2) or "Warnings" (1) section.
    void printStreamReport(ReportRenderer* renderer, _MessageType type);

private:
    void printTableTypes(ReportRenderer* renderer, int pid, bool pmt);
    static void pairWalk(ReportRenderer* renderer, StreamMessage* msg);
    static void pmtWalk(ReportRenderer* renderer, StreamMessage* msg);
    static void printEntry(ReportRenderer* renderer, const callbackMappedValue& entry);
    static void printClosedCaptions(ReportRenderer* renderer, StreamMessage* msg);
    static void deleteMap(MsgMap* map);

    MsgMap* m_pInfoMsgMap;
    MsgMap* m_pErrorMsgMap;
    MsgMap* m_pWarningMsgMap;
    MsgList* m_pErrorMsgs;
    MsgList* m_pWarningMsgs;
};

#endif
