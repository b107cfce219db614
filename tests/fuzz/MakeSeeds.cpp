// Writes the seed corpus of every fuzz target: small valid inputs made by the system itself
// (GIF and BMP files, icons and cursors, a skin file, a multipart upload, CGI, capability and
// parameter texts, a typed record, a fresh counter database), one folder per target under the
// folder named on the command line.
#include "CursorFiles.h"
#include "../webadmin/SkinFileBuilder.h"

#include "counterdb/UCounter.h"
#include "imaging/GifImage.h"
#include "platform/TypedStream.h"
#include "storage/Capabilities.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using namespace CursorFiles;
namespace fs = std::filesystem;

class TSeedWriter {
public:
    explicit TSeedWriter(fs::path root) : Root(std::move(root)) {}

    void Add(const std::string& target, const Bytes& bytes) {
        fs::path folder = Root / target;
        fs::create_directories(folder);
        fs::path file = folder / ("seed" + std::to_string(Count[target]++));
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + file.string());
    }
    void Add(const std::string& target, std::string_view text) { Add(target, Bytes(text.begin(), text.end())); }

private:
    fs::path Root;
    std::map<std::string, int> Count;
};

TBitmap Pattern(int width, int height, TPixelFormat format) {
    TBitmap bitmap(width, height, pf24bit);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) bitmap.SetPixel(x, y, RGBColor(uint8_t(x * 40), uint8_t(y * 60), uint8_t(x ^ y)));
    bitmap.SetPixelFormat(format);
    return bitmap;
}

Bytes GifOf(TGIFImage& image) {
    TMemoryStream stream;
    image.SaveToStream(stream);
    return stream.Bytes();
}

void ImageSeeds(TSeedWriter& seeds) {
    TGIFImage one;
    one.Assign(Pattern(7, 5, pf8bit));
    seeds.Add("gif", GifOf(one));
    TGIFImage two;
    two.Assign(Pattern(4, 4, pf4bit));
    two.AppendFrame(Pattern(3, 9, pf1bit));
    two.Frame(1).Interlaced = true;
    two.Frame(1).DelayMs = 50;
    two.LoopEnabled = true;
    two.Data->CommentLines = {"seed"};
    seeds.Add("gif", GifOf(two));

    for (TPixelFormat format : {pf1bit, pf4bit, pf8bit, pf24bit}) seeds.Add("bmp", Pattern(5, 3, format).SaveToBMP());

    Bytes alpha;
    for (int i = 0; i < 4; ++i) Put32(alpha, 0x00FF0000u | (uint32_t(i * 85) << 24)); // 2 x 2, rising alpha
    Put32(alpha, 0);
    Put32(alpha, 0);
    const Bytes icon32 = IconFileOf(1, 2, 2, 32, alpha);
    seeds.Add("icon", IconFile(1));
    seeds.Add("icon", icon32);
    seeds.Add("ani_cursor",
              Riff({AniHeader(2, 6, 1, 4), StepChunk("rate", {5, 6, 7, 8}), StepChunk("seq ", {1, 0, 1, 0}),
                    List("fram", {Chunk("icon", IconFile(1)), Chunk("icon", IconFile(2))}),
                    List("INFO", {Chunk("INAM", {'b', 'u', 's', 'y', 0}), Chunk("IART", {'m', 'e', 0})})}));
    seeds.Add("ani_cursor", Riff({AniHeader(1, 3), List("fram", {Chunk("icon", icon32)})}));
}

void WebSeeds(TSeedWriter& seeds) {
    TSkinFile skin;
    skin.Images[0] = BackgroundBmp(9, 6);
    for (int d = 0; d < 10; ++d) skin.Images[size_t(1 + d)] = DigitBmp(d, 4);
    seeds.Add("skin_file", skin.Bytes());
    skin.Layout.Overlay = 1;
    skin.Info = InfoBlock("http://example.org", "me", "seed");
    skin.Colour = 0x00123456;
    seeds.Add("skin_file", skin.Bytes());

    const std::string bmp(reinterpret_cast<const char*>(DigitBmp(3, 2).data()), DigitBmp(3, 2).size());
    seeds.Add("multipart", "multipart/form-data; boundary=\"XyZ\"\n"
                           "--XyZ\r\nContent-Disposition: form-data; name=\"skinfile\"; filename=\"a.skn\"\r\n"
                           "Content-Type: application/octet-stream\r\n\r\n" +
                               bmp + "\r\n--XyZ\r\nContent-Disposition: form-data; name=\"go\"\r\n\r\nUpload\r\n--XyZ--\r\n");
    seeds.Add("cgi_fields", "page=admin&skin=2&name=a%20b+c&flag&=x&%zz=%4");
    seeds.Add("capabilities", StorageCapabilityText());
    seeds.Add("capabilities", "A=1;;b = 2\r\nTRANSACTIONS=2, CACHE = -1");
    seeds.Add("param_list", "Mode:Open; Class:{8F3B1C2D-4E5F-4A6B-9C7D-0E1F2A3B4C5D}");
    seeds.Add("param_list", "Mode=ReadOnly, Cache=5, WriteThrough=yes; AtomSizeAlign=4\nPageSize:40");

    TWriter writer;
    writer.WriteInteger(7);
    writer.WriteString("text");
    writer.WriteDate(45000.25);
    writer.WriteInteger(-40000);
    writer.WriteString(std::string(300, 'x'));
    Bytes record = {0x24}; // integer, string, date, integer
    record.insert(record.end(), writer.Bytes().begin(), writer.Bytes().end());
    seeds.Add("typed_stream", record);
}

void StorageSeeds(TSeedWriter& seeds, const fs::path& scratch) {
    fs::create_directories(scratch);
    std::string file = (scratch / "seed.ostra").string();
    {
        TRef<ICounter> counter = OpenCounter(file);
        if (!counter) throw std::runtime_error("cannot create a counter database");
        counter->RegisterVisit("10.0.0.1", "http://example.org/", 45000.5, true, false, false);
        counter->SetSiteName("Seed");
        CloseCounter(counter);
    }
    std::ifstream in(file, std::ios::binary);
    seeds.Add("storage_open", Bytes((std::istreambuf_iterator<char>(in)), {}));
    fs::remove_all(scratch);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    try {
        fs::path root = argv[1];
        fs::remove_all(root);
        TSeedWriter seeds(root);
        ImageSeeds(seeds);
        WebSeeds(seeds);
        StorageSeeds(seeds, root / ("scratch-" + std::to_string(::getpid())));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
