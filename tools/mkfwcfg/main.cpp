// mkfwcfg: writes demo firmware for tests and the demo: enciphered configuration files (from an XML
// document or from field values) and deterministic demo images.
#include "base/buildinfo.h"
#include "tools/mkfwcfg/cfgwriter.h"
#include "update/firmwareimage.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* const kUsage =
    "usage:\n"
    "  mkfwcfg --out FILE.cfg [--xml DOC.xml | field options] [--image IMAGE.bin]\n"
    "  mkfwcfg --write-image FILE.bin --size N [--seed S]\n"
    "  mkfwcfg --show FILE.cfg\n"
    "\n"
    "Writes a firmware configuration file: the XML document (from --xml, or built from the field\n"
    "options) with zero bytes up to a whole 16-byte block, enciphered with AES-128-ECB under the\n"
    "program's fixed key.\n"
    "\n"
    "field options (numbers decimal or 0x hex, -2147483648..4294967295):\n"
    "  --dspversion N --filename NAME --inputs N --outputs N --serial N --use-serial 0|1\n"
    "  --checksum N --fw-version N --revision N --q7type N --enable-mic-input1 N --enable-aes1 N\n"
    "  --enable-aes2 N --enable-fir N --enable-ethernet N\n"
    "  --omit ELEMENT       leave the element out (e.g. --omit Checksum); may repeat\n"
    "  --image FILE         the checksum of this image (and its file name unless --filename is given)\n"
    "  --print-xml          also print the XML document to standard output\n"
    "\n"
    "  --write-image FILE   write a deterministic pseudo-random image of --size bytes (seed --seed)\n"
    "  --show FILE          print the deciphered text of a configuration file\n"
    "\n"
    "  --fw-version N is also taken as --version N (or --version=N); a bare --version prints the\n"
    "  program's version, --help this text.\n";

std::optional<int32_t> ParseNumber(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < -2147483648LL || v > 4294967295LL) {
        return std::nullopt;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(v));
}

std::string BaseName(const std::string& path) {
    const size_t sep = path.find_last_of("/\\");
    return sep == std::string::npos ? path : path.substr(sep + 1);
}

// A deciphered configuration is text: it opens with '<' after an optional byte order mark and blanks,
// and holds no control bytes but tab, line feed and carriage return. Anything else used another key.
bool LooksLikeDocument(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string_view::npos || text[first] != '<')
        return false;
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 && b != '\t' && b != '\n' && b != '\r';
    });
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "mkfwcfg: %s\n", message.c_str());
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    ConfigFields fields;
    // The number fields by option and by element name (for --omit).
    std::map<std::string, std::optional<int32_t>*> numeric, byElement;
    for (const NumberField& f : kNumberFields) {
        numeric[f.Option] = &(fields.*f.Field);
        byElement[f.Element] = &(fields.*f.Field);
    }

    std::string out, xmlPath, imagePath, writeImage, showPath;
    std::optional<long long> size;
    uint32_t seed = 1;
    bool filenameGiven = false, checksumGiven = false, printXml = false, help = false, version = false;

    // --version with a number after it (or --version=N) is the older spelling of --fw-version; a bare
    // --version asks for the program's version.
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].rfind("--version=", 0) == 0)
            args[i] = "--fw-version" + args[i].substr(std::strlen("--version"));
        else if (args[i] == "--version" && i + 1 < args.size() && ParseNumber(args[i + 1]))
            args[i] = "--fw-version";
    }

    // Every value as text; they are applied in the order given (--omit after --checksum drops it).
    std::map<std::string, std::vector<std::string>> values;
    CLI::App app("mkfwcfg", "mkfwcfg");
    app.set_help_flag();
    app.allow_extras();
    std::vector<std::string> names = {"--filename",    "--omit", "--out",  "--xml", "--image",
                                      "--write-image", "--size", "--seed", "--show"};
    for (const auto& [option, field] : numeric)
        names.push_back(option);
    for (const std::string& name : names)
        app.add_option(name, values[name])
            ->expected(1)
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("-h,--help", help);
    app.add_flag("--version", version);
    app.add_flag("--print-xml", printXml);
    try {
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::ArgumentMismatch& e) {
        const std::string what = e.what();
        return Fail("option " + what.substr(0, what.find(':')) + " needs a value (see --help)");
    } catch (const CLI::ParseError& e) {
        return Fail(std::string(e.what()) + " (see --help)");
    }
    if (!app.remaining().empty()) {
        return Fail("unknown option " + app.remaining().front() + " (see --help)");
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (version) {
        std::printf("mkfwcfg %s\n", kFwUpdateVersion);
        return 0;
    }

    std::map<const CLI::Option*, size_t> used; // values of each option applied so far
    for (const CLI::Option* option : app.parse_order()) {
        const std::string opt = option->get_name();
        const auto given = values.find(opt);
        if (given == values.end() || used[option] >= given->second.size()) {
            continue; // a flag
        }
        const std::string& value = given->second[used[option]++];
        if (auto it = numeric.find(opt); it != numeric.end()) {
            const auto n = ParseNumber(value);
            if (!n) {
                return Fail("not a 32-bit number for " + opt + ": " + value);
            }
            *it->second = n;
            checksumGiven |= opt == "--checksum";
        } else if (opt == "--filename") {
            fields.Filename = value;
            filenameGiven = true;
        } else if (opt == "--omit") {
            if (value == "Filename") {
                fields.Filename.reset();
                filenameGiven = true;
            } else if (auto e = byElement.find(value); e != byElement.end()) {
                e->second->reset();
                checksumGiven |= value == "Checksum";
            } else {
                return Fail("no such element: " + value);
            }
        } else if (opt == "--out") {
            out = value;
        } else if (opt == "--xml") {
            xmlPath = value;
        } else if (opt == "--image") {
            imagePath = value;
        } else if (opt == "--write-image") {
            writeImage = value;
        } else if (opt == "--size") {
            const auto n = ParseNumber(value);
            if (!n || *n < 0) {
                return Fail("not a size: " + value);
            }
            size = *n;
        } else if (opt == "--seed") {
            const auto n = ParseNumber(value);
            if (!n) {
                return Fail("not a seed: " + value);
            }
            seed = static_cast<uint32_t>(*n);
        } else if (opt == "--show") {
            showPath = value;
        }
    }

    if (!showPath.empty()) {
        const auto data = ReadFileBytes(showPath);
        if (!data) {
            return Fail("cannot read " + showPath);
        }
        if (data->empty()) {
            return Fail(showPath + " is empty, not a configuration file");
        }
        if (data->size() % 16 != 0) {
            return Fail(showPath + " is not a configuration file (its length, " +
                        std::to_string(data->size()) + " bytes, is not a multiple of 16: truncated?)");
        }
        const auto plain = DecipherConfig(*data);
        const auto* text = reinterpret_cast<const char*>(plain.data());
        const size_t length = strnlen(text, plain.size());
        if (!LooksLikeDocument(std::string_view(text, length))) {
            return Fail(showPath + " does not decipher to a configuration document (not enciphered, or "
                                   "enciphered with another key)");
        }
        std::fwrite(text, 1, length, stdout);
        return 0;
    }

    if (!writeImage.empty()) {
        if (!size) {
            return Fail("--write-image needs --size");
        }
        if (!WriteFileBytes(writeImage, DemoImage(static_cast<size_t>(*size), seed))) {
            return Fail("cannot write " + writeImage);
        }
        if (out.empty()) {
            return 0;
        }
        if (imagePath.empty()) {
            imagePath = writeImage;
        }
    }

    if (out.empty()) {
        return Fail("no output file (--out FILE.cfg); see --help");
    }
    std::string xml;
    if (!xmlPath.empty()) {
        const auto doc = ReadFileBytes(xmlPath);
        if (!doc) {
            return Fail("cannot read " + xmlPath);
        }
        xml.assign(doc->begin(), doc->end());
    } else {
        if (!imagePath.empty()) {
            const auto image = ReadFileBytes(imagePath);
            if (!image) {
                return Fail("cannot read " + imagePath);
            }
            if (!checksumGiven) {
                fields.Checksum = ImageChecksum(image->data(), image->size());
            }
            if (!filenameGiven) {
                fields.Filename = BaseName(imagePath);
            }
        }
        xml = ConfigXml(fields);
    }
    if (printXml) {
        std::fputs(xml.c_str(), stdout);
    }
    if (!WriteFileBytes(out, EncipherConfig(xml))) {
        return Fail("cannot write " + out);
    }
    return 0;
}
