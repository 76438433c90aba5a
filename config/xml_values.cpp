#include "config/xml_values.h"

#include "log/log_levels.h"

std::optional<int> intAttribute(const TiXmlElement &element, const char *name)
{
    int value = 0;
    if (element.QueryIntAttribute(name, &value) != TIXML_SUCCESS)
        return std::nullopt;
    return value;
}

std::optional<uint32_t> configurableIndex(int id)
{
    const uint32_t bits = static_cast<uint32_t>(id);
    if (bits < 0x40000u || (bits & 0x0F000000u) != 0)
        return std::nullopt;
    const uint32_t index = LogLevelTable::indexOf(bits);
    if (index >= static_cast<uint32_t>(LogLevelTable::kSize))
        return std::nullopt;
    return index;
}

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

bool continuation(unsigned char byte)
{
    return (byte & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at `at`, or 0. The second byte's
// range excludes overlong forms, surrogates and code points past U+10FFFF.
size_t sequenceLength(const unsigned char *at, size_t left)
{
    const unsigned char lead = at[0];
    if (lead < 0x80)
        return 1;
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    }
    if (length == 0 || left < length || at[1] < low || at[1] > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (!continuation(at[i]))
            return 0;
    return length;
}

// Characters XML 1.0 does not allow, not even as references.
bool forbidden(const unsigned char *at, size_t length)
{
    if (length == 1)
        return at[0] < 0x20 && at[0] != '\t' && at[0] != '\n' && at[0] != '\r';
    return length == 3 && at[0] == 0xEF && at[1] == 0xBF && (at[2] == 0xBE || at[2] == 0xBF);
}

}  // namespace

std::string xmlText(const std::string &text)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    const size_t size = text.size();
    std::string repaired;
    size_t copied = 0;  // bytes of `text` already in `repaired`
    for (size_t at = 0; at < size;) {
        const size_t length = sequenceLength(bytes + at, size - at);
        if (length > 0 && !forbidden(bytes + at, length)) {
            at += length;
            continue;
        }
        // A forbidden character goes whole; a broken sequence a byte at a time.
        repaired.append(text, copied, at - copied);
        repaired += kReplacement;
        at += length > 0 ? length : 1;
        copied = at;
    }
    if (copied == 0)
        return text;
    repaired.append(text, copied, std::string::npos);
    return repaired;
}

void setTextAttribute(TiXmlElement &element, const char *name, const std::string &value)
{
    element.SetAttribute(name, xmlText(value));
}
