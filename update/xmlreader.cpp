// The configuration file's pull reader: scanning one item at a time, pairing tags, resolving
// references; see xmlreader.h for the grammar it accepts.
#include "update/xmlreader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// Character classes by table: one look-up per byte where the scanner walks names and blanks.
enum : uint8_t { kBlankClass = 1, kNameEndClass = 2, kNameStartClass = 4 };
constexpr std::array<uint8_t, 256> kClasses = [] {
    std::array<uint8_t, 256> t{};
    for (const unsigned char c : std::string_view(" \t\r\n"))
        t[c] = kBlankClass | kNameEndClass;
    for (const unsigned char c : std::string_view("/>="))
        t[c] = kNameEndClass;
    for (int c = 0; c < 256; ++c)
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' || c >= 0x80)
            t[static_cast<size_t>(c)] = kNameStartClass;
    return t;
}();

bool Is(char c, uint8_t cls) {
    return (kClasses[static_cast<unsigned char>(c)] & cls) != 0;
}
bool IsBlankChar(char c) {
    return Is(c, kBlankClass);
}
bool IsNameStart(char c) {
    return Is(c, kNameStartClass);
}
// Ends a tag or attribute name.
bool EndsName(char c) {
    return Is(c, kNameEndClass);
}

// The reference at raw[0] (an "&"): its code point and length, or nullopt when it is none of the
// references the reader resolves (the "&" then stands for itself).
struct Reference {
    uint32_t code;
    size_t length;
};
std::optional<Reference> ReadReference(std::string_view raw) {
    if (raw.size() < 4)
        return std::nullopt;
    if (raw[1] != '#') {
        static constexpr std::pair<std::string_view, char> kNamed[] = {
            {"lt;", '<'}, {"gt;", '>'}, {"amp;", '&'}, {"apos;", '\''}, {"quot;", '"'}};
        for (const auto& [name, c] : kNamed)
            if (name[0] == raw[1] && raw.substr(1, name.size()) == name) // the first letter before a compare
                return Reference{static_cast<unsigned char>(c), name.size() + 1};
        return std::nullopt;
    }
    const bool hex = raw[2] == 'x';
    size_t i = hex ? 3 : 2;
    const size_t digitsBegin = i;
    uint32_t code = 0;
    for (; i < raw.size(); ++i) {
        const char c = raw[i];
        uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint32_t>(c - '0');
        else if (hex && c >= 'a' && c <= 'f')
            digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (hex && c >= 'A' && c <= 'F')
            digit = static_cast<uint32_t>(c - 'A' + 10);
        else
            break;
        code = std::min<uint32_t>(code * (hex ? 16u : 10u) + digit, 0x110000u); // saturates past the range
    }
    if (i == digitsBegin || i >= raw.size() || raw[i] != ';')
        return std::nullopt;
    if (code == 0 || code >= 0x110000u || (code >= 0xD800u && code <= 0xDFFFu))
        return std::nullopt;
    return Reference{code, i + 1};
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Whether a raw text (references unresolved) stands for blank characters only.
bool IsBlankRaw(std::string_view raw) {
    for (size_t i = 0; i < raw.size();) {
        if (raw[i] == '&') {
            const std::optional<Reference> ref = ReadReference(raw.substr(i));
            if (!ref || ref->code > 0x7F || !IsBlankChar(static_cast<char>(ref->code)))
                return false;
            i += ref->length;
        } else if (IsBlankChar(raw[i])) {
            ++i;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

std::string ResolveXmlReferences(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (size_t i = 0; i < raw.size();) {
        const size_t amp = raw.find('&', i);
        if (amp == std::string_view::npos) {
            out.append(raw.substr(i));
            break;
        }
        out.append(raw.substr(i, amp - i));
        const std::optional<Reference> ref = ReadReference(raw.substr(amp));
        if (ref) {
            AppendUtf8(out, ref->code);
            i = amp + ref->length;
        } else {
            out += '&';
            i = amp + 1;
        }
    }
    return out;
}

bool IsXmlBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(), IsBlankChar);
}

XmlReader::XmlReader(std::string_view source) : text(source.substr(0, source.find('\0'))) {
    open.reserve(8); // a configuration nests two or three levels, with few attributes per tag
    currentAttrs.reserve(4);
    consumedAttrs.reserve(4);
    Scan();
}

bool XmlReader::Fail(const char* reason, size_t at) {
    at = std::min(at, text.size());
    XmlError e;
    e.Reason = reason;
    e.Offset = at;
    size_t lineStart = 0; // counted with memchr: errors often stand at the end of a long text
    while (lineStart < at) {
        const void* newline = std::memchr(text.data() + lineStart, '\n', at - lineStart);
        if (!newline)
            break;
        ++e.Line;
        lineStart = static_cast<size_t>(static_cast<const char*>(newline) - text.data()) + 1;
    }
    e.Column = at - lineStart + 1;
    error = std::move(e);
    current = Token{};
    current.kind = Item::Error;
    current.begin = current.end = at;
    currentAttrs.clear();
    return false;
}

// Moves to the item that begins at pos.
void XmlReader::Scan() {
    currentAttrs.clear();
    if (error)
        return;
    if (rootSeen && open.empty()) { // the root's end tag was read: nothing after it is
        current = Token{};
        current.begin = current.end = pos;
        return;
    }
    const size_t n = text.size();
    if (pos >= n) {
        Fail(rootSeen ? "unexpected end of text" : "no start tag", n);
        return;
    }
    if (text[pos] == '<' && pos + 1 < n) {
        const char c = text[pos + 1];
        if (c == '/') {
            ScanEndTag(pos);
            return;
        }
        if (c == '?') {
            ScanDelimited(pos, "<?", "?>", Item::ProcessingInstruction,
                          "unterminated processing instruction");
            return;
        }
        if (c == '!') {
            if (text.substr(pos).starts_with("<!--"))
                ScanDelimited(pos, "<!--", "-->", Item::Comment, "unterminated comment");
            else if (text.substr(pos).starts_with("<![CDATA["))
                ScanDelimited(pos, "<![CDATA[", "]]>", Item::Cdata, "unterminated CDATA section");
            else
                ScanDeclaration(pos);
            return;
        }
        if (IsNameStart(c)) {
            ScanStartTag(pos);
            return;
        }
    }
    // Text up to the next "<" that begins markup; a lone "<" stands for itself.
    size_t end = pos + 1;
    for (;;) {
        end = text.find('<', end);
        if (end == std::string_view::npos || end + 1 >= n) {
            end = n;
            break;
        }
        const char c = text[end + 1];
        if (c == '/' || c == '?' || c == '!' || IsNameStart(c))
            break;
        ++end;
    }
    current = Token{};
    current.kind = Item::Text;
    current.begin = pos;
    current.end = end;
    current.body = text.substr(pos, end - pos);
}

bool XmlReader::ScanDelimited(size_t at, std::string_view openMark, std::string_view closeMark, Item kind,
                              const char* reason) {
    const size_t close = text.find(closeMark, at + openMark.size());
    if (close == std::string_view::npos)
        return Fail(reason, at);
    current = Token{};
    current.kind = kind;
    current.begin = at;
    current.end = close + closeMark.size();
    current.body = text.substr(at + openMark.size(), close - at - openMark.size());
    return true;
}

// <!...>, a document type possibly with an internal subset in brackets; quoted strings and, in the
// subset, comments may hold any character.
bool XmlReader::ScanDeclaration(size_t at) {
    const size_t n = text.size();
    int depth = 0;
    size_t j = at + 2;
    while (j < n) {
        const char c = text[j];
        if (c == '"' || c == '\'') {
            const size_t close = text.find(c, j + 1);
            if (close == std::string_view::npos)
                break;
            j = close + 1;
            continue;
        }
        if (depth > 0 && c == '<' && text.substr(j).starts_with("<!--")) {
            const size_t close = text.find("-->", j + 4);
            if (close == std::string_view::npos)
                break;
            j = close + 3;
            continue;
        }
        if (c == '[') {
            ++depth;
        } else if (c == ']') {
            depth = std::max(depth - 1, 0);
        } else if (c == '>' && depth == 0) {
            current = Token{};
            current.kind = Item::Declaration;
            current.begin = at;
            current.end = j + 1;
            return true;
        }
        ++j;
    }
    return Fail("unterminated declaration", at);
}

bool XmlReader::ScanEndTag(size_t at) {
    const size_t close = text.find('>', at + 2);
    if (close == std::string_view::npos)
        return Fail("unterminated end tag", at);
    size_t j = at + 2;
    while (j < close && !IsBlankChar(text[j]))
        ++j;
    const std::string_view name = text.substr(at + 2, j - at - 2);
    while (j < close && IsBlankChar(text[j]))
        ++j;
    // Before the root a stray end tag is passed over whatever it holds.
    if ((j != close || name.empty()) && rootSeen)
        return Fail("malformed end tag", at);
    current = Token{};
    current.kind = Item::EndTag;
    current.begin = at;
    current.end = close + 1;
    current.name = name;
    return true;
}

bool XmlReader::ScanStartTag(size_t at) {
    const size_t n = text.size();
    size_t j = at + 1;
    while (j < n && !EndsName(text[j]))
        ++j;
    Token t;
    t.kind = Item::StartTag;
    t.begin = at;
    t.name = text.substr(at + 1, j - at - 1);
    for (;;) {
        while (j < n && IsBlankChar(text[j]))
            ++j;
        if (j >= n)
            return Fail("unterminated tag", at);
        if (text[j] == '>') {
            ++j;
            break;
        }
        if (text[j] == '/') {
            if (j + 1 >= n)
                return Fail("unterminated tag", at);
            if (text[j + 1] != '>')
                return Fail("malformed tag", j);
            t.selfClosing = true;
            j += 2;
            break;
        }
        const size_t nameBegin = j;
        while (j < n && !EndsName(text[j]))
            ++j;
        const std::string_view attrName = text.substr(nameBegin, j - nameBegin);
        while (j < n && IsBlankChar(text[j]))
            ++j;
        if (j >= n)
            return Fail("unterminated tag", at);
        if (attrName.empty() || text[j] != '=')
            return Fail("malformed attribute", nameBegin);
        ++j;
        while (j < n && IsBlankChar(text[j]))
            ++j;
        if (j >= n)
            return Fail("unterminated tag", at);
        const char quote = text[j];
        if (quote != '"' && quote != '\'')
            return Fail("malformed attribute", nameBegin);
        const size_t close = text.find(quote, j + 1);
        if (close == std::string_view::npos)
            return Fail("unterminated tag", at);
        currentAttrs.push_back({attrName, text.substr(j + 1, close - j - 1)});
        j = close + 1;
    }
    t.end = j;
    current = t;
    return true;
}

bool XmlReader::IsBlank() const {
    if (current.kind == Item::Cdata)
        return IsXmlBlank(current.body);
    return current.kind == Item::Text && IsBlankRaw(current.body);
}

std::string XmlReader::ItemText() const {
    if (current.kind == Item::Cdata)
        return std::string(current.body);
    if (current.kind == Item::Text)
        return ResolveXmlReferences(current.body);
    return {};
}

bool XmlReader::Next() {
    if (error || current.kind == Item::EndOfText)
        return false;
    pos = current.end;
    if (current.kind == Item::StartTag) {
        open.push_back(current.name);
        rootSeen = true;
        consumedAttrs.swap(currentAttrs);
        if (current.selfClosing) {
            Token end;
            end.kind = Item::EndTag;
            end.begin = current.begin;
            end.end = current.end;
            end.name = current.name;
            current = end;
            currentAttrs.clear();
            return true;
        }
    } else if (current.kind == Item::EndTag && !open.empty()) {
        if (current.name != open.back())
            return Fail("end tag does not match its start tag", current.begin);
        open.pop_back();
    } // an end tag before the root is passed over
    Scan();
    return !error;
}

bool XmlReader::ConsumeStartTag(std::string_view name) {
    if (current.kind != Item::StartTag || current.name != name)
        return false;
    return Next();
}

std::optional<std::string> XmlReader::Attribute(std::string_view name) const {
    for (const Attr& a : consumedAttrs)
        if (a.name == name)
            return ResolveXmlReferences(a.raw);
    return std::nullopt;
}

bool XmlReader::SkipElement() {
    if (current.kind != Item::StartTag)
        return false;
    const size_t depth = open.size();
    if (!Next())
        return false;
    while (open.size() > depth)
        if (!Next())
            return false;
    return true;
}

bool XmlReader::SkipContent() {
    if (open.empty())
        return false;
    const size_t depth = open.size() - 1;
    while (open.size() > depth)
        if (!Next())
            return false;
    return true;
}

std::optional<std::string> XmlReader::ReadText() {
    std::string out;
    while (current.kind == Item::Text || current.kind == Item::Cdata) {
        if (current.kind == Item::Cdata)
            out.append(current.body);
        else
            out += ResolveXmlReferences(current.body);
        if (!Next())
            return std::nullopt;
    }
    if (error)
        return std::nullopt;
    return out;
}

bool XmlReader::ConsumeEndTag() {
    if (error)
        return false;
    if (current.kind != Item::EndTag)
        return Fail("an end tag was expected", current.begin);
    return Next();
}
