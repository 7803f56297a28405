// The settings file data.dat: it keeps CfgFolder, the folder of the last confirmed firmware configuration
// file, from one run to the next. All numbers little-endian.
#pragma once

#include <cstdint>
#include <filesystem>
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

// Reads CfgFolder from the file; a missing, short or malformed file leaves CfgFolder as it was.
void LoadSettings(const std::filesystem::path& file);
// Writes CfgFolder to the file (creating its folder); false when it could not be written.
bool StoreSettings(const std::filesystem::path& file);
