#ifndef KORBALT_REPORT_XMLRENDERER_H
#define KORBALT_REPORT_XMLRENDERER_H

#include "report/reportRenderer.h"

#include <deque>
#include <string>

class TiXmlDocument;
class TiXmlElement;

// XML report built in memory and saved when finished (closeFile or destruction).
class XmlRenderer : public ReportRenderer {
public:
    explicit XmlRenderer(const std::string& fileName);
    ~XmlRenderer() override;
    XmlRenderer(const XmlRenderer&) = delete;
    XmlRenderer& operator=(const XmlRenderer&) = delete;

    // Makes the document and checks that the file can be written, so that a bad
    // path shows at the start of the run and not after it.
    bool createFile() override;
    void openSection(std::string& name) override;
    void addLine(std::string& name, std::string& value) override;
    void addSectionAttributes(std::string& name, std::string& value) override;
    void addLineAttributes(std::string& name, std::string& value) override;
    void closeSection() override;
    void leaveSection() override;
    bool closeFile() override;

    // Turns name, in place, into a valid XML name: blanks removed, every
    // character but ASCII letters, digits, '_', '-' and '.' replaced by '_', and
    // a leading '_' when it does not begin with a letter or '_'.
    static void makeXmlName(std::string& name);
    // A value as TinyXML will write it so that it parses back to the same text:
    // characters XML cannot hold become '?', and "&#x" is protected from
    // the pass-through of character references in some TinyXML builds.
    static std::string makeXmlValue(const std::string& value);

private:
    bool save();

    std::string m_sFileName;
    TiXmlDocument* m_pDocument;
    std::deque<TiXmlElement*> m_OpenSections;
    bool m_bCreated;
    bool m_bSaved;
    bool m_bFailed;  // a failure was already reported on stderr
};

#endif
