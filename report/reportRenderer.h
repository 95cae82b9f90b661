#ifndef KORBALT_REPORT_REPORTRENDERER_H
#define KORBALT_REPORT_REPORTRENDERER_H

#include <string>

// Output side of the report: nested named sections holding name/value lines,
// lines and sections carrying extra name/value attributes.
// Names may be rewritten in place by a renderer (the XML one makes them valid
// element names), so callers pass strings they no longer need.
class ReportRenderer {
public:
    virtual ~ReportRenderer() {}

    // false when the report file cannot be created; the reason has then been
    // written to stderr as one line naming the path.
    virtual bool createFile() = 0;
    virtual void openSection(std::string& name) = 0;
    virtual void addLine(std::string& name, std::string& value) = 0;
    virtual void addSectionAttributes(std::string& name, std::string& value) = 0;
    virtual void addLineAttributes(std::string& name, std::string& value) = 0;
    virtual void closeSection() = 0;
    // Steps out of the innermost section without writing its end where the
    // format writes one (text): what follows lies beside it, not inside it.
    virtual void leaveSection() = 0;
    // Finishes the file (the destructor does it too when not called). false when
    // the report could not be created or written; the reason is on stderr once.
    virtual bool closeFile() = 0;
};

#endif
