// A temporary folder for tests that work on real files: made fresh for each test, removed with
// everything in it afterwards. Header-only; not for production code.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

class TTempDir {
public:
    TTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestrow-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (!mkdtemp(buffer.data())) throw std::runtime_error("cannot create a temporary folder");
        path_ = buffer.data();
    }
    ~TTempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The full name of a file in the folder (the file need not exist).
    std::string File(std::string_view name) const { return (path_ / name).string(); }

    // Whole-file helpers for checking exact bytes.
    static std::vector<uint8_t> ReadBytes(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
    }
    static void WriteBytes(const std::string& file, const std::vector<uint8_t>& bytes) {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }

private:
    std::filesystem::path path_;
};

// A fixture giving each test its own temporary folder.
class TempDirTest : public ::testing::Test {
protected:
    TTempDir Temp;
};
