// Fuzz target: a storage file of arbitrary bytes opened as a counter database, and when it
// opens, every read operation of the counter. The file lives in a private temporary folder.
#include "FuzzTarget.h"

#include "counterdb/UCounter.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

// A folder of this process, removed at exit.
class TFuzzFolder {
public:
    TFuzzFolder()
        : Path(std::filesystem::temp_directory_path() / ("kestrow-fuzz-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(Path);
    }
    ~TFuzzFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(Path, ignored);
    }
    std::filesystem::path Path;
};

void ReadEverything(ICounter& counter) {
    const TDateTime now = 45000;
    counter.GetTotalHosts();
    counter.GetTotalHits();
    counter.GetSkipList();
    counter.GetHostList(0);
    counter.GetHostList(1);
    counter.GetPassword();
    counter.HostExists("127.0.0.1");
    counter.GetSkinNames();
    counter.GetHostCount();
    counter.GetSkipCount();
    counter.GetHostHits("127.0.0.1");
    counter.GetHostVisits("127.0.0.1");
    counter.GetInterval();
    counter.GetHomePageURL();
    counter.GetNodeList(0);
    counter.GetNodeNames();
    counter.GetHitsForDays("/", int32_t(now) - 30, 31);
    counter.GetHitsForDaysOfPages(int32_t(now) - 30, 31);
    counter.GetHitsByDate("", now);
    counter.GetHostsByDate(now);
    counter.GetHitsForPeriod("", true, now - 30, now);
    counter.GetHostsForPeriod(false, now - 30, now);
    counter.GetSiteName();
    counter.GetCreationDate();
    counter.GetOptionFlag();
    counter.GetReservedValue();
    TGUID id;
    counter.GetStorageID(id);
    counter.GetRefererList(0);
    counter.GetRefererCount();
    counter.GetExtraText();
    TStringList first, second;
    counter.GetPairedValueStats(first, second);
    counter.GetTaggedValueStats();
    std::array<int32_t, 25> hours{};
    counter.GetHourlyHits(hours, "");
    for (int32_t skin = 0, count = std::min(counter.GetSkinCount(), 4); skin < count; ++skin) {
        counter.IsSkinComplete(skin);
        TSkinImages images;
        counter.GetSkinImages(skin, images);
        TSkinInfo texts;
        int32_t colour = 0;
        TSkinLayout layout;
        counter.GetSkinInfo(skin, texts, colour, layout);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    static TFuzzFolder folder;
    const std::string file = (folder.Path / "counter.ostra").string();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(Data), std::streamsize(Size));
    }
    try {
        TRef<ICounter> counter = OpenCounter(file);
        if (counter) ReadEverything(*counter);
    } catch (const Exception&) {
    }
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder.Path, ignored))
        std::filesystem::remove_all(entry.path(), ignored);
    return 0;
}
