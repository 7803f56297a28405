// A small pull reader for the configuration file's XML: one item at a time over a zero-terminated
// text, with the operations the configuration reader needs and the syntax errors it must refuse.
//
// What it reads:
// - The text is taken as 8-bit bytes whatever a declaration says (an encoding named in the XML
//   declaration is passed over); bytes are never converted, line ends never normalised.
// - Blank characters: space, TAB, CR and LF.
// - References resolved in text and attribute values: &lt; &gt; &amp; &apos; &quot; and the numeric
//   references &#N; and &#xH; (code points 1 to 0x10FFFF, surrogates excepted), written out as
//   UTF-8. Any other "&" stands for itself, and so does a "<" that begins no markup.
// - Attribute values are quoted with ' or "; of a repeated attribute the first counts.
// - Before the root element everything is passed over: declaration, processing instructions,
//   comments, a document type with its internal subset, stray text and stray end tags. An
//   unterminated construct there is a syntax error, and so is a text without any start tag.
// - An empty-element tag <a/> reads as a start tag followed by its end tag.
// - After the root's end tag nothing is read: the current item is then EndOfText.
// - Syntax errors: unexpected end of text, an end tag that does not match its start tag, an
//   unterminated tag, end tag, comment, declaration, processing instruction or CDATA section, a
//   malformed tag, attribute or end tag, and an item other than the end tag where one is required.
//   The first error stops the reader; every operation then returns false.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A syntax error: a short reason (a fixed text) and where it was found (byte offset from the start
// of the text, line and column counted from 1, the column in bytes).
struct XmlError {
    std::string_view Reason;
    size_t Offset = 0;
    size_t Line = 1;
    size_t Column = 1;
};

class XmlReader {
public:
    enum class Item {
        StartTag,
        EndTag,
        Text,
        Cdata,
        Comment,
        ProcessingInstruction, // the XML declaration included
        Declaration,           // <!...>, such as a document type
        EndOfText,             // after the root's end tag
        Error,                 // after a syntax error
    };

    // Reads text up to its first zero byte (or its end) and moves to the first item.
    explicit XmlReader(std::string_view text);

    Item Current() const { return current.kind; }
    bool IsStartTag() const { return current.kind == Item::StartTag; }
    bool IsEndTag() const { return current.kind == Item::EndTag; }
    // The name of the current start or end tag.
    std::string_view Name() const { return current.name; }
    // The offset of the current item.
    size_t Offset() const { return current.begin; }
    // Whether the current text or CDATA item holds blank characters only (references resolved).
    bool IsBlank() const;
    // The current text or CDATA item, references resolved.
    std::string ItemText() const;

    // Passes over the current item: a start tag opens its element, an end tag closes the innermost
    // one (checking that the two pair up). False on a syntax error or at the end of the text.
    bool Next();
    // Consumes the current item if it is a start tag named name; its attributes become readable.
    bool ConsumeStartTag(std::string_view name);
    // Attribute name of the last consumed start tag, references resolved; nullopt when absent.
    std::optional<std::string> Attribute(std::string_view name) const;
    // Consumes the current start tag with all its content through its end tag.
    bool SkipElement();
    // Consumes the rest of the element whose start tag was consumed last, through its end tag.
    bool SkipContent();
    // Consumes the text and CDATA items that follow, and returns their text with references
    // resolved (empty when no text follows); nullopt on a syntax error.
    std::optional<std::string> ReadText();
    // Consumes the end tag of the innermost open element; anything else is a syntax error.
    bool ConsumeEndTag();

    // Elements open at the current item.
    size_t Depth() const { return open.size(); }
    const std::optional<XmlError>& Error() const { return error; }

private:
    struct Attr {
        std::string_view name;
        std::string_view raw; // as written, references unresolved
    };
    struct Token {
        Item kind = Item::EndOfText;
        size_t begin = 0;
        size_t end = 0;        // past the item
        std::string_view name; // start and end tags
        std::string_view body; // text, CDATA contents
        bool selfClosing = false;
    };

    void Scan();
    bool ScanStartTag(size_t at);
    bool ScanEndTag(size_t at);
    bool ScanDeclaration(size_t at);
    bool ScanDelimited(size_t at, std::string_view openMark, std::string_view closeMark, Item kind,
                       const char* reason);
    bool Fail(const char* reason, size_t at);

    std::string_view text;
    size_t pos = 0; // where the item after the current one begins
    Token current;
    std::vector<Attr> currentAttrs;
    std::vector<Attr> consumedAttrs;
    std::vector<std::string_view> open;
    bool rootSeen = false;
    std::optional<XmlError> error;
};

// The text with the references above resolved; exposed for tests and for the reader's callers.
std::string ResolveXmlReferences(std::string_view raw);
// True when text holds only space, TAB, CR and LF.
bool IsXmlBlank(std::string_view text);
