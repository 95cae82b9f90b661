#ifndef KORBALT_REPORT_STREAMREPORT_H
#define KORBALT_REPORT_STREAMREPORT_H

#include <list>
#include <atomic>
#include <mutex>
#include <pthread.h>
#include <string>
#include <utility>

class ReportRenderer;
class Mpeg2TsReport;
class StreamMessage;
class StreamMessagePool;

enum RendererType { RENDERER_TXT = 0, RENDERER_XML = 1 };

// Consumer end of the message pipeline: takes ownership of every message,
// keeps the summary and the error and warning counts, writes the FLV sections
// at once and the whole transport stream report in closeReport.
//
// One internal mutex guards the renderer and the lists, so the driver's summary
// additions may run while the listener files messages.
class StreamReport {
public:
    // fileName is the whole report file name. When inputFileName names the same
    // file (same device and inode), ".txt" or ".xml" is appended so the input is
    // never overwritten (logged). Check isReportOk() afterwards: false when the
    // report file could not be created (the reason is already on stderr).
    StreamReport(const std::string& fileName, StreamMessagePool* pool, bool threaded, RendererType type,
                 const char* inputFileName = nullptr);
    ~StreamReport();
    StreamReport(const StreamReport&) = delete;
    StreamReport& operator=(const StreamReport&) = delete;

    void addToReport(const std::string& name);
    void addLineToReportSection(const std::string& name, const std::string& value);
    void saveReport();
    void addToReportSummary(const std::string& name, const std::string& value);
    // Takes ownership of a StreamMessage*. report is the report to file it in
    // (the listener passes the report itself; null means this one).
    void processMessage(void* message, StreamReport* report);
    static void* processMessagesQueue(void* report);
    // Writes the report and finishes the file. false when the report could not be
    // created or written (one line on stderr names the path and the reason):
    // the run must then fail. Runs once; a second call returns the first result.
    bool closeReport();

    bool isReportOk() const { return m_bReportOk; }
    const std::string& getReportFileName() const { return m_sReportFileName; }
    long long getErrorCount() const { return m_llErrorCount; }
    long long getWarningCount() const { return m_llWarningCount; }

    // The report name to use so that it is never the input file itself.
    static std::string reportNameAvoidingInput(const std::string& reportName, const char* inputFileName,
                                               RendererType type);

private:
    void fileMessage(StreamMessage* msg);
    void writeFlvSections(StreamMessage* msg);
    void writeSummarySections();

    pthread_t m_uliReportThread;
    std::atomic<bool> m_bRunning;
    bool m_bThreaded;
    bool m_bThreadStarted;
    ReportRenderer* m_pRenderer;
    Mpeg2TsReport* m_pMpeg2TsReport;
    StreamMessagePool* m_pMsgPool;
    std::list<StreamMessage*> m_SummaryMsgs;
    // 64-bit: a feed watched for weeks may pass two thousand million.
    long long m_llErrorCount;
    long long m_llWarningCount;
    std::list<std::pair<std::string, std::string>> m_ReportSummary;

    std::string m_sReportFileName;
    bool m_bReportOk;
    bool m_bClosed;
    int m_iFlvSectionsOpen;  // opened by the FLV messages, never closed
    std::mutex m_Mutex;
};

#endif
