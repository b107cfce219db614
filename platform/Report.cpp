// Reports and debug lines on stderr.
#include "platform/Report.h"

#include <cstdio>
#include <string>

void ReportWarning(std::string_view text, std::string_view caption) {
    std::string line = std::string(caption) + ": " + std::string(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void DebugLine(std::string_view text) {
    std::string line = std::string(text) + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
}
