// Whole-file operations on names: existence, removal, a private scratch name beside a file and
// a rename that never replaces. Not for reading or writing: see OsFile.h.
#pragma once

#include <string>

bool FileExists(const std::string& name);
// True when the file is gone afterwards (also when it never existed).
bool DeleteFileName(const std::string& name);
// A name in Target's folder that no other process or call picks: Target + ".~" + pid + "." + n.
std::string ScratchNameBeside(const std::string& target);
// Renames From to To unless To already exists. True when renamed; false when To exists or the
// rename fails (From is then left in place).
bool RenameNoReplace(const std::string& from, const std::string& to);
// The path of the running program: Argv0 when it names a folder, else the executable the
// system started (Argv0 without a folder was found through PATH, not in the working folder).
std::string ProgramFilePath(const std::string& argv0);
