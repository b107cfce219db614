// File-name operations on Linux.
#include "platform/FileUtils.h"

#include "platform/OsFile.h"

#include <filesystem>

#include <atomic>
#include <unistd.h>

bool FileExists(const std::string& name) { return OsFileLayer().Exists(name); }

uint64_t FileSizeOf(const std::string& name) {
    std::error_code error;
    uintmax_t size = std::filesystem::file_size(name, error);
    return error ? 0 : uint64_t(size);
}

bool DeleteFileName(const std::string& name) {
    try {
        OsFileLayer().Remove(name);
        return true;
    } catch (const EOSError&) {
        return false;
    }
}

std::string ScratchNameBeside(const std::string& target) {
    static std::atomic<unsigned> serial{0};
    return target + ".~" + std::to_string(::getpid()) + "." + std::to_string(++serial);
}

std::string ProgramFilePath(const std::string& argv0) {
    if (argv0.find('/') != std::string::npos) return argv0;
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? argv0 : self.string();
}
