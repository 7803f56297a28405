// The settings file data.dat: it keeps CfgFolder, the folder of the last confirmed firmware configuration
// file, from one run to the next. All numbers little-endian.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// The folder the configuration-file selector opens in; empty at start.
extern std::string CfgFolder;

// "data", the folder's length (one byte up to 126, else FF and 32 bits), its bytes, "end" and a zero byte,
// then the count of the bytes before the count.
std::vector<uint8_t> EncodeSettings(const std::string& cfgFolder);
// The folder held by a settings file; empty when the file is short or malformed. Bytes after the count are
// not read.
std::optional<std::string> DecodeSettings(const std::vector<uint8_t>& bytes);

// Where data.dat is read and where it is written; an empty path: no file.
struct SettingsFiles {
    std::filesystem::path Load;
    std::filesystem::path Store;
};

// A build from source keeps data.dat beside the program when the program's folder is writable. Otherwise, and
// always in a packaged build, the file lives in userFolder/fwupdate (userFolder: the per-user configuration
// folder, empty when unknown, never relative). A build from source still reads the file beside the program
// while the per-user folder holds none, so that a setting kept there is not lost when the folder is
// read-only.
SettingsFiles ChooseSettingsFiles(const std::filesystem::path& programFolder, bool programFolderWritable,
                                  const std::filesystem::path& userFolder, bool userFileExists,
                                  bool packaged);
// The files for the program in programFolder, asking the system whether the folder is writable and not a
// folder of installed programs (Program Files), where the per-user configuration folder is and whether it
// holds data.dat.
SettingsFiles SettingsFilesFor(const std::filesystem::path& programFolder);

// The settings file in one direction: loading hands the file's bytes to the serializer, storing takes the
// bytes it leaves.
struct SettingsStream {
    bool loading = false;
    std::vector<uint8_t> bytes;
};
// Exchanges CfgFolder with the stream in its direction; a load error leaves CfgFolder as it was.
void SerializeCfgFolder(SettingsStream& stream);
using SettingsSerializer = std::function<void(SettingsStream&)>;

// Reads the file through serialize; a missing file (or an empty path) changes nothing.
void LoadSettings(const std::filesystem::path& file,
                  const SettingsSerializer& serialize = SerializeCfgFolder);
// Writes the file (creating its folder) from serialize; false when it could not be written or the path is
// empty.
bool StoreSettings(const std::filesystem::path& file,
                   const SettingsSerializer& serialize = SerializeCfgFolder);
