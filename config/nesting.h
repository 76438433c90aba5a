// The nesting check that runs before a document is parsed: TinyXML parses
// recursively, so an unbounded nesting depth would be an unbounded stack.
#pragma once

#include <cstddef>

// False when some markup inside an element sits deeper than `maxDepth`.
// The depth of a child is counted as the element it is in, that element's
// ancestors and the document itself; with the root element at depth 1,
// elements down to depth `maxDepth` pass, and any element, comment, CDATA
// section or other markup inside one at depth `maxDepth` fails. End tags and
// text are not counted. Malformed text that the parser will refuse anyway
// passes this check; it never reads past `text + length`.
bool nestingWithin(const char *text, size_t length, int maxDepth);
