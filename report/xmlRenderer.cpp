#include "report/xmlRenderer.h"

#include <tinyxml.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

XmlRenderer::XmlRenderer(const std::string& fileName)
    : m_sFileName(fileName), m_pDocument(nullptr), m_bCreated(false), m_bSaved(false), m_bFailed(false)
{
}

XmlRenderer::~XmlRenderer()
{
    if (m_bCreated && !m_bSaved)
        closeFile();
    delete m_pDocument;  // frees every linked element
    m_pDocument = nullptr;
}

namespace {

bool isNameChar(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

bool isLetter(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Length of the well-formed UTF-8 sequence of an XML character at s, or 0.
size_t xmlCharLength(const unsigned char* s, size_t left)
{
    unsigned char c = s[0];
    if (c < 0x80)
        return (c >= 0x20 || c == '\t' || c == '\n' || c == '\r') ? 1 : 0;
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (left < n)
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (s[i] & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;  // overlong or out of range
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF)
        return 0;
    return n;
}

bool tinyXmlPassesReferences()
{
    std::string encoded;
    TiXmlBase::EncodeString("&#x41;", &encoded);
    return encoded == "&#x41;";
}

void reportFailure(bool& failed, const char* what, const std::string& path, int err)
{
    if (failed)
        return;
    failed = true;
    fprintf(stderr, "korbalt: %s the report file \"%s\": %s\n", what, path.c_str(),
            err ? strerror(err) : "unknown error");
}

}  // namespace

void XmlRenderer::makeXmlName(std::string& name)
{
    size_t out = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        unsigned char c = (unsigned char)name[i];
        if (c == ' ')
            continue;
        name[out++] = isNameChar(c) ? (char)c : '_';
    }
    name.resize(out);
    if (name.empty() || !(isLetter((unsigned char)name[0]) || name[0] == '_'))
        name.insert(name.begin(), '_');
}

std::string XmlRenderer::makeXmlValue(const std::string& value)
{
    static const bool passesReferences = tinyXmlPassesReferences();
    std::string out;
    out.reserve(value.size());
    const unsigned char* s = (const unsigned char*)value.data();
    size_t size = value.size();
    for (size_t i = 0; i < size;) {
        // Some TinyXML builds copy "&#x..." through as a character reference;
        // there give them the reference of '&' itself so the text reads back
        // unchanged.
        if (passesReferences && s[i] == '&' && i + 2 < size && s[i + 1] == '#' && s[i + 2] == 'x') {
            out += "&#x26;";
            ++i;
            continue;
        }
        size_t n = xmlCharLength(s + i, size - i);
        if (n == 0) {
            out += '?';
            ++i;
        } else {
            out.append((const char*)s + i, n);
            i += n;
        }
    }
    return out;
}

bool XmlRenderer::createFile()
{
    if (m_bCreated)
        return !m_bFailed;
    m_bCreated = true;
    m_pDocument = new TiXmlDocument(m_sFileName.c_str());
    m_pDocument->LinkEndChild(new TiXmlDeclaration("1.0", "UTF-8", ""));
    // The document is only written at the end; find a bad path now.
    int fd = open(m_sFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        reportFailure(m_bFailed, "cannot create", m_sFileName, errno);
        return false;
    }
    close(fd);
    return true;
}

void XmlRenderer::openSection(std::string& name)
{
    if (!m_pDocument || m_bSaved)
        return;
    makeXmlName(name);
    TiXmlElement* element = new TiXmlElement(name.c_str());
    TiXmlNode* parent = m_OpenSections.empty() ? (TiXmlNode*)m_pDocument : (TiXmlNode*)m_OpenSections.back();
    parent->LinkEndChild(element);
    m_OpenSections.push_back(element);
}

void XmlRenderer::addLine(std::string& name, std::string& value)
{
    if (!m_pDocument || m_bSaved)
        return;
    makeXmlName(name);
    TiXmlElement* element = new TiXmlElement(name.c_str());
    element->SetAttribute("value", makeXmlValue(value).c_str());
    TiXmlNode* parent = m_OpenSections.empty() ? (TiXmlNode*)m_pDocument : (TiXmlNode*)m_OpenSections.back();
    parent->LinkEndChild(element);
}

void XmlRenderer::addSectionAttributes(std::string& name, std::string& value)
{
    if (!m_pDocument || m_bSaved || m_OpenSections.empty())
        return;
    makeXmlName(name);
    m_OpenSections.back()->SetAttribute(name.c_str(), makeXmlValue(value).c_str());
}

void XmlRenderer::addLineAttributes(std::string& name, std::string& value)
{
    if (!m_pDocument || m_bSaved)
        return;
    TiXmlNode* parent = m_OpenSections.empty() ? (TiXmlNode*)m_pDocument : (TiXmlNode*)m_OpenSections.back();
    TiXmlNode* last = parent->LastChild();
    TiXmlElement* element = last ? last->ToElement() : nullptr;
    if (!element)
        return;
    makeXmlName(name);
    element->SetAttribute(name.c_str(), makeXmlValue(value).c_str());
}

void XmlRenderer::closeSection()
{
    if (!m_OpenSections.empty())
        m_OpenSections.pop_back();
}

void XmlRenderer::leaveSection()
{
    closeSection();  // an element needs no end of its own
}

bool XmlRenderer::save()
{
    errno = 0;
    FILE* fp = fopen(m_sFileName.c_str(), "w");
    if (!fp) {
        reportFailure(m_bFailed, "cannot write", m_sFileName, errno);
        return false;
    }
    bool ok = m_pDocument->SaveFile(fp);
    int err = errno;
    if (fclose(fp) != 0) {
        if (ok)
            err = errno;
        ok = false;
    }
    if (!ok)
        reportFailure(m_bFailed, "cannot write", m_sFileName, err ? err : EIO);
    return ok;
}

bool XmlRenderer::closeFile()
{
    if (m_bSaved)
        return m_bCreated && !m_bFailed;
    m_bSaved = true;
    if (!m_bCreated || !m_pDocument || m_bFailed)
        return false;
    return save();
}
