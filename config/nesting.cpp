#include "config/nesting.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstring>
#include <string>

// The parser reads a C string: the copy ends at the first NUL, since a lead
// byte just before a NUL inside the text would carry the parser across it.
ParseText::ParseText(const char *text, size_t length)
    : bytes((length > 0 ? strnlen(text, length) : 0) + kPadding, '\0')
{
    if (bytes.size() > kPadding)
        std::memcpy(bytes.data(), text, bytes.size() - kPadding);
}

namespace {

// TinyXML's scanning primitives, which it keeps for its node classes.
struct Scan : TiXmlBase {
    using TiXmlBase::IsAlpha;
    using TiXmlBase::ReadName;
    using TiXmlBase::SkipWhiteSpace;
    using TiXmlBase::StringEqual;
};

// Walks a text the way TiXmlDocument::Parse does: the same encoding
// decisions, the same choice of node at every '<', and TinyXML's own parsers
// (run on throwaway nodes) for everything that does not nest. Only elements
// are followed here, and only down to the limit, so the walk's own recursion
// is bounded. A null position means the parser stops with an error there.
class DepthWalk {
public:
    explicit DepthWalk(int maxDepth) : maxDepth(maxDepth) {}

    bool within(const char *p);

private:
    enum class Kind { Declaration, Comment, Cdata, Unknown, Element };

    Kind identify(const char *p) const;
    const char *node(const char *p, int parentDepth);
    const char *element(const char *p, int depth);
    const char *content(const char *p, int depth);
    const char *skip(const char *p) const { return Scan::SkipWhiteSpace(p, encoding); }

    const int maxDepth;
    TiXmlEncoding encoding = TIXML_ENCODING_UNKNOWN;
    bool tooDeep = false;
};

bool DepthWalk::within(const char *p)
{
    if (!p || !*p)
        return true;
    const unsigned char *bom = reinterpret_cast<const unsigned char *>(p);
    if (bom[0] == 0xEF && bom[1] == 0xBB && bom[2] == 0xBF)
        encoding = TIXML_ENCODING_UTF8;
    p = skip(p);
    while (p && *p && !tooDeep) {
        const char *at = skip(p);
        if (!at || *at != '<')
            break;
        p = skip(node(p, 0));
    }
    return !tooDeep;
}

DepthWalk::Kind DepthWalk::identify(const char *p) const
{
    p = skip(p);
    if (Scan::StringEqual(p, "<?xml", true, encoding))
        return Kind::Declaration;
    if (Scan::StringEqual(p, "<!--", false, encoding))
        return Kind::Comment;
    if (Scan::StringEqual(p, "<![CDATA[", false, encoding))
        return Kind::Cdata;
    if (Scan::StringEqual(p, "<!", false, encoding))
        return Kind::Unknown;
    if (Scan::IsAlpha(static_cast<unsigned char>(p[1]), encoding) || p[1] == '_')
        return Kind::Element;
    return Kind::Unknown;
}

const char *DepthWalk::node(const char *p, int parentDepth)
{
    switch (identify(p)) {
    case Kind::Element:
        return element(p, parentDepth + 1);
    case Kind::Declaration: {
        TiXmlDeclaration declaration;
        p = declaration.Parse(p, nullptr, encoding);
        // The first declaration of the document decides the encoding.
        if (parentDepth == 0 && encoding == TIXML_ENCODING_UNKNOWN) {
            const char *name = declaration.Encoding();
            const bool utf8 = !*name || Scan::StringEqual(name, "UTF-8", true, TIXML_ENCODING_UNKNOWN) ||
                              Scan::StringEqual(name, "UTF8", true, TIXML_ENCODING_UNKNOWN);
            encoding = utf8 ? TIXML_ENCODING_UTF8 : TIXML_ENCODING_LEGACY;
        }
        return p;
    }
    case Kind::Comment: {
        TiXmlComment comment;
        return comment.Parse(p, nullptr, encoding);
    }
    case Kind::Cdata: {
        TiXmlText text("");
        text.SetCDATA(true);
        return text.Parse(p, nullptr, encoding);
    }
    case Kind::Unknown:
        break;
    }
    TiXmlUnknown unknown;
    return unknown.Parse(p, nullptr, encoding);
}

// TiXmlElement::Parse: the name, the attributes, then either "/>" or the
// content and the matching end tag.
const char *DepthWalk::element(const char *p, int depth)
{
    p = skip(p);
    if (!p || *p != '<')
        return nullptr;
    std::string name;
    p = Scan::ReadName(skip(p + 1), &name, encoding);
    if (!p || !*p)
        return nullptr;
    const std::string endTag = "</" + name;
    std::vector<std::string> attributes;
    for (;;) {
        p = skip(p);
        if (!p || !*p)
            return nullptr;
        if (*p == '/')
            return p[1] == '>' ? p + 2 : nullptr;
        if (*p == '>')
            break;
        TiXmlAttribute attribute;
        p = attribute.Parse(p, nullptr, encoding);
        if (!p || !*p)
            return nullptr;
        // The parser refuses an attribute given twice.
        if (std::find(attributes.begin(), attributes.end(), attribute.NameTStr()) != attributes.end())
            return nullptr;
        attributes.push_back(attribute.NameTStr());
    }
    p = content(p + 1, depth);
    if (!p || !*p || !Scan::StringEqual(p, endTag.c_str(), false, encoding))
        return nullptr;
    p = skip(p + endTag.size());
    return p && *p == '>' ? p + 1 : nullptr;
}

// TiXmlElement::ReadValue: text and child nodes up to the first "</".
const char *DepthWalk::content(const char *p, int depth)
{
    const char *withWhiteSpace = p;
    p = skip(p);
    while (p && *p) {
        if (*p != '<') {
            TiXmlText text("");
            p = text.Parse(TiXmlBase::IsWhiteSpaceCondensed() ? p : withWhiteSpace, nullptr, encoding);
        } else if (Scan::StringEqual(p, "</", false, encoding)) {
            return p;
        } else if (depth + 1 > maxDepth) {
            // Markup inside this element: it, its ancestors and the document.
            tooDeep = true;
            return nullptr;
        } else {
            p = node(p, depth);
        }
        withWhiteSpace = p;
        p = skip(p);
    }
    return p;
}

}  // namespace

bool nestingWithin(const ParseText &text, int maxDepth)
{
    return DepthWalk(maxDepth).within(text.c_str());
}
