// Any bytes as a document: the depth check and TinyXML agree on every piece
// of markup, so TinyXML never recurses past the limit and a document within
// it is never refused. Checked at the core's limit and at small limits
// chosen by the input, against TinyXML's own tree (which keeps every node it
// began to parse, also after an error).
#include <tinyxml.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "config/nesting.h"
#include "config/xml_document.h"
#include "fuzz_check.h"

namespace {

// The deepest node other than plain text under `node`, the root element
// being at depth 1.
int markupDepth(const TiXmlNode &node, int depth)
{
    int deepest = 0;
    for (const TiXmlNode *child = node.FirstChild(); child; child = child->NextSibling()) {
        const TiXmlText *text = child->ToText();
        if (!text || text->CDATA())
            deepest = std::max(deepest, depth + 1);
        deepest = std::max(deepest, markupDepth(*child, depth + 1));
    }
    return deepest;
}

// Parsing without the check recurses once per '<' at most: safe for texts
// with few of them.
bool safeToParseUnchecked(const char *text, size_t size)
{
    return std::count(text, text + size, '<') < 2000;
}

void checkAgreement(const ParseText &padded, bool uncheckedIsSafe, int limit)
{
    const bool within = nestingWithin(padded, limit);
    if (!within && !uncheckedIsSafe)
        return;
    TiXmlDocument document;
    document.Parse(padded.c_str(), nullptr, TIXML_DEFAULT_ENCODING);
    fuzzCheck(within == (markupDepth(document, 0) <= limit),
              "the depth check and the parser agree about the deepest markup");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const int smallLimit = 1 + data[0] % 12;
    const char *text = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;
    const ParseText padded(text, length);
    const bool safe = safeToParseUnchecked(text, length);
    checkAgreement(padded, safe, smallLimit);
    checkAgreement(padded, safe, XmlDocument::kDefaultMaxParseDepth);

    // The document class itself: refused as too deep exactly when the check
    // says so, and then holding nothing.
    XmlDocument document;
    document.parse(std::string(text, length));
    const bool tooDeep = document.errorId() == XmlDocument::kErrorTooDeep;
    fuzzCheck(tooDeep != nestingWithin(padded, XmlDocument::kDefaultMaxParseDepth),
              "a document is refused as too deep exactly when the check says so");
    fuzzCheck(!tooDeep || !document.root(), "a document refused as too deep holds nothing");
    return 0;
}
