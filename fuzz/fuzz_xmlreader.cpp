// Fuzzes the configuration file's XML reader on plain text: a walk over every item, checked for
// progress and consistency, and the configuration reader's own walk over the same text, which must
// meet the same syntax error at the same place.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "update/fwconfig.h"
#include "update/xmlreader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const size_t end = std::min(text.find('\0'), size); // the reader stops at the first zero byte

    XmlReader xml(text);
    size_t items = 0;
    size_t last = 0;
    while (xml.Current() != XmlReader::Item::EndOfText && xml.Current() != XmlReader::Item::Error) {
        // Every item advances (an empty-element tag yields two items at one place).
        if (xml.Offset() < last || xml.Offset() > end || ++items > 2 * end + 2)
            std::abort();
        last = xml.Offset();
        const XmlReader::Item item = xml.Current();
        // Tags inside the root are named; a stray end tag before it may be anything.
        if ((item == XmlReader::Item::StartTag || (item == XmlReader::Item::EndTag && xml.Depth() > 0)) &&
            xml.Name().empty())
            std::abort();
        if ((item == XmlReader::Item::Text || item == XmlReader::Item::Cdata) && xml.IsBlank() &&
            !IsXmlBlank(xml.ItemText()))
            std::abort();
        xml.Next();
    }
    const std::optional<XmlError>& walkError = xml.Error();
    if (walkError ? walkError->Offset > end || walkError->Line < 1 || walkError->Column < 1
                  : xml.Depth() != 0)
        std::abort();

    static FwConfig config;
    const int result = config.LoadText(text);
    const std::optional<XmlError>& error = config.LastError();
    if (result == 0 && (walkError || error))
        std::abort();
    // The configuration reader asks for an end tag after a file name's text; every other syntax
    // error is the text's own, found by both walks at the same place.
    if (error && error->Reason != "an end tag was expected" &&
        (!walkError || walkError->Reason != error->Reason || walkError->Offset != error->Offset))
        std::abort();
    std::string().swap(config.Filename); // frees what this input allocated, so no leak check is set off
    return 0;
}
