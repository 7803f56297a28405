// The program's log seen from a test: its lines read back, and a log file of each test's own.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/platform.h"

// The whole lines of a log file, without their CR LF; what follows the last CR LF (a line not yet
// complete) goes to rest when asked for.
inline std::vector<std::string> ReadLogLines(const std::filesystem::path& path, std::string* rest = nullptr) {
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (rest)
        *rest = text.substr(start);
    return lines;
}

// How often this exact line stands in the log file.
inline size_t CountLogLine(const std::filesystem::path& path, const std::string& line) {
    const std::vector<std::string> lines = ReadLogLines(path);
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

// Points the program's log to a file named after the running test (prefix-pid-suite-name.log) and
// removes that file again at the end.
class TestLogFile {
public:
    explicit TestLogFile(const std::string& prefix) {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        std::replace(name.begin(), name.end(), '/', '_');
        path = std::filesystem::temp_directory_path() /
               (prefix + "-" + std::to_string(ProcessId()) + "-" + name + ".log");
        std::filesystem::remove(path);
        TheLog().SetPath(path);
    }
    ~TestLogFile() {
        TheLog().SetPath(DefaultLogPath()); // closes the file first: Windows removes no open file
        std::filesystem::remove(path);
    }
    TestLogFile(const TestLogFile&) = delete;
    TestLogFile& operator=(const TestLogFile&) = delete;

    const std::filesystem::path& Path() const { return path; }
    std::vector<std::string> Lines(std::string* rest = nullptr) const { return ReadLogLines(path, rest); }

private:
    std::filesystem::path path;
};
