// Whole-file operations on names: existence, removal, a private scratch name beside a file and
// the program's own path. Not for reading or writing, nor for renames: see OsFile.h.
#pragma once

#include <cstdint>
#include <string>

bool FileExists(const std::string& name);
// The file's size in bytes; 0 when it is missing or cannot be examined.
uint64_t FileSizeOf(const std::string& name);
// True when the file is gone afterwards (also when it never existed).
bool DeleteFileName(const std::string& name);
// A name in Target's folder that no other process or call picks: Target + ".~" + pid + "." + n.
std::string ScratchNameBeside(const std::string& target);
// Removes the scratch names beside Target (and their journals, Name + "-journal") whose process
// has ended: what a creation killed half-way left. A living process's stay. Failures are
// passed over: the files are only clutter.
void RemoveDeadScratchFiles(const std::string& target);
// The path of the running program: Argv0 when it names a folder, else the executable the
// system started (Argv0 without a folder was found through PATH, not in the working folder).
std::string ProgramFilePath(const std::string& argv0);
