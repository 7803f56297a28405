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

// Where data.dat lives: the program's folder when it is writable, else the per-user configuration folder
// (xdgConfigHome when it is an absolute path, else home/.config) with "fwupdate" appended.
std::filesystem::path ChooseSettingsFolder(const std::filesystem::path& programFolder,
                                           bool programFolderWritable, const std::string& xdgConfigHome,
                                           const std::string& home);
// data.dat for the program in programFolder, asking the system whether the folder is writable and reading
// $XDG_CONFIG_HOME and $HOME.
std::filesystem::path SettingsFilePath(const std::filesystem::path& programFolder);

// The settings file in one direction: loading hands the file's bytes to the serializer, storing takes the
// bytes it leaves.
struct SettingsStream {
    bool loading = false;
    std::vector<uint8_t> bytes;
};
// Exchanges CfgFolder with the stream in its direction; a load error leaves CfgFolder as it was.
void SerializeCfgFolder(SettingsStream& stream);
using SettingsSerializer = std::function<void(SettingsStream&)>;

// Reads the file through serialize; a missing file changes nothing.
void LoadSettings(const std::filesystem::path& file,
                  const SettingsSerializer& serialize = SerializeCfgFolder);
// Writes the file (creating its folder) from serialize; false when it could not be written.
bool StoreSettings(const std::filesystem::path& file,
                   const SettingsSerializer& serialize = SerializeCfgFolder);
