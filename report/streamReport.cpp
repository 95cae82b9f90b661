#include "report/streamReport.h"

#include "callbacks/callbackMappedValue.h"
#include "engine/msgCallback.h"
#include "engine/streamMessage.h"
#include "engine/streamMessagePool.h"
#include "platform/debugMap.h"
#include "platform/posixThreads.h"
#include "report/mpeg2tsReport.h"
#include "report/reportedIssue.h"
#include "report/txtRenderer.h"
#include "report/xmlRenderer.h"

#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool sameFile(const std::string& a, const char* b)
{
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b, &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::string twoDigits(uint32_t v)
{
    std::ostringstream s;
    if (v <= 9)
        s << '0';
    s << v;
    return s.str();
}

}  // namespace

std::string StreamReport::reportNameAvoidingInput(const std::string& reportName, const char* inputFileName,
                                                  RendererType type)
{
    std::string name = reportName;
    if (!inputFileName || !*inputFileName)
        return name;
    const char* extension = type == RENDERER_XML ? ".xml" : ".txt";
    // A hard link could make the new name the input again, so keep going.
    for (int i = 0; i < 8 && sameFile(name, inputFileName); ++i)
        name += extension;
    return name;
}

StreamReport::StreamReport(const std::string& fileName, StreamMessagePool* pool, bool threaded, RendererType type,
                           const char* inputFileName)
    : m_uliReportThread(), m_bRunning(true), m_bThreaded(threaded), m_bThreadStarted(false), m_pRenderer(nullptr),
      m_pMpeg2TsReport(nullptr), m_pMsgPool(pool), m_llErrorCount(0), m_llWarningCount(0), m_bReportOk(false),
      m_bClosed(false), m_iFlvSectionsOpen(0)
{
    m_sReportFileName = reportNameAvoidingInput(fileName, inputFileName, type);
    if (m_sReportFileName != fileName)
        fileLog("Report file %s is the input file; writing the report to %s\n", fileName.c_str(),
                m_sReportFileName.c_str());

    if (type == RENDERER_TXT)
        m_pRenderer = new TxtRenderer(m_sReportFileName);
    else if (type == RENDERER_XML)
        m_pRenderer = new XmlRenderer(m_sReportFileName);
    else
        fprintf(stderr, "korbalt: unknown report type %d for the report file \"%s\"\n", (int)type,
                m_sReportFileName.c_str());
    if (m_pRenderer)
        m_bReportOk = m_pRenderer->createFile();

    if (m_bThreaded && m_pMsgPool) {
        m_bThreadStarted = createPosixThread(&m_uliReportThread, &StreamReport::processMessagesQueue, this) == 0;
        if (!m_bThreadStarted)
            fileLog("StreamReport: could not start the report thread\n");
    }
}

StreamReport::~StreamReport()
{
    if (m_bThreadStarted) {
        m_bRunning = false;
        joinPosixThread(m_uliReportThread, nullptr);
        m_bThreadStarted = false;
    }
    // Without closeReport the renderer and the transport stream report are
    // still here; nothing is written, but nothing leaks either.
    delete m_pMpeg2TsReport;
    m_pMpeg2TsReport = nullptr;
    delete m_pRenderer;
    m_pRenderer = nullptr;
    for (StreamMessage* msg : m_SummaryMsgs)
        delete msg;
    m_SummaryMsgs.clear();
    m_ReportSummary.clear();
}

void StreamReport::addToReport(const std::string& name)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_pRenderer)
        return;
    std::string section = name;
    m_pRenderer->openSection(section);
}

void StreamReport::addLineToReportSection(const std::string& name, const std::string& value)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_pRenderer)
        return;
    std::string n = name;
    std::string v = value;
    m_pRenderer->addLine(n, v);
}

void StreamReport::saveReport() {}

void StreamReport::addToReportSummary(const std::string& name, const std::string& value)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_ReportSummary.emplace_back(name, value);
}

void StreamReport::writeFlvSections(StreamMessage* msg)
{
    if (!m_pRenderer)
        return;
    std::string section = msg->getMsgDesc();
    m_pRenderer->openSection(section);
    ++m_iFlvSectionsOpen;
    if (msg->getPayloadType() != PAYLOAD_TYPE_MAPPED_LIST || !msg->getMsgData())
        return;
    for (const callbackMappedValue& entry : *static_cast<MappedValueList*>(msg->getMsgData())) {
        std::string name = "---" + entry.m_sName + ":" + entry.m_sValue;
        m_pRenderer->openSection(name);
        ++m_iFlvSectionsOpen;
    }
}

void StreamReport::fileMessage(StreamMessage* msg)
{
    // Compared unsigned: anything but info, warning and error is dropped.
    if ((unsigned)msg->getMsgType() > (unsigned)MSG_TYPE_ERROR) {
        delete msg;
        return;
    }
    int id = msg->getCallbackId();
    switch (id) {
    case CB_TRANSPORT_TYPE:
    case CB_MPEG2TS_DURATION:
    case CB_MPEG2TS_MUX_BITRATE:
        m_SummaryMsgs.push_back(msg);
        return;
    case CB_FLV_HEADER:
    case CB_FLV_AUDIO_DATA:
    case CB_FLV_VIDEO_DATA:
        writeFlvSections(msg);
        delete msg;
        return;
    default:
        break;
    }
    const IssueKind* issue = findIssueKind(id);
    const bool transport =
        id >= CB_MPEG2TS_PAT && id <= CB_MPEG2TS_RESERVED_BITS_ERROR && id != CB_MPEG2TS_PCR_BITRATE_DATA_POINT;
    if (issue || transport) {
        if (issue && issue->error)
            ++m_llErrorCount;
        else if (issue)
            ++m_llWarningCount;
        if (!m_pMpeg2TsReport) {
            m_pMpeg2TsReport = new Mpeg2TsReport;
            m_pMpeg2TsReport->setPool(m_pMsgPool);
        }
        m_pMpeg2TsReport->addMessage(msg);
        return;
    }
    // 57, 62 and above but the issue kinds, and ids out of range: not reported.
    delete msg;
}

void StreamReport::processMessage(void* message, StreamReport* report)
{
    StreamMessage* msg = static_cast<StreamMessage*>(message);
    if (!msg)
        return;
    if (report && report != this) {
        report->processMessage(message, report);
        return;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_bClosed) {
        delete msg;  // too late for the report
        return;
    }
    fileMessage(msg);
}

void* StreamReport::processMessagesQueue(void* report)
{
    StreamReport* self = static_cast<StreamReport*>(report);
    for (;;) {
        while (StreamMessage* msg = self->m_pMsgPool->getUnprocessedMsg())
            self->processMessage(msg, self);
        if (!self->m_bRunning)
            break;
        sleep(1);
    }
    return nullptr;
}

void StreamReport::writeSummarySections()
{
    std::string section = "Report Summary";
    m_pRenderer->openSection(section);
    for (const auto& pair : m_ReportSummary) {
        std::string name = pair.first;
        std::string value = pair.second;
        m_pRenderer->addLine(name, value);
    }
    m_pRenderer->closeSection();

    section = "Media Summary";
    m_pRenderer->openSection(section);
    for (StreamMessage* msg : m_SummaryMsgs) {
        switch (msg->getCallbackId()) {
        case CB_MPEG2TS_DURATION: {
            _PayloadType kind = msg->getPayloadType();
            const uint32_t* words = static_cast<const uint32_t*>(msg->getMsgData());
            if ((kind == PAYLOAD_TYPE_INT32_ARRAY || kind == PAYLOAD_TYPE_4BYTE_ARRAY) && msg->getMsgCount() >= 4 &&
                words && words[3] != 0) {
                std::string name = msg->getMsgDesc();
                std::string value = twoDigits(words[0]) + ":" + twoDigits(words[1]) + ":" + twoDigits(words[2]);
                m_pRenderer->addLine(name, value);
            }
            break;
        }
        case CB_MPEG2TS_MUX_BITRATE:
            if (msg->getPayloadType() == PAYLOAD_TYPE_MAPPED_LIST && msg->getMsgData()) {
                for (const callbackMappedValue& entry : *static_cast<MappedValueList*>(msg->getMsgData())) {
                    std::string name = entry.m_sName;
                    std::string value = entry.m_sValue;
                    m_pRenderer->addLine(name, value);
                    if (!entry.m_pChildren)
                        continue;
                    for (const callbackMappedValue& child : *entry.m_pChildren) {
                        std::string childName = child.m_sName;
                        std::string childValue = child.m_sValue;
                        m_pRenderer->addLineAttributes(childName, childValue);
                    }
                }
            }
            break;
        case CB_TRANSPORT_TYPE: {
            std::string name = "Media Container";
            std::string value = msg->getMsgDesc();
            m_pRenderer->addLine(name, value);
            break;
        }
        default:
            break;
        }
        delete msg;
    }
    m_SummaryMsgs.clear();

    std::string name = "TotalErrors";
    std::string value = std::to_string(m_llErrorCount);
    m_pRenderer->addLine(name, value);
    name = "TotalWarnings";
    value = std::to_string(m_llWarningCount);
    m_pRenderer->addLine(name, value);
    m_pRenderer->closeSection();
}

bool StreamReport::closeReport()
{
    if (m_bThreadStarted) {
        m_bRunning = false;
        joinPosixThread(m_uliReportThread, nullptr);
        m_bThreadStarted = false;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_bClosed)
        return m_bReportOk;
    m_bClosed = true;

    if (m_pMpeg2TsReport && m_pMsgPool) {
        // The events the callbacks only counted once the lists were full.
        m_pMpeg2TsReport->addCountedEvents();
        for (int id = 0; id < StreamMessagePool::COUNTED_IDS; ++id) {
            const IssueKind* issue = findIssueKind(id);
            if (issue)
                (issue->error ? m_llErrorCount : m_llWarningCount) += (long long)m_pMsgPool->countedOfId(id);
        }
    }
    if (m_pRenderer) {
        // Every run has its summaries (file, times, container), whatever was found in it.
        // They go beside the FLV sections, where a transport stream report has them.
        for (; m_iFlvSectionsOpen > 0; --m_iFlvSectionsOpen)
            m_pRenderer->leaveSection();
        writeSummarySections();
    }
    if (m_pMpeg2TsReport && m_pRenderer) {
        std::string section = "Media";
        m_pRenderer->openSection(section);
        m_pMpeg2TsReport->printReportToFile(m_pRenderer);
        m_pRenderer->closeSection();
    }
    delete m_pMpeg2TsReport;
    m_pMpeg2TsReport = nullptr;
    for (StreamMessage* msg : m_SummaryMsgs)
        delete msg;
    m_SummaryMsgs.clear();

    if (m_pRenderer) {
        if (!m_pRenderer->closeFile())
            m_bReportOk = false;
        delete m_pRenderer;
        m_pRenderer = nullptr;
    } else {
        m_bReportOk = false;
    }
    return m_bReportOk;
}
