// The system file layer's view of a file against a model of the file's bytes: whatever the view
// is made of, a read through it shows the file as it is, after any writes through the handle.
#include "platform/OsFile.h"

#include "TempDir.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

class OsFileViewTest : public TempDirTest {};

TEST_F(OsFileViewTest, ReadsThroughTheViewSeeEveryWriteBeforeThem) {
    std::mt19937 random(17);
    auto randomBytes = [&](size_t count) {
        std::vector<uint8_t> bytes(count);
        for (uint8_t& byte : bytes) byte = uint8_t(random());
        return bytes;
    };
    // Several of the view's granules, the last one part-filled.
    std::vector<uint8_t> model = randomBytes(300'000);
    std::string name = Temp.File("viewed");
    TTempDir::WriteBytes(name, model);
    TOsFile file;
    ASSERT_EQ(file.Open(name, true, TOsDisposition::OpenExisting, false), 0);

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
    EXPECT_EQ(file.ViewAt(model.size() - 10, 11), nullptr);
    EXPECT_EQ(file.ViewAt(model.size() + 1, 0), nullptr);

    // A new length is seen by the next view.
    file.SetEnd(model.size() + 5000);
    model.resize(model.size() + 5000, 0);
    expectView(model.size() - 6000, 6000);
}

} // namespace
