#include "report/mpeg2tsReport.h"

#include "engine/msgCallback.h"
#include "engine/streamMessagePool.h"
#include "platform/debugMap.h"
#include "report/reportRenderer.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <typeinfo>
#include <vector>

namespace {

MappedValueList* entriesOf(StreamMessage* msg)
{
    if (!msg || msg->getPayloadType() != PAYLOAD_TYPE_MAPPED_LIST)
        return nullptr;
    return static_cast<MappedValueList*>(msg->getMsgData());
}

// The PID an entry holds, or false when its value is not a decimal number.
bool readPid(const std::string& text, int& pid)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    pid = (int)v;
    return true;
}

}  // namespace

static size_t s_ListedIssueLimit = Mpeg2TsReport::LISTED_ISSUE_LIMIT;

void Mpeg2TsReport::setListedIssueLimit(size_t limit)
{
    s_ListedIssueLimit = limit ? limit : LISTED_ISSUE_LIMIT;
}

size_t Mpeg2TsReport::listedIssueLimit()
{
    return s_ListedIssueLimit;
}

Mpeg2TsReport::Mpeg2TsReport() : m_pInfoMsgMap(new MsgMap), m_pPool(nullptr) {}

void Mpeg2TsReport::dispose(StreamMessage* msg)
{
    // Only plain messages: the callbacks' packet events are of no other class.
    // Handed over in batches, so that the pool's lock is rarely contended.
    if (!m_pPool || typeid(*msg) != typeid(StreamMessage)) {
        delete msg;
        return;
    }
    m_vDone.push_back(msg);
    if (m_vDone.size() >= 64)
        m_pPool->recycleMsgs(&m_vDone);
}

void Mpeg2TsReport::deleteMap(MsgMap* map)
{
    if (!map)
        return;
    for (auto& pidList : *map) {
        for (StreamMessage* msg : *pidList.second)
            delete msg;
        delete pidList.second;
    }
    delete map;
}

Mpeg2TsReport::~Mpeg2TsReport()
{
    for (StreamMessage* msg : m_vDone)
        delete msg;
    deleteMap(m_pInfoMsgMap);
}

Mpeg2TsReport::MsgMap* Mpeg2TsReport::getMsgList(_MessageType type)
{
    return (unsigned)type == MSG_TYPE_INFO ? m_pInfoMsgMap : nullptr;
}

Mpeg2TsReport::IssueList* Mpeg2TsReport::issuesOf(_MessageType type)
{
    switch ((unsigned)type) {
    case MSG_TYPE_WARNING:
        return &m_Warnings;
    case MSG_TYPE_ERROR:
        return &m_Errors;
    default:
        return nullptr;
    }
}

MappedValueList::iterator Mpeg2TsReport::findElementbyName(std::string name, MappedValueList* list)
{
    MappedValueList::iterator it = list->begin();
    for (; it != list->end(); ++it)
        if (it->m_sName == name)
            break;
    return it;
}

void Mpeg2TsReport::addMessage(void* message)
{
    StreamMessage* msg = static_cast<StreamMessage*>(message);
    if (!msg)
        return;
    const _MessageType type = msg->getMsgType();
    MsgMap* map = getMsgList(type);
    IssueList* issues = issuesOf(type);
    MappedValueList* entries = entriesOf(msg);
    int pid = 0;
    bool found = false;
    if ((map || issues) && entries) {
        MappedValueList::iterator it = findElementbyName("Pid", entries);
        found = it != entries->end() && readPid(it->m_sValue, pid);
    }
    if (!found) {
        delete msg;
        fileLog("Pid element is not found in the message map. Don't know what to do with the message\n");
        return;
    }

    if (map) {
        MsgList*& pidList = (*map)[pid];
        if (!pidList)
            pidList = new MsgList;
        pidList->push_back(msg);
        return;
    }

    // Past the limit only the counts grow; the message goes at once.
    ++issues->found;
    PidIssues& ofPid = issues->byPid[pid];
    const bool first = ofPid.found++ == 0;
    if (!first && issues->listed.size() >= s_ListedIssueLimit) {
        dispose(msg);
        return;
    }
    ReportedIssue issue = ReportedIssue::fromMessage(msg, pid);
    if (msg)
        dispose(msg);
    if (first)
        ofPid.first = issue;
    if (issues->listed.size() < s_ListedIssueLimit) {
        ++ofPid.listed;
        issues->listed.push_back(std::move(issue));
        if (issues->listed.size() == s_ListedIssueLimit && m_pPool)
            m_pPool->summarize(type);
    }
}

void Mpeg2TsReport::addCountedEvents()
{
    if (!m_pPool)
        return;
    for (_MessageType type : {MSG_TYPE_WARNING, MSG_TYPE_ERROR}) {
        IssueList* issues = issuesOf(type);
        for (int pid = 0; pid < StreamMessagePool::COUNTED_PIDS; ++pid) {
            uint64_t counted = m_pPool->countedOfPid(type, pid);
            if (counted == 0)
                continue;
            issues->found += counted;
            issues->byPid[pid].found += counted;
        }
    }
}

void Mpeg2TsReport::printEntry(ReportRenderer* renderer, const callbackMappedValue& entry)
{
    // The renderer may rewrite names in place, so it gets copies.
    std::string name = entry.m_sName;
    std::string value = entry.m_sValue;
    renderer->addLine(name, value);
    if (!entry.m_pChildren)
        return;
    for (const callbackMappedValue& child : *entry.m_pChildren) {
        std::string childName = child.m_sName;
        std::string childValue = child.m_sValue;
        renderer->addLineAttributes(childName, childValue);
    }
}

// Entries 2, 4, 6 ... (each "Pid" partner is skipped); an unpaired last entry is
// not printed.
void Mpeg2TsReport::pairWalk(ReportRenderer* renderer, StreamMessage* msg)
{
    MappedValueList* entries = entriesOf(msg);
    if (!entries)
        return;
    size_t position = 0;
    for (const callbackMappedValue& entry : *entries) {
        if (position++ % 2 == 1)
            printEntry(renderer, entry);
    }
}

void Mpeg2TsReport::pmtWalk(ReportRenderer* renderer, StreamMessage* msg)
{
    MappedValueList* entries = entriesOf(msg);
    if (!entries)
        return;
    // Only sections opened here are closed here, whatever the list holds.
    int depth = 0;
    size_t position = 0;
    for (const callbackMappedValue& entry : *entries) {
        if (position++ % 2 == 0)
            continue;
        const std::string& name = entry.m_sName;
        if (name == "Outer Descriptor Loop Start" || name == "Inner Descriptor Loop Start" ||
            name == "Elements Start" || name == "Stream Start") {
            std::string section = entry.m_sValue;
            renderer->openSection(section);
            ++depth;
        } else if (name == "Outer Descriptor Loop End" || name == "Inner Descriptor Loop End" ||
                   name == "Elements End" || name == "Stream End") {
            if (depth > 0) {
                renderer->closeSection();
                --depth;
            }
        } else {
            printEntry(renderer, entry);
        }
    }
    while (depth-- > 0)
        renderer->closeSection();
}

void Mpeg2TsReport::printNotListed(ReportRenderer* renderer, uint64_t count)
{
    std::string name = "Not Listed";
    std::string value = std::to_string(count);
    renderer->addLine(name, value);
}

// The warnings or errors of one PID inside their sub-section: only its first
// one, or all of it that is listed and then how many more were found.
void Mpeg2TsReport::printIssuesOfPid(ReportRenderer* renderer, _MessageType type, int pid, bool firstOnly)
{
    IssueList* issues = issuesOf(type);
    std::map<int, PidIssues>::const_iterator ofPid = issues->byPid.find(pid);
    if (ofPid == issues->byPid.end())
        return;
    std::string sub = type == MSG_TYPE_WARNING ? "Warnings" : "Errors";
    renderer->openSection(sub);
    if (firstOnly) {
        ofPid->second.first.print(renderer);
    } else {
        uint64_t left = ofPid->second.listed;
        for (size_t i = 0; left > 0 && i < issues->listed.size(); ++i) {
            if (issues->listed[i].pid() != pid)
                continue;
            issues->listed[i].print(renderer);
            --left;
        }
        if (ofPid->second.found > ofPid->second.listed)
            printNotListed(renderer, ofPid->second.found - ofPid->second.listed);
    }
    renderer->closeSection();
}

// Step 2 of the PAT and PMT sections: the info messages' first transport bit
// rate (its entry only, then dropped) and first remaining message, then the
// first warning and the first error of the PID.
void Mpeg2TsReport::printTableTypes(ReportRenderer* renderer, int pid, bool pmt)
{
    MsgMap::iterator found = m_pInfoMsgMap->find(pid);
    if (found != m_pInfoMsgMap->end()) {
        MsgList* pidList = found->second;
        for (MsgList::iterator it = pidList->begin(); it != pidList->end(); ++it) {
            if ((*it)->getCallbackId() != CB_MPEG2TS_TRANSP_BITRATE)
                continue;
            MappedValueList* entries = entriesOf(*it);
            if (entries && entries->size() >= 2)
                printEntry(renderer, *std::next(entries->begin()));
            delete *it;
            pidList->erase(it);
            break;
        }
        if (!pidList->empty()) {
            if (pmt)
                pmtWalk(renderer, pidList->front());
            else
                pairWalk(renderer, pidList->front());
        }
    }
    printIssuesOfPid(renderer, MSG_TYPE_WARNING, pid, true);
    printIssuesOfPid(renderer, MSG_TYPE_ERROR, pid, true);
}

void Mpeg2TsReport::printPatSection(ReportRenderer* renderer)
{
    std::string section = "PAT Table";
    renderer->openSection(section);
    printTableTypes(renderer, 0, false);
    renderer->closeSection();
}

void Mpeg2TsReport::printPmtSection(ReportRenderer* renderer)
{
    int pmtPid = -1;
    for (auto& pidList : *m_pInfoMsgMap) {
        for (StreamMessage* msg : *pidList.second) {
            if (msg->getCallbackId() == CB_MPEG2TS_PMT) {
                pmtPid = pidList.first;
                break;
            }
        }
        if (pmtPid >= 0)
            break;
    }
    if (pmtPid < 0)
        return;
    std::string section = "PMT Table";
    renderer->openSection(section);
    printTableTypes(renderer, pmtPid, true);
    renderer->closeSection();
}

void Mpeg2TsReport::printClosedCaptions(ReportRenderer* renderer, StreamMessage* msg)
{
    MappedValueList* entries = entriesOf(msg);
    if (!entries || entries->size() < 2)
        return;
    std::vector<const callbackMappedValue*> all;
    for (const callbackMappedValue& entry : *entries)
        all.push_back(&entry);
    std::string section = all[1]->m_sName;
    std::string attrName = "value";
    std::string attrValue = all[1]->m_sValue;
    renderer->openSection(section);
    renderer->addSectionAttributes(attrName, attrValue);
    for (size_t i = 3; i < all.size(); i += 2) {
        std::string name = all[i]->m_sName;
        std::string value = all[i]->m_sValue;
        renderer->addLine(name, value);
    }
    renderer->closeSection();
}

bool Mpeg2TsReport::printStreamReport(ReportRenderer* renderer, std::string& kind)
{
    int streamPid = 0;
    bool found = false;
    for (auto& pidList : *m_pInfoMsgMap) {
        for (StreamMessage* msg : *pidList.second) {
            if (msg->getCallbackId() != CB_MPEG2TS_STREAM_TYPE)
                continue;
            MappedValueList* entries = entriesOf(msg);
            if (!entries)
                continue;
            MappedValueList::iterator type = findElementbyName("Stream Type", entries);
            if (type != entries->end() && type->m_sValue == kind) {
                streamPid = pidList.first;
                found = true;
                break;
            }
        }
        if (found)
            break;
    }
    if (!found)
        return false;

    std::string section = kind + " Stream";
    renderer->openSection(section);
    MsgMap::iterator pidList = m_pInfoMsgMap->find(streamPid);
    if (pidList != m_pInfoMsgMap->end()) {
        MsgList* msgs = pidList->second;
        while (!msgs->empty()) {
            StreamMessage* msg = msgs->front();
            msgs->pop_front();
            if (msg->getCallbackId() == CB_MPEG2TS_CC)
                printClosedCaptions(renderer, msg);
            else
                pairWalk(renderer, msg);
            delete msg;
        }
    }
    printIssuesOfPid(renderer, MSG_TYPE_WARNING, streamPid, false);
    printIssuesOfPid(renderer, MSG_TYPE_ERROR, streamPid, false);
    renderer->closeSection();
    return true;
}

void Mpeg2TsReport::printStreamReport(ReportRenderer* renderer, _MessageType type)
{
    IssueList* issues = issuesOf(type);
    if (!issues || issues->found == 0)
        return;
    std::string section = type == MSG_TYPE_WARNING ? "Warnings" : "Errors";
    renderer->openSection(section);
    for (const ReportedIssue& issue : issues->listed)
        issue.print(renderer);
    if (issues->found > issues->listed.size())
        printNotListed(renderer, issues->found - issues->listed.size());
    renderer->closeSection();
}

void Mpeg2TsReport::printReportToFile(ReportRenderer* renderer)
{
    std::string section = "System Information";
    renderer->openSection(section);
    printPatSection(renderer);
    printPmtSection(renderer);
    renderer->closeSection();

    std::string video = "Video";
    while (printStreamReport(renderer, video))
        video = "Video";
    std::string audio = "Audio";
    while (printStreamReport(renderer, audio))
        audio = "Audio";

    printStreamReport(renderer, MSG_TYPE_ERROR);
    printStreamReport(renderer, MSG_TYPE_WARNING);
}
