// File-name operations on Linux.
#include "platform/FileUtils.h"

#include "platform/OsFile.h"

#include <filesystem>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <string_view>
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

namespace {
// The process that made a scratch name of target, or 0 when name is none.
pid_t ScratchOwner(std::string_view name, std::string_view target) {
    constexpr std::string_view Mark = ".~", Journal = "-journal";
    if (!name.starts_with(target) || name.substr(target.size(), Mark.size()) != Mark) return 0;
    std::string_view rest = name.substr(target.size() + Mark.size());
    if (rest.ends_with(Journal)) rest.remove_suffix(Journal.size());
    size_t dot = rest.find('.');
    auto isNumber = [](std::string_view digits) {
        return !digits.empty() && digits.size() < 10 &&
               std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    if (dot == std::string_view::npos || !isNumber(rest.substr(0, dot)) || !isNumber(rest.substr(dot + 1))) return 0;
    return pid_t(std::stol(std::string(rest.substr(0, dot))));
}

// EPERM: it lives, under another user.
bool ProcessLives(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }
} // namespace

void RemoveDeadScratchFiles(const std::string& target) {
    std::filesystem::path path(target);
    std::string base = path.filename().string();
    std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        pid_t owner = ScratchOwner(it->path().filename().string(), base);
        if (owner > 0 && !ProcessLives(owner)) DeleteFileName(it->path().string());
    }
}

std::string ProgramFilePath(const std::string& argv0) {
    if (argv0.find('/') != std::string::npos) return argv0;
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? argv0 : self.string();
}
