// Reports and debug lines. They go to stderr only: stdout carries the CGI answer.
#pragma once

#include <string_view>

// A warning that a desktop program would show in a message box: "Caption: Text" on stderr.
void ReportWarning(std::string_view text, std::string_view caption);
// A debug line on stderr.
void DebugLine(std::string_view text);
