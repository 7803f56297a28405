// TestFolder: a fresh temporary folder of one test, removed with its contents at the end.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>

class TestFolder {
public:
    // Makes <temp>/<prefix>.XXXXXX (a '/' in prefix, as in a parameterised test's name, becomes '_');
    // Path() is empty when that fails.
    explicit TestFolder(std::string prefix) {
        std::replace(prefix.begin(), prefix.end(), '/', '_');
        std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
        if (mkdtemp(tmpl.data()) != nullptr)
            path = tmpl;
    }
    ~TestFolder() {
        if (!path.empty())
            std::filesystem::remove_all(path);
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::string& Path() const { return path; }
    // The path of a file in the folder.
    std::string operator/(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};
