// TestFolder: a fresh temporary folder of one test, removed with its contents at the end.
#pragma once

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

class TestFolder {
public:
    // Makes <temp>/<prefix>.XXXXXX (a '/' in prefix, as in a parameterised test's name, becomes '_');
    // Path() is empty when that fails.
    explicit TestFolder(std::string prefix) {
        std::replace(prefix.begin(), prefix.end(), '/', '_');
        // create_directory reports whether it made the folder, so a name taken already is never shared.
        std::random_device seed;
        std::mt19937_64 random(seed());
        const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
        std::error_code ec;
        const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
        for (int attempt = 0; attempt < 100 && !ec && path.empty(); ++attempt) {
            std::string name = prefix + ".";
            for (int i = 0; i < 6; ++i)
                name += letters[random() % (sizeof letters - 1)];
            const std::filesystem::path candidate = temp / name;
            if (std::filesystem::create_directory(candidate, ec) && !ec)
                path = candidate.string();
            else if (ec == std::errc::file_exists)
                ec.clear();
        }
    }
    // A destructor must not throw: a folder still in use (Windows removes no open file) is left behind.
    ~TestFolder() {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
    TestFolder(const TestFolder&) = delete;
    TestFolder& operator=(const TestFolder&) = delete;

    const std::string& Path() const { return path; }
    // The path of a file in the folder.
    std::string operator/(const std::string& name) const { return path + "/" + name; }

private:
    std::string path;
};
