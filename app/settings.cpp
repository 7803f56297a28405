// The settings file data.dat: its byte layout, where it lives, and loading and storing CfgFolder.
#include "app/settings.h"

#include "base/buildinfo.h"
#include "base/platform.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

std::string CfgFolder;

namespace {

constexpr uint8_t kMagicData[4] = {'d', 'a', 't', 'a'};
constexpr uint8_t kMagicEnd[4] = {'e', 'n', 'd', 0};
// Up to this length the one-byte form is written.
constexpr size_t kShortLength = 126;
constexpr const char* kFileName = "data.dat";

void PutU32LE(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// Reads a file front to back; every shortfall ends the reading.
class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& bytes) : bytes(bytes) {}
    size_t Pos() const { return pos; }
    size_t Left() const { return bytes.size() - pos; }
    bool Byte(uint8_t& b) {
        if (Left() < 1)
            return false;
        b = bytes[pos++];
        return true;
    }
    bool U32(uint32_t& v) {
        if (Left() < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(bytes[pos + i]) << (8 * i);
        pos += 4;
        return true;
    }
    bool Expect(const uint8_t (&magic)[4]) {
        if (Left() < 4 || !std::equal(magic, magic + 4, bytes.begin() + static_cast<std::ptrdiff_t>(pos)))
            return false;
        pos += 4;
        return true;
    }
    bool Text(size_t len, std::string& out) {
        if (len > Left())
            return false;
        out.assign(bytes.begin() + static_cast<std::ptrdiff_t>(pos),
                   bytes.begin() + static_cast<std::ptrdiff_t>(pos + len));
        pos += len;
        return true;
    }

private:
    const std::vector<uint8_t>& bytes;
    size_t pos = 0;
};

// The length forms: 00..7F the length itself; 80..FE its low 7 bits, then one byte passed over; FF and 32
// bits, and when their top bit is set the low 31 bits, then one byte passed over.
bool ReadLength(Reader& in, size_t& len) {
    uint8_t first = 0;
    if (!in.Byte(first))
        return false;
    bool skipOne = false;
    if (first < 0x80) {
        len = first;
    } else if (first < 0xFF) {
        len = first & 0x7F;
        skipOne = true;
    } else {
        uint32_t v = 0;
        if (!in.U32(v))
            return false;
        skipOne = (v & 0x80000000u) != 0;
        len = v & 0x7FFFFFFFu;
    }
    uint8_t skipped = 0;
    return !skipOne || in.Byte(skipped);
}

} // namespace

std::vector<uint8_t> EncodeSettings(const std::string& cfgFolder) {
    std::vector<uint8_t> out(std::begin(kMagicData), std::end(kMagicData));
    const size_t len = cfgFolder.size();
    if (len <= kShortLength) {
        out.push_back(static_cast<uint8_t>(len));
    } else {
        out.push_back(0xFF);
        PutU32LE(out, static_cast<uint32_t>(len));
    }
    out.insert(out.end(), cfgFolder.begin(), cfgFolder.end());
    out.insert(out.end(), std::begin(kMagicEnd), std::end(kMagicEnd));
    PutU32LE(out, static_cast<uint32_t>(out.size()));
    return out;
}

std::optional<std::string> DecodeSettings(const std::vector<uint8_t>& bytes) {
    Reader in(bytes);
    size_t len = 0;
    std::string folder;
    if (!in.Expect(kMagicData) || !ReadLength(in, len) || !in.Text(len, folder) || !in.Expect(kMagicEnd))
        return std::nullopt;
    const size_t before = in.Pos();
    uint32_t count = 0;
    if (!in.U32(count) || count != before)
        return std::nullopt;
    return folder;
}

SettingsFiles ChooseSettingsFiles(const std::filesystem::path& programFolder, bool programFolderWritable,
                                  const std::filesystem::path& userFolder, bool userFileExists,
                                  bool packaged) {
    const std::filesystem::path beside = programFolder.empty() ? programFolder : programFolder / kFileName;
    if (!packaged && programFolderWritable && !beside.empty())
        return {beside, beside};
    SettingsFiles files;
    if (userFolder.is_absolute())
        files.Store = userFolder / "fwupdate" / kFileName;
    files.Load = packaged || (userFileExists && !files.Store.empty()) ? files.Store : beside;
    return files;
}

SettingsFiles SettingsFilesFor(const std::filesystem::path& programFolder) {
    // An installed copy (Program Files) keeps its file per user also where it could write beside itself.
    const bool writable = FolderWritable(programFolder) && !InstalledProgramFolder(programFolder);
    const std::filesystem::path userFolder = ConfigFolder();
    std::error_code ec;
    const bool userFileExists =
        !userFolder.empty() && std::filesystem::exists(userFolder / "fwupdate" / kFileName, ec);
    return ChooseSettingsFiles(programFolder, writable, userFolder, userFileExists, kPackagedBuild);
}

void SerializeCfgFolder(SettingsStream& stream) {
    if (!stream.loading) {
        stream.bytes = EncodeSettings(CfgFolder);
    } else if (auto folder = DecodeSettings(stream.bytes)) {
        CfgFolder = std::move(*folder);
    }
}

void LoadSettings(const std::filesystem::path& file, const SettingsSerializer& serialize) {
    if (file.empty())
        return;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return;
    SettingsStream stream{
        true, std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>())};
    serialize(stream);
}

bool StoreSettings(const std::filesystem::path& file, const SettingsSerializer& serialize) {
    if (file.empty())
        return false;
    std::error_code ec;
    if (file.has_parent_path())
        std::filesystem::create_directories(file.parent_path(), ec);
    SettingsStream stream;
    serialize(stream);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    out.write(reinterpret_cast<const char*>(stream.bytes.data()),
              static_cast<std::streamsize>(stream.bytes.size()));
    out.close();
    return static_cast<bool>(out);
}
