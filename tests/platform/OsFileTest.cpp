// The system file layer's view of a file against a model of the file's bytes: whatever the view
// is made of (a copy read in as it is used, or for a file too large to copy a mapping), a read
// through it shows the file as it is, after any writes through the handle.
#include "platform/OsFile.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

class OsFileViewTest : public TempDirTest {
protected:
    // Random writes and views within the file's first Window bytes; the file is length long,
    // zeros past the window.
    void WriteAndViewAtRandom(uint64_t length) {
        std::mt19937 random(17);
        auto randomBytes = [&](size_t count) {
            std::vector<uint8_t> bytes(count);
            for (uint8_t& byte : bytes) byte = uint8_t(random());
            return bytes;
        };
        // Several of the copy's granules, the last one part-filled.
        std::vector<uint8_t> model = randomBytes(Window);
        std::string name = Temp.File("viewed");
        TTempDir::WriteBytes(name, model);
        TOsFile file;
        ASSERT_EQ(file.Open(name, true, TOsDisposition::OpenExisting, false), 0);
        if (length > model.size()) file.SetEnd(length);

        auto expectView = [&](uint64_t position, size_t size) {
            const uint8_t* bytes = file.ViewAt(position, size);
            ASSERT_NE(bytes, nullptr) << position << "+" << size;
            ASSERT_EQ(std::memcmp(bytes, model.data() + position, size), 0) << position << "+" << size;
        };
        for (int step = 0; step < 400; ++step) {
            size_t size = random() % 3 == 0 ? random() % 150'000 : random() % 300;
            uint64_t position = random() % (model.size() - size + 1);
            if (random() % 3 == 0) {
                std::vector<uint8_t> bytes = randomBytes(size);
                ASSERT_EQ(file.WriteAt(bytes, position), size);
                std::copy(bytes.begin(), bytes.end(), model.begin() + std::ptrdiff_t(position));
            } else {
                expectView(position, size);
            }
        }
        expectView(0, model.size());
        EXPECT_EQ(file.ViewAt(length - 10, 11), nullptr);
        EXPECT_EQ(file.ViewAt(length + 1, 0), nullptr);

        // A new length is seen by the next view.
        file.SetEnd(Window + 5000);
        model.resize(Window + 5000, 0);
        expectView(Window - 6000, 6000);
        EXPECT_EQ(file.ViewAt(Window + 4999, 2), nullptr);
    }

    static constexpr size_t Window = 300'000;
};

TEST_F(OsFileViewTest, ReadsThroughTheViewSeeEveryWriteBeforeThem) { WriteAndViewAtRandom(Window); }

TEST_F(OsFileViewTest, ReadsThroughTheViewOfAFileTooLargeToCopySeeEveryWriteBeforeThem) {
    WriteAndViewAtRandom(uint64_t(257) << 20); // sparse past the window
}

} // namespace
