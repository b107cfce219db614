// FreeType rendering of DejaVu Sans Bold for the raster layer; the face is taken from its Debian
// path, else found through fontconfig, opened at the first text drawn and kept for the life of
// the process.
#include "platform/Font.h"

#include "platform/Exception.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cmath>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

constexpr const char* FontPattern = "DejaVu Sans:style=Bold";
constexpr const char* DebianFontPath = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";
constexpr int ScreenDpi = 96;

// fontconfig's start-up reads every font folder and cache: several milliseconds that a CGI
// request pays in full, so it is asked only when the face is not where Debian puts it.
std::string FindFontFile() {
    if (std::filesystem::exists(DebianFontPath)) return DebianFontPath;
    std::string found;
    if (FcInit()) {
        FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(FontPattern));
        if (pattern) {
            FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
            FcDefaultSubstitute(pattern);
            FcResult result = FcResultNoMatch;
            FcPattern* match = FcFontMatch(nullptr, pattern, &result);
            FcChar8* file = nullptr;
            if (match && FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch && file) {
                std::string path(reinterpret_cast<const char*>(file));
                // fontconfig answers with its best substitute when the face is missing; accept only
                // the bold DejaVu Sans file itself.
                if (std::filesystem::path(path).filename() == "DejaVuSans-Bold.ttf") found = path;
            }
            if (match) FcPatternDestroy(match);
            FcPatternDestroy(pattern);
        }
        // The face is looked up once; fontconfig's caches are of no further use.
        FcFini();
    }
    if (found.empty()) throw Exception("DejaVu Sans Bold font not found");
    return found;
}

class TFaceHolder {
public:
    TFaceHolder() {
        if (FT_Init_FreeType(&FLibrary) != 0) throw Exception("FreeType cannot start");
        std::string path = FindFontFile();
        if (FT_New_Face(FLibrary, path.c_str(), 0, &FFace) != 0) {
            FT_Done_FreeType(FLibrary);
            throw Exception("Cannot load font " + path);
        }
    }
    ~TFaceHolder() {
        FT_Done_Face(FFace);
        FT_Done_FreeType(FLibrary);
    }
    TFaceHolder(const TFaceHolder&) = delete;
    TFaceHolder& operator=(const TFaceHolder&) = delete;

    FT_Face Face(int pixelSize) {
        if (pixelSize != FPixelSize) {
            if (FT_Set_Pixel_Sizes(FFace, 0, FT_UInt(pixelSize)) != 0) throw Exception("Cannot size font");
            FPixelSize = pixelSize;
        }
        return FFace;
    }

private:
    FT_Library FLibrary = nullptr;
    FT_Face FFace = nullptr;
    int FPixelSize = 0;
};

FT_Face BoldFace(int points) {
    static TFaceHolder holder;
    return holder.Face(FontPixelSize(points));
}

// Next code point of UTF-8 text; a malformed byte is taken as Latin-1.
uint32_t NextCodePoint(std::string_view text, size_t& pos) {
    auto byte = [&](size_t i) { return uint8_t(text[i]); };
    uint8_t lead = byte(pos);
    int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (extra == 0 || pos + size_t(extra) >= text.size()) {
        ++pos;
        return lead;
    }
    uint32_t code = lead & (0x3F >> extra);
    for (int i = 1; i <= extra; ++i) {
        uint8_t next = byte(pos + size_t(i));
        if ((next & 0xC0) != 0x80) {
            ++pos;
            return lead;
        }
        code = (code << 6) | (next & 0x3F);
    }
    pos += size_t(extra) + 1;
    return code;
}

struct TLineMetrics {
    int Ascent = 0;
    int Height = 0;
};

TLineMetrics LineMetrics(FT_Face face) {
    int ascent = int(face->size->metrics.ascender >> 6);
    int descent = int(-(face->size->metrics.descender >> 6));
    return {ascent, ascent + descent};
}

constexpr FT_Int32 MonoLoadFlags = FT_LOAD_RENDER | FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME;

template <typename Visit> int WalkGlyphs(FT_Face face, std::string_view text, Visit visit) {
    int pen = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        uint32_t code = NextCodePoint(text, pos);
        if (FT_Load_Char(face, code, MonoLoadFlags) != 0) continue;
        visit(face->glyph, pen);
        pen += int(face->glyph->advance.x >> 6);
    }
    return pen;
}

} // namespace

int FontPixelSize(int points) {
    if (points <= 0) points = 8;
    return int(std::lround(points * double(ScreenDpi) / 72.0));
}

void MeasureBoldText(std::string_view text, int points, int& width, int& height) {
    FT_Face face = BoldFace(points);
    height = LineMetrics(face).Height;
    width = WalkGlyphs(face, text, [](FT_GlyphSlot, int) {});
}

TTextMask RenderBoldText(std::string_view text, int points) {
    TTextMask mask;
    MeasureBoldText(text, points, mask.Width, mask.Height);
    mask.Ink.assign(size_t(mask.Width) * size_t(mask.Height), 0);
    FT_Face face = BoldFace(points);
    int ascent = LineMetrics(face).Ascent;
    WalkGlyphs(face, text, [&](FT_GlyphSlot glyph, int pen) {
        const FT_Bitmap& bits = glyph->bitmap;
        if (bits.pixel_mode != FT_PIXEL_MODE_MONO) return;
        for (unsigned row = 0; row < bits.rows; ++row) {
            int y = ascent - glyph->bitmap_top + int(row);
            if (y < 0 || y >= mask.Height) continue;
            const uint8_t* src = bits.buffer + ptrdiff_t(row) * bits.pitch;
            for (unsigned col = 0; col < bits.width; ++col) {
                int x = pen + glyph->bitmap_left + int(col);
                if (x < 0 || x >= mask.Width) continue;
                if (src[col >> 3] & (0x80 >> (col & 7))) mask.Ink[size_t(y) * size_t(mask.Width) + size_t(x)] = 1;
            }
        }
    });
    return mask;
}
