#include "report/txtRenderer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

TxtRenderer::TxtRenderer(const std::string& fileName)
    : m_sFileName(fileName), m_bCreated(false), m_bClosed(false), m_bFailed(false), m_iWriteErrno(0)
{
}

TxtRenderer::~TxtRenderer()
{
    if (m_bCreated && !m_bClosed)
        closeFile();
}

void TxtRenderer::reportFailure(const char* what, int err)
{
    if (m_bFailed)
        return;
    m_bFailed = true;
    fprintf(stderr, "korbalt: %s the report file \"%s\": %s\n", what, m_sFileName.c_str(),
            err ? strerror(err) : "unknown error");
}

bool TxtRenderer::createFile()
{
    if (m_bCreated)
        return !m_bFailed;
    m_bCreated = true;
    errno = 0;
    m_ReportFile.open(m_sFileName.c_str(), std::ios::out | std::ios::trunc);
    if (!m_ReportFile.is_open()) {
        reportFailure("cannot create", errno);
        return false;
    }
    return true;
}

// The first failed write is reported at once; later ones are dropped by the
// failed stream.
void TxtRenderer::checkStream()
{
    if (m_bCreated && !m_bFailed && m_ReportFile.fail()) {
        m_iWriteErrno = errno ? errno : EIO;
        reportFailure("cannot write", m_iWriteErrno);
    }
}

void TxtRenderer::openSection(std::string& name)
{
    if (!m_bCreated || m_bClosed)
        return;
    errno = 0;
    m_ReportFile << '\n';
    m_ReportFile.flush();
    m_ReportFile << "<<< " << name << " >>>";
    m_ReportFile.flush();
    m_OpenSections.push_back(name);
    checkStream();
}

void TxtRenderer::addLine(std::string& name, std::string& value)
{
    if (!m_bCreated || m_bClosed)
        return;
    errno = 0;
    m_ReportFile << '\n';
    m_ReportFile.flush();
    m_ReportFile << name << ':' << value;
    m_ReportFile.flush();
    checkStream();
}

void TxtRenderer::addSectionAttributes(std::string& name, std::string& value)
{
    addLineAttributes(name, value);
}

void TxtRenderer::addLineAttributes(std::string& name, std::string& value)
{
    if (!m_bCreated || m_bClosed)
        return;
    errno = 0;
    m_ReportFile << name << "=\"" << value << '"';
    checkStream();
}

void TxtRenderer::closeSection()
{
    if (!m_bCreated || m_bClosed || m_OpenSections.empty())
        return;
    errno = 0;
    m_ReportFile << '\n';
    m_ReportFile.flush();
    m_ReportFile << ">>> " << m_OpenSections.back() << " <<<";
    m_ReportFile.flush();
    m_OpenSections.pop_back();
    checkStream();
}

void TxtRenderer::leaveSection()
{
    if (!m_OpenSections.empty())
        m_OpenSections.pop_back();
}

bool TxtRenderer::closeFile()
{
    if (m_bClosed)
        return m_bCreated && !m_bFailed;
    m_bClosed = true;
    if (!m_bCreated)
        return false;
    if (!m_ReportFile.is_open())
        return false;  // creation failed and was reported
    errno = 0;
    m_ReportFile.flush();
    checkStream();
    m_ReportFile.close();
    if (m_ReportFile.fail() && !m_bFailed)
        reportFailure("cannot write", errno ? errno : EIO);
    return !m_bFailed;
}
