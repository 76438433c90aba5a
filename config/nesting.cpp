#include "config/nesting.h"

#include <cctype>
#include <cstring>

namespace {

// The tokens the parser tells apart by their first characters; each is
// skipped as a whole so that a '<' inside it is not taken for markup.
class Scanner {
public:
    Scanner(const char *text, size_t length) : p(text), end(text + length) {}

    bool done() const { return p >= end; }
    bool startsWith(const char *prefix) const
    {
        const size_t n = std::strlen(prefix);
        return static_cast<size_t>(end - p) >= n && std::memcmp(p, prefix, n) == 0;
    }
    // Moves to the next '<', or to the end.
    void toMarkup()
    {
        const void *next = std::memchr(p, '<', end - p);
        p = next ? static_cast<const char *>(next) : end;
    }
    // Moves past the next `terminator`, or to the end.
    void past(const char *terminator)
    {
        const size_t n = std::strlen(terminator);
        for (; p < end; ++p) {
            if (static_cast<size_t>(end - p) >= n && std::memcmp(p, terminator, n) == 0) {
                p += n;
                return;
            }
        }
    }
    // Moves past an element's start tag; true when it closed itself ("/>").
    // Quoted attribute values may hold '>' and '<'.
    bool pastStartTag()
    {
        char quote = 0;
        for (; p < end; ++p) {
            const char c = *p;
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == '"' || c == '\'') {
                quote = c;
            } else if (c == '>') {
                const bool empty = p[-1] == '/';
                ++p;
                return empty;
            }
        }
        return true;
    }
    // An element starts with a letter, '_' or any byte above 126, as the
    // parser decides; anything else after '<' is skipped to the next '>'.
    bool atElement() const
    {
        if (end - p < 2)
            return false;
        const unsigned char c = static_cast<unsigned char>(p[1]);
        return c > 126 || std::isalpha(c) || c == '_';
    }

private:
    const char *p;
    const char *const end;
};

}  // namespace

bool nestingWithin(const char *text, size_t length, int maxDepth)
{
    Scanner scan(text, length);
    int depth = 0;  // open elements around the scan position
    for (;;) {
        scan.toMarkup();
        if (scan.done())
            return true;
        if (scan.startsWith("</")) {
            scan.past(">");
            if (depth > 0)
                --depth;
            continue;
        }
        // Markup inside an element: the element, its ancestors and the
        // document node count.
        if (depth > 0 && depth + 1 > maxDepth)
            return false;
        if (scan.startsWith("<!--")) {
            scan.past("-->");
        } else if (scan.startsWith("<![CDATA[")) {
            scan.past("]]>");
        } else if (scan.atElement()) {
            if (!scan.pastStartTag())
                ++depth;
        } else {
            scan.past(">");
        }
    }
}
