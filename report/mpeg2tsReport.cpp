#include "report/mpeg2tsReport.h"

#include "engine/msgCallback.h"
#include "platform/debugMap.h"
#include "report/reportRenderer.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
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

Mpeg2TsReport::Mpeg2TsReport()
    : m_pInfoMsgMap(new MsgMap), m_pErrorMsgMap(new MsgMap), m_pWarningMsgMap(new MsgMap), m_pErrorMsgs(nullptr),
      m_pWarningMsgs(nullptr)
{
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
    deleteMap(m_pInfoMsgMap);
    deleteMap(m_pWarningMsgMap);
    deleteMap(m_pErrorMsgMap);
    for (MsgList* copies : {m_pErrorMsgs, m_pWarningMsgs}) {
        if (!copies)
            continue;
        for (StreamMessage* msg : *copies)
            delete msg;
        delete copies;
    }
}

Mpeg2TsReport::MsgMap* Mpeg2TsReport::getMsgList(_MessageType type)
{
    switch ((unsigned)type) {
    case MSG_TYPE_INFO:
        return m_pInfoMsgMap;
    case MSG_TYPE_WARNING:
        return m_pWarningMsgMap;
    case MSG_TYPE_ERROR:
        return m_pErrorMsgMap;
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
    MsgMap* map = getMsgList(msg->getMsgType());
    MappedValueList* entries = entriesOf(msg);
    int pid = 0;
    bool found = false;
    if (map && entries) {
        MappedValueList::iterator it = findElementbyName("Pid", entries);
        found = it != entries->end() && readPid(it->m_sValue, pid);
    }
    if (!found) {
        delete msg;
        fileLog("Pid element is not found in the message map. Don't know what to do with the message\n");
        return;
    }

    MsgList*& pidList = (*map)[pid];
    if (!pidList)
        pidList = new MsgList;
    pidList->push_back(msg);

    if (msg->getMsgType() == MSG_TYPE_ERROR) {
        if (!m_pErrorMsgs)
            m_pErrorMsgs = new MsgList;
        m_pErrorMsgs->push_back(new StreamMessage(*msg));
    } else if (msg->getMsgType() == MSG_TYPE_WARNING) {
        if (!m_pWarningMsgs)
            m_pWarningMsgs = new MsgList;
        m_pWarningMsgs->push_back(new StreamMessage(*msg));
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

// Step 2 of the PAT and PMT sections: per type, the first transport bit rate
// (its entry only, then dropped), then the first remaining message.
void Mpeg2TsReport::printTableTypes(ReportRenderer* renderer, int pid, bool pmt)
{
    static const _MessageType types[] = {MSG_TYPE_INFO, MSG_TYPE_WARNING, MSG_TYPE_ERROR};
    for (_MessageType type : types) {
        MsgMap* map = getMsgList(type);
        MsgMap::iterator found = map->find(pid);
        if (found == map->end())
            continue;
        MsgList* pidList = found->second;
        std::string sub = type == MSG_TYPE_WARNING ? "Warnings" : "Errors";
        if (type != MSG_TYPE_INFO)
            renderer->openSection(sub);

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

        if (type != MSG_TYPE_INFO)
            renderer->closeSection();
    }
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
    static const _MessageType types[] = {MSG_TYPE_INFO, MSG_TYPE_WARNING, MSG_TYPE_ERROR};
    for (_MessageType type : types) {
        MsgMap* map = getMsgList(type);
        MsgMap::iterator pidList = map->find(streamPid);
        if (pidList == map->end())
            continue;
        std::string sub = type == MSG_TYPE_WARNING ? "Warnings" : "Errors";
        if (type != MSG_TYPE_INFO)
            renderer->openSection(sub);
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
        if (type != MSG_TYPE_INFO)
            renderer->closeSection();
    }
    renderer->closeSection();
    return true;
}

void Mpeg2TsReport::printStreamReport(ReportRenderer* renderer, _MessageType type)
{
    MsgList* copies;
    std::string section;
    if (type == MSG_TYPE_ERROR) {
        copies = m_pErrorMsgs;
        section = "Errors";
    } else if (type == MSG_TYPE_WARNING) {
        copies = m_pWarningMsgs;
        section = "Warnings";
    } else {
        return;
    }
    if (!copies)
        return;
    renderer->openSection(section);
    for (StreamMessage* msg : *copies)
        pairWalk(renderer, msg);
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
