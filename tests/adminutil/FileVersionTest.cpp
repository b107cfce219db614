// File versions read back from the notes of programs built with a version, and the errors for
// files without one: plain files, missing files, damaged and cut-off programs.
#include "TempDir.h"
#include "adminutil/UVers.h"

#include <algorithm>
#include <stdexcept>

namespace {

const std::string NoVersionText = "Невозможно извлечь информацию о размере структуры VersionInfo из модуля ";

std::string ErrorOf(const std::string& fileName) {
    try {
        return "no error, version " + GetFileVersionString(fileName);
    } catch (const std::exception& error) {
        return error.what();
    }
}

// Where the version note's owner name stands in a program's bytes.
size_t FindOwner(const std::vector<uint8_t>& bytes) {
    const std::string owner(VersionNoteOwner, sizeof(VersionNoteOwner));
    auto at = std::search(bytes.begin(), bytes.end(), owner.begin(), owner.end());
    EXPECT_NE(at, bytes.end());
    return size_t(at - bytes.begin());
}

} // namespace

TEST(FileVersionTest, ReadsTheVersionsProgramsWereBuiltWith) {
    EXPECT_EQ(GetFileVersionString(TALLBROOK_FILE), "1.0.0.0");
    EXPECT_EQ(GetFileVersionString(VERSIONED_SAMPLE_FILE), "2.10.3.417");
}

class FileVersionErrorTest : public TempDirTest {};

TEST_F(FileVersionErrorTest, FilesWithoutVersionGiveTheTextAndTheirName) {
    std::string text = Temp.File("readme.txt");
    TTempDir::WriteBytes(text, {'h', 'e', 'l', 'l', 'o'});
    EXPECT_EQ(ErrorOf(text), NoVersionText + text);
    std::string missing = Temp.File("missing");
    EXPECT_EQ(ErrorOf(missing), NoVersionText + missing);
    std::string empty = Temp.File("empty");
    TTempDir::WriteBytes(empty, {});
    EXPECT_EQ(ErrorOf(empty), NoVersionText + empty);
}

TEST_F(FileVersionErrorTest, DamagedOrCutProgramsAreRefusedWithoutHarm) {
    std::vector<uint8_t> program = TTempDir::ReadBytes(VERSIONED_SAMPLE_FILE);
    size_t owner = FindOwner(program);

    std::vector<uint8_t> otherOwner = program;
    otherOwner[owner] = 'k';
    std::string renamed = Temp.File("other-owner");
    TTempDir::WriteBytes(renamed, otherOwner);
    EXPECT_EQ(ErrorOf(renamed), NoVersionText + renamed);

    std::vector<uint8_t> badBlock = program;
    badBlock[owner + sizeof(VersionNoteOwner)] ^= 0xFF; // the block's signature
    std::string damaged = Temp.File("damaged");
    TTempDir::WriteBytes(damaged, badBlock);
    EXPECT_EQ(ErrorOf(damaged), "Damaged version information in module " + damaged);

    // Every cut of the program either still finds the note or is refused; none crashes.
    for (size_t length : {size_t(4), size_t(52), size_t(64), owner, program.size() / 2, program.size() - 1}) {
        std::string cut = Temp.File("cut");
        TTempDir::WriteBytes(cut, std::vector<uint8_t>(program.begin(), program.begin() + length));
        std::string result = ErrorOf(cut);
        EXPECT_TRUE(result == NoVersionText + cut || result == "no error, version 2.10.3.417")
            << "cut at " << length << ": " << result;
    }
}
