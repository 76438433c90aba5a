// What the core does before TinyXML parses a text: TinyXML parses
// recursively, so an unbounded nesting depth would be an unbounded stack, and
// in UTF-8 mode it reads a lead byte's whole sequence without looking for the
// terminating NUL, so it may step up to three bytes past the end of the text.
#pragma once

#include <cstddef>
#include <vector>

// A copy of a text for the parser, up to its first NUL, followed by enough
// NUL bytes that the parser's steps past the terminating NUL stay inside the
// copy.
class ParseText {
public:
    static constexpr size_t kPadding = 8;

    ParseText(const char *text, size_t length);
    const char *c_str() const { return bytes.data(); }

private:
    std::vector<char> bytes;
};

// False when the parser would meet markup deeper than `maxDepth`. The depth
// of a child is counted as the element it is in, that element's ancestors
// and the document itself; with the root element at depth 1, elements down
// to depth `maxDepth` pass, and any element, comment, CDATA section or other
// markup inside one at depth `maxDepth` fails. End tags and text are not
// counted. The check takes the parser's own path through the text (its
// encoding, its tokens, where it gives up), so the two cannot disagree about
// what is markup; where the parser would stop with an error, the check stops
// too and passes.
bool nestingWithin(const ParseText &text, int maxDepth);
