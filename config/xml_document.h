// An XML document with the file rules of the core's configuration files,
// around TinyXML's document model, parser and printer:
//
// - save() never overwrites the target in place: the text goes to the
//   sibling "<name>.pending", is flushed and synced to the device, and only
//   then renamed over the target (and the directory synced, so the rename
//   survives a power cut). A failure before the rename removes the pending
//   file and leaves the target as it was.
// - load() prefers a pending file that parses, completing an interrupted
//   save by moving it over the target; otherwise it reads the target.
// - Loads and saves of one file name are serialised within the process.
// - Parsing refuses documents nested deeper than maxParseDepth (100) with
//   error 17, before the recursive parser sees them.
//
// Error codes and texts are TinyXML's, plus code 2 with a text naming the
// failing step for a failed save, and code 17 for too deep a document.
// One document belongs to one thread at a time.
#pragma once

#include <tinyxml.h>

#include <string>

class XmlDocument {
public:
    static constexpr int kDefaultMaxParseDepth = 100;
    static constexpr int kErrorOpeningFile = TiXmlBase::TIXML_ERROR_OPENING_FILE;  // 2
    // Past the codes TinyXML itself uses.
    static constexpr int kErrorTooDeep = 17;
    static const char *const kTooDeepText;
    static const char *const kPendingSuffix;  // ".pending"

    XmlDocument() = default;
    XmlDocument(const XmlDocument &) = delete;
    XmlDocument &operator=(const XmlDocument &) = delete;

    // The document model, to build or read.
    TiXmlDocument &model() { return document; }
    const TiXmlDocument &model() const { return document; }
    TiXmlElement *root() { return document.RootElement(); }

    // Replaces the content with the parsed text. False on error.
    bool parse(const std::string &text);
    // Replaces the content with the file's, or its pending file's.
    bool load(const std::string &fileName);
    // Writes the document, indented, to `fileName` as described above. On
    // failure the error code is 2 and the text names the failing step.
    bool save(const std::string &fileName);

    // TinyXML's printer: four spaces per level and a line break after each
    // element; or compact, without either.
    std::string print() const;
    std::string printCompact() const;

    // The last load, parse or save error: 0 and "" when none.
    int errorId() const;
    std::string errorText() const;

private:
    void clear();
    bool loadOne(const std::string &fileName);
    bool parseText(const char *text, size_t length);
    void setError(int code, std::string text);
    bool writePending(const std::string &pendingName, const std::string &text);

    TiXmlDocument document;
    int depthLimit = kDefaultMaxParseDepth;
    // Errors TinyXML has no code or text for (a failed save, too deep a
    // document); they take the place of the document's own.
    int ownErrorId = 0;
    std::string ownErrorText;
};
