#include "documents.h"

#include <cstdlib>
#include <set>
#include <utility>

namespace metrics {
namespace {

constexpr int64_t kCoreId = -2147483648LL;  // 0x80000000 as the documents print it

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads an optionally signed decimal integer at the start of `text` and moves
// past it. At most 18 digits, so it never overflows.
bool readInteger(std::string_view &text, int64_t &value)
{
    size_t at = 0;
    const bool negative = !text.empty() && text[0] == '-';
    at += negative;
    int64_t magnitude = 0;
    const size_t first = at;
    while (at < text.size() && isDigit(text[at]) && at - first < 18)
        magnitude = magnitude * 10 + (text[at++] - '0');
    if (at == first || (at < text.size() && isDigit(text[at])))
        return false;
    value = negative ? -magnitude : magnitude;
    text.remove_prefix(at);
    return true;
}

// The value of name="..." in `text`, found without parsing the document.
bool findIntegerAttribute(std::string_view text, std::string_view name, int64_t &value)
{
    for (size_t at = text.find(name); at != std::string_view::npos; at = text.find(name, at + 1)) {
        std::string_view rest = text.substr(at + name.size());
        const bool wholeName = at > 0 && (text[at - 1] == ' ' || text[at - 1] == '\t');
        if (wholeName && rest.size() > 2 && rest[0] == '=' && rest[1] == '"') {
            rest.remove_prefix(2);
            return readInteger(rest, value) && !rest.empty() && rest[0] == '"';
        }
    }
    return false;
}

// A count of the queue report: digits, perhaps grouped by thousands with
// commas ("1,234"); a comma not followed by a digit ends the number.
bool readCount(std::string_view &text, uint64_t &value)
{
    size_t at = 0;
    uint64_t number = 0;
    int digits = 0;
    while (at < text.size() && digits < 19) {
        if (isDigit(text[at])) {
            number = number * 10 + uint64_t(text[at++] - '0');
            ++digits;
        } else if (text[at] == ',' && digits > 0 && at + 1 < text.size() && isDigit(text[at + 1])) {
            ++at;
        } else {
            break;
        }
    }
    if (digits == 0 || (at < text.size() && isDigit(text[at])))
        return false;
    value = number;
    text.remove_prefix(at);
    return true;
}

bool skip(std::string_view &text, std::string_view literal)
{
    if (text.substr(0, literal.size()) != literal)
        return false;
    text.remove_prefix(literal.size());
    return true;
}

}  // namespace

bool parseMemoryState(std::string_view text, MemoryState &state)
{
    if (text.find("<Memory") == std::string_view::npos)
        return false;
    MemoryState read;
    if (!findIntegerAttribute(text, "Throttling", read.throttling) ||
        !findIntegerAttribute(text, "Time", read.time))
        return false;
    state = read;
    return true;
}

bool parseQueueReport(std::string_view text, QueueReport &report)
{
    // A log text's length counts its terminating NUL.
    while (!text.empty() && text.back() == '\0')
        text.remove_suffix(1);
    QueueReport read;
    const bool ok = skip(text, "core event queue size: ") && readCount(text, read.queueLength) &&
                    skip(text, ", throttledframes:[v:") && readCount(text, read.throttledVideo) &&
                    skip(text, " a:") && readCount(text, read.throttledAudio) &&
                    skip(text, "], events:") && readCount(text, read.events) &&
                    skip(text, ", refblks: ") && readCount(text, read.blocks) &&
                    skip(text, " (") && readCount(text, read.blockBytes) && skip(text, " bytes)") &&
                    text.empty();
    if (ok)
        report = read;
    return ok;
}

namespace {

// A start tag as the scanner hands it over: its name and its attributes, the
// values with their entity references replaced.
struct Tag {
    std::string_view name;
    std::vector<std::pair<std::string_view, std::string>> attributes;

    const std::string *find(std::string_view attribute) const
    {
        for (const auto &[key, value] : attributes)
            if (key == attribute)
                return &value;
        return nullptr;
    }
    std::string text(std::string_view attribute) const
    {
        const std::string *value = find(attribute);
        return value ? *value : std::string();
    }
    bool integer(std::string_view attribute, int64_t &out) const
    {
        const std::string *value = find(attribute);
        std::string_view rest = value ? std::string_view(*value) : std::string_view();
        return value && readInteger(rest, out) && rest.empty();
    }
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isNameChar(char c) { return !isSpace(c) && c != '=' && c != '/' && c != '>' && c != '<'; }

// The five predefined entities and character references below 128; anything
// else is kept as written.
std::string decode(std::string_view raw)
{
    static const std::pair<std::string_view, char> kEntities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t at = 0; at < raw.size();) {
        bool replaced = false;
        if (raw[at] == '&') {
            for (const auto &[entity, c] : kEntities)
                if (raw.substr(at, entity.size()) == entity) {
                    out += c;
                    at += entity.size();
                    replaced = true;
                    break;
                }
            const size_t end = raw.find(';', at);
            if (!replaced && raw.substr(at, 2) == "&#" && end != std::string_view::npos && end - at < 8) {
                const bool hex = raw.substr(at, 3) == "&#x";
                const std::string digits(raw.substr(at + (hex ? 3 : 2), end - at - (hex ? 3 : 2)));
                const unsigned long code = std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
                if (code > 0 && code < 128) {
                    out += char(code);
                    at = end + 1;
                    replaced = true;
                }
            }
        }
        if (!replaced)
            out += raw[at++];
    }
    return out;
}

// Reads the start tag at text[at] == '<' (not a comment, declaration or end
// tag) and moves `at` past its '>'. False for a malformed tag.
bool readStartTag(std::string_view text, size_t &at, Tag &tag)
{
    size_t i = at + 1;
    const size_t nameStart = i;
    while (i < text.size() && isNameChar(text[i]))
        ++i;
    if (i == nameStart)
        return false;
    tag.name = text.substr(nameStart, i - nameStart);
    tag.attributes.clear();
    for (;;) {
        while (i < text.size() && isSpace(text[i]))
            ++i;
        if (i < text.size() && text[i] == '>')
            break;
        if (text.substr(i, 2) == "/>") {
            ++i;
            break;
        }
        const size_t keyStart = i;
        while (i < text.size() && isNameChar(text[i]))
            ++i;
        const std::string_view key = text.substr(keyStart, i - keyStart);
        while (i < text.size() && isSpace(text[i]))
            ++i;
        if (key.empty() || i + 1 >= text.size() || text[i] != '=')
            return false;
        ++i;
        while (i < text.size() && isSpace(text[i]))
            ++i;
        if (i >= text.size() || (text[i] != '"' && text[i] != '\''))
            return false;
        const size_t close = text.find(text[i], i + 1);
        if (close == std::string_view::npos)
            return false;
        tag.attributes.emplace_back(key, decode(text.substr(i + 1, close - i - 1)));
        i = close + 1;
    }
    at = i + 1;
    return true;
}

// Calls visit(tag) for every start tag in document order; nesting is not
// followed (the status document's meaning is in its tag names and their
// order), so no depth of nesting costs stack. False for malformed text.
template <typename Visit>
bool scanStartTags(std::string_view text, Visit visit)
{
    static const std::pair<std::string_view, std::string_view> kSkipped[] = {
        {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}, {"<!", ">"}, {"</", ">"}};
    Tag tag;
    size_t at = text.find('<');
    while (at != std::string_view::npos) {
        bool skipped = false;
        for (const auto &[open, close] : kSkipped)
            if (text.substr(at, open.size()) == open) {
                const size_t end = text.find(close, at + open.size());
                if (end == std::string_view::npos)
                    return false;
                at = end + close.size();
                skipped = true;
                break;
            }
        if (!skipped) {
            if (!readStartTag(text, at, tag))
                return false;
            visit(tag);
        }
        at = text.find('<', at);
    }
    return true;
}

}  // namespace

bool parseStatusDocument(std::string_view text, StatusDocument &status)
{
    StatusDocument read;
    bool first = true, rootDelta = false, coreModule = false, inCoreModule = false;
    std::set<std::string> failedFiles;
    std::vector<PluginEntry> listed;
    const bool wellFormed = scanStartTags(text, [&](const Tag &tag) {
        int64_t id = 0, value = 0;
        if (first) {
            rootDelta = tag.integer("Delta", value) && value != 0;
            first = false;
        } else if (tag.name == "Memory") {
            if (tag.integer("Throttling", value))
                read.throttlingEnabled = value != 0;
        } else if (tag.name == "Module") {
            inCoreModule = tag.integer("ID", id) && id == kCoreId;
            if (inCoreModule) {
                coreModule = true;
                read.coreVersion = tag.text("Version");
            } else {
                read.failed.push_back({tag.text("Name"), tag.text("Version")});
                failedFiles.insert(tag.text("Name"));
            }
        } else if (tag.name == "Plugin" && inCoreModule && tag.integer("ID", id) && id != kCoreId) {
            PluginEntry entry;
            entry.id = id;
            entry.file = tag.text("Filename");
            tag.integer("LoadTimeMs", entry.loadTimeMs);
            tag.integer("OpenTimeMs", entry.openTimeMs);
            tag.integer("OpenCode", entry.openCode);
            tag.integer("LogLevel", entry.logLevel);
            listed.push_back(std::move(entry));
        } else if (tag.name == "Library" && inCoreModule) {
            read.parentFile = tag.text("Filename");
            read.parentVersion = tag.text("Version");
        } else if (tag.name == "Product") {
            read.product = tag.text("Family");
            if (tag.find("Version"))
                read.coreVersion = tag.text("Version");
        }
    });
    if (!wellFormed || first || rootDelta || !coreModule)
        return false;
    // The core lists a file it could not load twice: as a module of its own,
    // and as a plugin of the core's module numbered 1, 2, ... with open code 79.
    for (PluginEntry &entry : listed)
        if (!(entry.openCode == 79 && entry.id > 0 && entry.id < 0x10000 && failedFiles.count(entry.file)))
            read.plugins.push_back(std::move(entry));
    status = std::move(read);
    return true;
}

}  // namespace metrics
