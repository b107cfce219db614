// File-name operations on Linux.
#include "platform/FileUtils.h"

#include <filesystem>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

bool FileExists(const std::string& name) {
    struct stat info {};
    return ::stat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool DeleteFileName(const std::string& name) { return ::unlink(name.c_str()) == 0 || errno == ENOENT; }

std::string ScratchNameBeside(const std::string& target) {
    static std::atomic<unsigned> serial{0};
    return target + ".~" + std::to_string(::getpid()) + "." + std::to_string(++serial);
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) return false;
    // File systems without the flag: a hard link fails when To exists, which is what we need.
    if (::link(from.c_str(), to.c_str()) != 0) return false;
    ::unlink(from.c_str());
    return true;
}

std::string ProgramFilePath(const std::string& argv0) {
    if (argv0.find('/') != std::string::npos) return argv0;
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? argv0 : self.string();
}
