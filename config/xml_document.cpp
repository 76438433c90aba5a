#include "config/xml_document.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "config/file_name_locks.h"
#include "config/nesting.h"

const char *const XmlDocument::kTooDeepText =
    "Elements nested too deeply (exceeds the configured maximum parse depth).";
const char *const XmlDocument::kPendingSuffix = ".pending";

namespace {

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

std::string errnoText(const char *step, int error)
{
    return std::string(step) + std::to_string(error) + " - " + std::strerror(error);
}

// What the parser reads of a file: up to the first NUL, with CR LF and lone
// CR turned into LF, as TinyXML's own file load does.
void normaliseLineEnds(std::string &text)
{
    const size_t nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    size_t out = 0;
    for (size_t in = 0; in < text.size(); ++in) {
        if (text[in] == '\r') {
            text[out++] = '\n';
            if (in + 1 < text.size() && text[in + 1] == '\n')
                ++in;
        } else {
            text[out++] = text[in];
        }
    }
    text.resize(out);
}

// Syncs the directory holding `fileName`, so a rename in it is on the device.
void syncDirectoryOf(const std::string &fileName)
{
    const size_t slash = fileName.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "." : slash == 0 ? "/" : fileName.substr(0, slash);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

int XmlDocument::errorId() const
{
    return ownErrorId ? ownErrorId : document.Error() ? document.ErrorId() : 0;
}

std::string XmlDocument::errorText() const
{
    return ownErrorId ? ownErrorText : document.Error() ? document.ErrorDesc() : "";
}

void XmlDocument::clear()
{
    document.Clear();
    document.ClearError();
    ownErrorId = 0;
    ownErrorText.clear();
}

void XmlDocument::setError(int code, std::string text)
{
    ownErrorId = code;
    ownErrorText = std::move(text);
}

bool XmlDocument::parse(const std::string &text)
{
    // The parser stops at a NUL byte; so does the nesting check.
    return parseText(text.c_str(), std::strlen(text.c_str()));
}

bool XmlDocument::parseText(const char *text, size_t length)
{
    // TinyXML's parse appends to what the document holds, and its error
    // state keeps the first error it was given: start both afresh.
    clear();
    const ParseText padded(text, length);
    if (!nestingWithin(padded, depthLimit)) {
        setError(kErrorTooDeep, kTooDeepText);
        return false;
    }
    document.Parse(padded.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    return !document.Error();
}

// TinyXML's file load: read the whole file in binary mode, then parse.
bool XmlDocument::loadOne(const std::string &fileName)
{
    clear();
    File file(std::fopen(fileName.c_str(), "rb"));
    if (!file) {
        document.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    std::string text;
    char chunk[16384];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        text.append(chunk, got);
    if (std::ferror(file.get())) {
        document.SetError(TiXmlBase::TIXML_ERROR_OPENING_FILE, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    if (text.empty()) {
        document.SetError(TiXmlBase::TIXML_ERROR_DOCUMENT_EMPTY, nullptr, nullptr, TIXML_ENCODING_UNKNOWN);
        return false;
    }
    normaliseLineEnds(text);
    return parseText(text.c_str(), text.size());
}

bool XmlDocument::load(const std::string &fileName)
{
    FileNameLock lock(FileNameLocks::process(), fileName);
    const std::string pendingName = fileName + kPendingSuffix;
    // The parser accepts the first bytes of any document ("<?xml ?>") as a
    // document without a root element; a pending file cut short there is no
    // save to complete, and must not replace a good target.
    if (loadOne(pendingName) && document.RootElement()) {
        // An interrupted save that got as far as a complete file: finish it.
        // Whether the rename succeeds or not, the content is the pending one.
        if (std::rename(pendingName.c_str(), fileName.c_str()) == 0)
            syncDirectoryOf(fileName);
        return true;
    }
    return loadOne(fileName);
}

std::string XmlDocument::print() const
{
    TiXmlPrinter printer;
    document.Accept(&printer);
    return printer.Str();
}

std::string XmlDocument::printCompact() const
{
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    document.Accept(&printer);
    return printer.Str();
}

// Writes `text` to the pending file and syncs it; on failure sets the error
// and removes the pending file.
bool XmlDocument::writePending(const std::string &pendingName, const std::string &text)
{
    std::string message;
    size_t written = 0;
    FILE *file = std::fopen(pendingName.c_str(), "wb");
    if (!file) {
        message = errnoText("create error ", errno);
    } else {
        written = std::fwrite(text.data(), 1, text.size(), file);
        if (std::ferror(file))
            message = errnoText("write error ", errno);
        // A failed flush or sync means the bytes may not be on the device:
        // the save must fail, or a power cut could leave an empty target.
        if (message.empty() && std::fflush(file) != 0)
            message = errnoText("write error ", errno);
        if (message.empty() && ::fsync(fileno(file)) != 0)
            message = errnoText("sync error ", errno);
        if (std::fclose(file) != 0 && message.empty())
            message = errnoText("close error ", errno);
    }
    if (message.empty() && written != text.size())
        message = "only wrote " + std::to_string(written) + " of " + std::to_string(text.size()) +
                  " bytes";
    if (message.empty())
        return true;
    ::unlink(pendingName.c_str());
    setError(kErrorOpeningFile, message);
    return false;
}

bool XmlDocument::save(const std::string &fileName)
{
    const std::string text = print();
    ownErrorId = 0;
    ownErrorText.clear();
    FileNameLock lock(FileNameLocks::process(), fileName);
    const std::string pendingName = fileName + kPendingSuffix;
    if (!writePending(pendingName, text))
        return false;
    if (std::rename(pendingName.c_str(), fileName.c_str()) != 0) {
        // The pending file is complete: it stays, and the next load adopts
        // it. A pending file already gone was adopted by a load in another
        // process, which completed this save.
        if (errno != ENOENT) {
            setError(kErrorOpeningFile,
                     errnoText("Failed to rename .xml.pending to .xml file ", errno));
            return false;
        }
        return true;
    }
    syncDirectoryOf(fileName);
    return true;
}
