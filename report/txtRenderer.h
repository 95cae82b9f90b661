#ifndef KORBALT_REPORT_TXTRENDERER_H
#define KORBALT_REPORT_TXTRENDERER_H

#include "report/reportRenderer.h"

#include <deque>
#include <fstream>
#include <string>

// Plain text report, written and flushed as it goes. Every write starts with a
// line break, so the file begins with an empty line and ends without one.
class TxtRenderer : public ReportRenderer {
public:
    explicit TxtRenderer(const std::string& fileName);
    ~TxtRenderer() override;
    TxtRenderer(const TxtRenderer&) = delete;
    TxtRenderer& operator=(const TxtRenderer&) = delete;

    bool createFile() override;
    void openSection(std::string& name) override;
    void addLine(std::string& name, std::string& value) override;
    // Written like a line attribute, behind the current text (the heading line
    // when it follows openSection).
    void addSectionAttributes(std::string& name, std::string& value) override;
    void addLineAttributes(std::string& name, std::string& value) override;
    void closeSection() override;
    void leaveSection() override;
    bool closeFile() override;

private:
    void checkStream();
    void reportFailure(const char* what, int err);

    std::ofstream m_ReportFile;
    std::string m_sFileName;
    std::deque<std::string> m_OpenSections;
    bool m_bCreated;
    bool m_bClosed;
    bool m_bFailed;  // a failure was already reported on stderr
    int m_iWriteErrno;
};

#endif
