// Icons held in their icon-file form, and TIconList: an owned, ordered list of icons with change
// notification and a stream form of its own. No icon resources: nothing here loads from a module.
#pragma once

#include "platform/Bitmap.h"
#include "platform/MemoryStream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

// An icon: the bytes of an icon file (directory of one or more images, each a BMP info header,
// the colour rows and the 1-bit mask rows). Copyable value.
class TIcon {
public:
    TIcon() = default;
    // Copies the picture, not the change handler of the source.
    TIcon(const TIcon& Source)
        : Transparent(Source.Transparent), FData(Source.FData), FWidth(Source.FWidth), FHeight(Source.FHeight) {}
    TIcon& operator=(const TIcon& Source) {
        Assign(Source);
        return *this;
    }

    bool Empty() const { return FData.empty(); }
    // Size of the first image of the directory (0 when empty).
    int Width() const { return FWidth; }
    int Height() const { return FHeight; }

    // Takes the bytes of an icon file (directory type 1); raises EInvalidGraphic when the
    // directory or an image entry does not fit the data. Empty data makes the icon empty.
    void LoadFromBytes(std::span<const uint8_t> Data);
    // Reads the stream from its position to the end.
    void LoadFromStream(TStream& Stream);
    const std::vector<uint8_t>& Bytes() const { return FData; }
    void SaveToStream(TStream& Stream) const { Stream.Write(FData); }
    void Assign(const TIcon& Source);

    // Draws the first image with its top-left corner at (X, Y), leaving out the masked pixels;
    // a 32-bit image with alpha is blended by its alpha instead. Images stored as PNG draw nothing.
    void Draw(TBitmap& Canvas, int X, int Y) const;

    // The graphic's Transparent flag; icons draw transparently.
    bool Transparent = true;
    std::function<void(TIcon& Sender)> OnChange;

private:
    std::vector<uint8_t> FData;
    int FWidth = 0;
    int FHeight = 0;
};

// Owned, ordered list of icons; an entry may be empty (null) after loading.
class TIconList {
public:
    TIconList() = default;
    TIconList(const TIconList&) = delete;
    TIconList& operator=(const TIconList&) = delete;
    virtual ~TIconList();

    // Calls OnChange when no update is open.
    virtual void NotifyChanged();
    // The icon at Index, or null for an empty entry.
    virtual TIcon* GetIcon(int Index) const;
    virtual int IconCount() const { return int(FIcons.size()); }
    // Index may equal the count (appends); an empty slot gets a new icon.
    virtual void SetIcon(int Index, const TIcon& Icon);
    virtual int AddIcon(const TIcon& Icon);
    virtual void ClearIcons();
    virtual void DeleteIcon(int Index);
    virtual void ExchangeIcons(int I, int J);
    // Index of that very icon object, or -1.
    virtual int IndexOfIcon(const TIcon* Icon) const;
    virtual void InsertIcon(int Index, const TIcon& Icon);
    // The list stream: 32-bit count, then per entry a 32-bit size and the icon file (0 = empty).
    virtual void LoadIcons(TStream& Stream);
    virtual void MoveIcon(int From, int To);
    virtual void SaveIcons(TStream& Stream) const;

    void IconListBeginUpdate() { ++FUpdateCount; }
    void IconListEndUpdate();
    // Appends the icon object itself (null for an empty entry); returns its index.
    int AttachIcon(std::unique_ptr<TIcon> Icon);

    void Assign(const TIconList& Source);
    void Assign(const TIcon& Source);
    void Assign(std::nullptr_t) { ClearIcons(); }

    std::function<void(TIconList& Sender)> OnChange;

private:
    void Hook(TIcon& icon);
    void CheckIndex(int index, bool allowEnd = false) const;
    // Runs Work inside one update, which is closed again when Work raises.
    template <class Work> void InUpdate(Work&& work) {
        IconListBeginUpdate();
        try {
            work();
        } catch (...) {
            IconListEndUpdate();
            throw;
        }
        IconListEndUpdate();
    }

    std::vector<std::unique_ptr<TIcon>> FIcons;
    int FUpdateCount = 0;
};
