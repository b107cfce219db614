// The stored skins (see SkinStore.h). The skins list is held read-only; a change raises its
// access for the change only.
#include "counterdb/SkinStore.h"

#include "counterdb/CounterRecords.h"
#include "platform/Bitmap.h"
#include "platform/Report.h"

#include <string>
#include <vector>

namespace {

inline constexpr int32_t DefaultSkinColour = 13611961; // 0xCFB3B9

// A skin atom links its information record here (links 0-9 are the digits).
inline constexpr uint32_t SkinInfoLink = 11;

// The record of skin 0 of a new database, for the drawn and for the given images.
inline constexpr const char* MakerURL = "http://kestrow.invalid/";
inline constexpr const char* MakerName = "Kestrow";

TSkinInfo SkinTexts(std::string_view url, std::string_view author, std::string_view name) {
    TSkinInfo info;
    info.SetURL(url);
    info.SetAuthor(author);
    info.SetName(name);
    return info;
}

TSkinLayout DefaultSkinLayout() { return TSkinLayout{}; }
TSkinInfo DefaultSkinTexts() { return SkinTexts("http://", "Unknown author", "Noname"); }
TSkinLayout DrawnSkinLayout() { return TSkinLayout{2, 6, 25, 0, 0, 3, 25, 150}; }
TSkinLayout GivenSkinLayout() { return TSkinLayout{2, 6, 8, 0, 0, 3, 0, 81}; }

std::vector<uint8_t> DrawnImage(int width, int height, int x, int y, std::string_view text) {
    TBitmap bitmap(width, height, pf24bit);
    bitmap.BrushColor = clBlack;
    bitmap.FontColor = clWhite;
    bitmap.FillRect(TRect{0, 0, width, height});
    bitmap.TextOut(x, y, text);
    return bitmap.SaveToBMP();
}

std::vector<uint8_t> DrawnSkinImage(int index) {
    if (index == 0) return DrawnImage(150, 25, 5, 5, "Ostra-based Web Counter");
    return DrawnImage(15, 25, 3, 6, std::to_string(index - 1));
}

// A given image is read as a BMP file and written again in the same format.
std::vector<uint8_t> GivenSkinImage(TStream& stream) {
    TBitmap bitmap;
    bitmap.LoadFromBMP(stream.ReadAll());
    return bitmap.SaveToBMP();
}

// Restores an atom's access bits when the scope ends, also on failure.
class TAccessGuard {
public:
    TAccessGuard(IVirtualAtom* atom, TAccess raised) : FAtom(atom), FSaved(atom->GetAccess()) {
        atom->SetAccess(raised);
    }
    ~TAccessGuard() {
        try {
            FAtom->SetAccess(FSaved);
        } catch (const std::exception& e) {
            ReportWarning(e.what(), "Counter");
        }
    }
    TAccessGuard(const TAccessGuard&) = delete;
    TAccessGuard& operator=(const TAccessGuard&) = delete;

private:
    IVirtualAtom* FAtom;
    TAccess FSaved;
};

void CopySkinImages(IVirtualAtom* skins, int32_t index, TSkinImages& images) {
    TRef<IVirtualAtom> skin = OpenSkin(skins, index, AccessReadOnly);
    for (int i = 0; i < SkinImageCount; ++i) images[size_t(i)] = std::make_unique<TMemoryStream>();
    if (!skin) return;
    images[0] = std::make_unique<TMemoryStream>(skin->GetBytes());
    for (uint32_t digit = 0; digit < 10; ++digit)
        if (TRef<IVirtualAtom> image = skin->OpenLinkAccess(digit, AccessReadOnly))
            images[digit + 1] = std::make_unique<TMemoryStream>(image->GetBytes());
}

// The images of a complete skin, each read once, testing them in IsSkinComplete's order; false
// (and images untouched) at the first one missing or empty.
bool CopyCompleteSkin(IVirtualAtom* skins, int32_t index, TSkinImages& images) {
    TRef<IVirtualAtom> skin = OpenSkin(skins, index, AccessReadOnly);
    if (!skin || skin->GetDataSize() == 0) return false;
    TSkinImages copies;
    copies[0] = std::make_unique<TMemoryStream>(skin->GetBytes());
    for (uint32_t digit = 0; digit < 10; ++digit) {
        TRef<IVirtualAtom> image = skin->OpenLinkAccess(digit, AccessReadOnly);
        if (!image || image->GetDataSize() == 0) return false;
        copies[digit + 1] = std::make_unique<TMemoryStream>(image->GetBytes());
    }
    images = std::move(copies);
    return true;
}

} // namespace

void CreateDefaultSkin(IVirtualStorage* storage, IVirtualAtom* skins, const TSkinStreams& images) {
    bool drawn = images[0] == nullptr;
    std::array<std::vector<uint8_t>, SkinImageCount> pictures;
    for (int i = 0; i < SkinImageCount; ++i) {
        if (drawn)
            pictures[size_t(i)] = DrawnSkinImage(i);
        else if (!images[size_t(i)])
            throw EReadError("Default skin image " + std::to_string(i) + " is missing");
        else
            pictures[size_t(i)] = GivenSkinImage(*images[size_t(i)]);
    }
    {
        TRef<IVirtualAtom> skin = storage->NewAtom();
        skins->SetLink(0, skin.get());
        skin->SetBytes(pictures[0]);
        for (uint32_t digit = 0; digit < 10; ++digit) {
            TRef<IVirtualAtom> image = storage->NewAtom();
            image->SetBytes(pictures[digit + 1]);
            skin->SetLink(digit, image.get());
        }
    }
    if (drawn)
        WriteSkinInfo(skins, 0, DrawnSkinLayout(), SkinTexts(MakerURL, MakerName, "DEfaULt"), 0);
    else
        WriteSkinInfo(skins, 0, GivenSkinLayout(), SkinTexts(MakerURL, MakerName, "Default Kestrow Skin"),
                      DefaultSkinColour);
}

TRef<IVirtualAtom> OpenSkin(IVirtualAtom* skins, int32_t index, TAccess access) {
    if (!skins || index < 0 || uint32_t(index) >= skins->GetLinkCount()) return nullptr;
    return skins->OpenLinkAccess(uint32_t(index), access);
}

TStringList SkinNames(IVirtualAtom* skins) {
    TStringList list;
    int32_t count = skins ? int32_t(skins->GetLinkCount()) : 0;
    for (int32_t i = 0; i < count; ++i)
        list.Add(skins->HasLink(uint32_t(i)) ? "Assigned image # " + std::to_string(i) : "UnAssigned");
    return list;
}

void AddSkin(IVirtualAtom* skins, IStorageTransaction* trans, const TSkinStreams& images) {
    if (!skins) throw EKVZError(OstraCode::BrokenLink, OstraMsg::BrokenLink);
    // Every stream is read before anything is linked, so a missing one adds nothing.
    std::array<std::vector<uint8_t>, SkinImageCount> pictures;
    for (int i = 0; i < SkinImageCount; ++i) {
        if (!images[size_t(i)]) throw EReadError("Skin image " + std::to_string(i) + " is missing");
        pictures[size_t(i)] = images[size_t(i)]->ReadAll();
    }
    TAccessGuard guard(skins, AccessDefault);
    TRef<IVirtualAtom> skin = trans->NewAtom();
    skin->SetBytes(pictures[0]);
    for (uint32_t digit = 0; digit < 10; ++digit) {
        TRef<IVirtualAtom> image = trans->NewAtom();
        image->SetBytes(pictures[digit + 1]);
        skin->SetLink(digit, image.get());
    }
    skins->SetLink(skins->GetLinkCount(), skin.get());
}

void DeleteSkin(IVirtualAtom* skins, int32_t index) {
    // Slot 0 stays; indexes outside the slots must not grow the list.
    if (!skins || index <= 0 || uint32_t(index) >= skins->GetLinkCount()) return;
    TAccessGuard guard(skins, AccessDefault);
    skins->SetLink(uint32_t(index), nullptr);
}

void ClearSkins(IVirtualAtom* skins) {
    if (!skins) return;
    TAccessGuard guard(skins, AccessDefault);
    skins->SetLinkCount(1);
}

bool IsSkinComplete(IVirtualAtom* skins, int32_t index) {
    TRef<IVirtualAtom> skin = OpenSkin(skins, index, AccessReadOnly);
    if (!skin || skin->GetDataSize() == 0) return false;
    for (uint32_t digit = 0; digit < 10; ++digit) {
        TRef<IVirtualAtom> image = skin->OpenLinkAccess(digit, AccessReadOnly);
        if (!image || image->GetDataSize() == 0) return false;
    }
    return true;
}

void GetSkinImages(IVirtualAtom* skins, int32_t index, TSkinImages& images) {
    // A damaged skin 0 gives empty streams for what it lacks.
    if (!CopyCompleteSkin(skins, index, images)) CopySkinImages(skins, 0, images);
}

void GetSkinInfo(IVirtualAtom* skins, int32_t index, TSkinInfo& texts, int32_t& colour, TSkinLayout& header) {
    TRef<IVirtualAtom> skin = OpenSkin(skins, index, AccessReadOnly);
    if (!skin) return;
    texts = DefaultSkinTexts();
    colour = DefaultSkinColour;
    if (TRef<IVirtualAtom> info = skin->OpenLinkAccess(SkinInfoLink, AccessReadOnly)) {
        ReadSkinInfoRecord(info->GetBytes(), texts, colour, header);
        return;
    }
    skin->SetAccess(AccessAll);
    TRef<IVirtualAtom> info = skin->GetStorage()->NewAtomAccess(AccessAll);
    info->Write(0, SkinInfoRecord(DefaultSkinLayout(), texts, colour));
    skin->SetLink(SkinInfoLink, info.get());
    header = DefaultSkinLayout();
}

void WriteSkinInfo(IVirtualAtom* skins, int32_t index, const TSkinLayout& header, const TSkinInfo& texts,
                   int32_t colour) {
    TRef<IVirtualAtom> skin = OpenSkin(skins, index, AccessReadOnly);
    if (!skin) return;
    TAccessGuard guard(skin.get(), AccessAll);
    TRef<IVirtualAtom> info = skin->OpenLink(SkinInfoLink);
    if (!info) {
        info = skin->GetStorage()->NewAtom();
        skin->SetLink(SkinInfoLink, info.get());
    }
    info->SetDataSize(0);
    info->Write(0, SkinInfoRecord(header, texts, colour));
}
