// The counter database's public face: ICounter, the entry object TCObject, the skin records
// TSkinLayout and TSkinInfo, OpenCounter and CloseCounter. Everything else in counterdb/ is
// internal. Dates are local-time TDateTime; texts are byte strings.
#pragma once

#include "platform/Clock.h"
#include "platform/Guid.h"
#include "platform/MemoryStream.h"
#include "platform/StrUtils.h"
#include "platform/StringList.h"
#include "platform/TypedStream.h"
#include "storage/Unknown.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

struct IVirtualAtom;

// The data class of a counter database file.
inline constexpr TGUID CounterDataClass = GuidOf("{28C7266E-7262-431C-BF61-DCB4F19C8DC0}");

// Number of images of a skin: the logo, then the digits 0 to 9.
inline constexpr int SkinImageCount = 11;
// Images handed in (not owned; a nil entry 0 means "no images").
using TSkinStreams = std::array<TStream*, SkinImageCount>;
// Images handed out (owned by the caller, each positioned at 0).
using TSkinImages = std::array<std::unique_ptr<TMemoryStream>, SkinImageCount>;

// The layout record of a skin: 26 bytes, packed, little-endian, as stored in the skin file and
// in the database.
struct TSkinLayout {
    static constexpr size_t ByteSize = 26;

    uint8_t Align = 2;  // 0 left, 1 right, 2 centre; anything else draws no digits
    int32_t Digits = 6; // minimum number of digits
    int32_t DigitHeight = 14;
    int32_t X = 0;
    uint8_t Overlay = 0; // non-zero: digits drawn over the background at X, Y
    int32_t Spacing = 3;
    int32_t Y = 25;
    int32_t StripWidth = 81;

    std::array<uint8_t, ByteSize> Bytes() const;
    // Raises EReadError when fewer than 26 bytes are given; extra bytes are ignored.
    static TSkinLayout FromBytes(std::span<const uint8_t> bytes);
    friend bool operator==(const TSkinLayout&, const TSkinLayout&) = default;
};

// The information block of a skin: 768 bytes, three strings of 256 bytes each (a length byte
// and up to 255 characters; bytes after the text are kept but not interpreted).
struct TSkinInfo {
    static constexpr size_t ByteSize = 768;
    static constexpr size_t FieldSize = 256;
    static constexpr size_t URLOffset = 0;
    static constexpr size_t AuthorOffset = 256;
    static constexpr size_t NameOffset = 512;

    std::array<uint8_t, ByteSize> Bytes{};

    std::string URL() const { return Field(URLOffset); }
    std::string Author() const { return Field(AuthorOffset); }
    std::string Name() const { return Field(NameOffset); }
    // Texts longer than 255 bytes are cut.
    void SetURL(std::string_view text) { SetField(URLOffset, text); }
    void SetAuthor(std::string_view text) { SetField(AuthorOffset, text); }
    void SetName(std::string_view text) { SetField(NameOffset, text); }

    // Raises EReadError when fewer than 768 bytes are given.
    static TSkinInfo FromBytes(std::span<const uint8_t> bytes);
    friend bool operator==(const TSkinInfo&, const TSkinInfo&) = default;

private:
    std::string Field(size_t offset) const;
    void SetField(size_t offset, std::string_view text);
};

// One entry's data in the host, page and referrer lists. Page and referrer lists put the count
// in Hits and 0 in Visits.
class TCObject : public TObject {
public:
    TCObject(int32_t hits, TDateTime date, int32_t visits) : Date(date), Hits(hits), Visits(visits) {}

    // A list makes one for each of its rows: they come from a pool, not one heap block each.
    static void* operator new(std::size_t size);
    static void operator delete(void* object, std::size_t size) noexcept;

    TDateTime Date = 0;
    int32_t Hits = 0;
    int32_t Visits = 0;
};

// A page's hits per day, as GetHitsForDaysOfPages hands them out.
struct TPageDays {
    std::string Node;
    std::vector<int32_t> Hits;
};

// The counter database. Obtained from OpenCounter; every change is committed when the last
// reference goes (or by CloseCounter). Engine failures raise EKVZError; unreadable records
// raise EReadError; unreadable numbers EConvertError. Lists are new TStringLists owned by the
// caller; host, page and referrer lists carry a TCObject per entry, value statistics carry
// the count in the entry's integer.
struct ICounter : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{28BADE5D-B8FE-4645-8622-3B77D0830BD5}");

    // Total hosts (the visitor counter); -1 when its text is not a number.
    virtual int32_t GetTotalHosts() = 0;
    // Copies of skin Index's 11 images, or of skin 0's when Index is not a complete skin.
    virtual void GetSkinImages(int32_t Index, TSkinImages& Images) = 0;
    virtual TStringList GetSkipList() = 0;
    // SortMode 1 last hit descending, 2 hits descending, 3 visits descending, other positive
    // values by address; 0 or below: index order.
    virtual TStringList GetHostList(int32_t SortMode) = 0;
    virtual std::string GetPassword() = 0;
    virtual bool HostExists(std::string_view IP) = 0;
    virtual void AddSkipIP(std::string_view IP) = 0;
    // Books one hit of IP at Date: a new visit when it comes more than the revisit interval
    // after the host's last hit. Reserved has no effect.
    virtual void RegisterVisit(std::string_view IP, std::string_view Referer, TDateTime Date, bool CountReferer,
                               bool CheckSkip, bool Reserved) = 0;
    virtual void SetTotalHosts(int32_t Value) = 0;
    // Appends a skin slot with copies of the 11 streams (each read whole from position 0).
    // Raises, adding nothing, when a stream is missing.
    virtual bool AddSkin(const TSkinStreams& Images) = 0;
    // Empties slot Index; slot 0 and indexes outside the slots are left alone.
    virtual void DeleteSkin(int32_t Index) = 0;
    virtual void DeleteHost(std::string_view IP) = 0;
    virtual void DeleteSkipIP(std::string_view IP) = 0;
    virtual void ClearHosts() = 0;
    virtual void ClearSkipList() = 0;
    // Keeps only slot 0.
    virtual void ClearSkins() = 0;
    // One entry per slot: "Assigned image # N" or "UnAssigned".
    virtual TStringList GetSkinNames() = 0;
    virtual void SetPassword(std::string_view Text) = 0;
    virtual bool IsSkinComplete(int32_t Index) = 0;
    virtual int32_t GetHostCount() = 0;
    // Number of slots, empty ones included.
    virtual int32_t GetSkinCount() = 0;
    virtual int32_t GetSkipCount() = 0;
    virtual int32_t GetHostHits(std::string_view IP) = 0;
    virtual int32_t GetHostVisits(std::string_view IP) = 0;
    virtual void SetInterval(int32_t Minutes) = 0;
    virtual int32_t GetInterval() = 0;
    virtual std::string GetHomePageURL() = 0;
    // An empty URL changes nothing.
    virtual void SetHomePageURL(std::string_view URL) = 0;
    // One hit on page Node (not per day); UpdateDate sets the page's date to now.
    virtual void RegisterNodeHit(std::string_view IP, std::string_view Node, bool UpdateDate) = 0;
    // Adds Node with count 0 (an existing page is reset).
    virtual void AddNode(std::string_view Node) = 0;
    virtual void DeleteNode(std::string_view Node) = 0;
    // SortMode 1 date descending, 2 count descending, other positive values by name;
    // 0 or below: index order.
    virtual TStringList GetNodeList(int32_t SortMode) = 0;
    // Hits of page Node (of the site when Node is empty) on the day of Date.
    virtual int32_t GetHitsByDate(std::string_view Node, TDateTime Date) = 0;
    virtual int32_t GetHostsByDate(TDateTime Date) = 0;
    // GetHitsByDate and GetHostsByDate for each of Days days from day number First on, the day
    // table read once. A day whose count is not a number gives 0; for pages so does a day whose
    // lookup fails, which for the site's hosts raises.
    virtual std::vector<int32_t> GetHitsForDays(std::string_view Node, int32_t First, int32_t Days) = 0;
    virtual std::vector<int32_t> GetHostsForDays(int32_t First, int32_t Days) = 0;
    // Every page in GetNodeNames' order with its GetHitsForDays counts, the pages walked once
    // instead of looked up one by one. A page whose counts cannot be read gets Days zeros.
    virtual std::vector<TPageDays> GetHitsForDaysOfPages(int32_t First, int32_t Days) = 0;
    // Sum over the days from Date1 to Date2, both included, in either order; all days when All.
    virtual int32_t GetHitsForPeriod(std::string_view Node, bool All, TDateTime Date1, TDateTime Date2) = 0;
    virtual int32_t GetHostsForPeriod(bool All, TDateTime Date1, TDateTime Date2) = 0;
    virtual TStringList GetNodeNames() = 0;
    // +1 on the day of Date for page Node (the site when Node is empty); skipped IPs book nothing.
    virtual void AddHitByDate(std::string_view IP, std::string_view Node, TDateTime Date) = 0;
    virtual void AddHostByDate(std::string_view IP, TDateTime Date) = 0;
    virtual void SetSiteName(std::string_view Name) = 0;
    virtual std::string GetSiteName() = 0;
    // Leaves the arguments alone when the slot is empty or outside the slots.
    virtual void GetSkinInfo(int32_t Index, TSkinInfo& Texts, int32_t& Colour, TSkinLayout& Header) = 0;
    // List is for database creation only; pass nullptr.
    virtual void SetSkinInfo(int32_t Index, const TSkinLayout& Header, const TSkinInfo& Texts, int32_t Colour,
                             IVirtualAtom* List) = 0;
    virtual int32_t GetTotalHits() = 0;
    virtual TDateTime GetCreationDate() = 0;
    virtual bool GetOptionFlag() = 0;
    // Always 0.
    virtual int32_t GetReservedValue() = 0;
    virtual void GetStorageID(TGUID& ID) = 0;
    virtual void SetOptionFlag(bool Value) = 0;
    virtual void RegisterReferer(std::string_view Referer, TDateTime Date) = 0;
    // Sort modes as GetNodeList.
    virtual TStringList GetRefererList(int32_t SortMode) = 0;
    // False when the referrers could not be cleared.
    virtual bool ClearReferers() = 0;
    virtual void SetExtraText(std::string_view Text) = 0;
    virtual std::string GetExtraText() = 0;
    // -1 when the referrers cannot be counted.
    virtual int32_t GetRefererCount() = 0;
    // Removes the key exactly as given (no normalisation).
    virtual void DeleteReferer(std::string_view Host) = 0;
    // Never raises.
    virtual void SetTaggedValue(std::string_view Key, std::string_view Value) = 0;
    virtual void AddPairedValue(std::string_view Key, std::string_view First) = 0;
    virtual void AppendPairedValue(std::string_view Key, std::string_view Second) = 0;
    // Both lists are replaced.
    virtual void GetPairedValueStats(TStringList& FirstList, TStringList& SecondList) = 0;
    virtual TStringList GetTaggedValueStats() = 0;
    virtual void ClearTaggedValues() = 0;
    virtual void ClearPairedValues() = 0;
    virtual void RegisterHourlyHit(std::string_view IP, std::string_view Node, TDateTime Date) = 0;
    // Hours[0] := total; Hours[1..24] := hours 0..23 of page Node (site when empty). Entries of
    // a missing table are left as passed, with Hours[0] = 0.
    virtual void GetHourlyHits(std::array<int32_t, 25>& Hours, std::string_view Node) = 0;

protected:
    ~ICounter() = default;
};

// Offered by a counter beside ICounter, for a page that shows the first rows of the host list
// only: the rows are chosen as the walk goes, and only those are made.
struct IHostListHead : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{1C6F06C3-9DF3-43EF-9C65-156E4E7920C8}");
    // The first Count rows (none when Count is 0 or below) of what GetHostList(SortMode) would
    // give, and in Total the number of rows that has.
    virtual TStringList GetHostListHead(int32_t SortMode, int32_t Count, int32_t& Total) = 0;

protected:
    ~IHostListHead() = default;
};

// Opens the counter database FileName, first creating it when missing (skin 0 from Images, or
// drawn when Images[0] is nil). Nil on a failure: busy, damaged, another data class; but an
// interrupted commit that cannot be rolled back raises its EOstraOpenError (208, 209).
TRef<ICounter> OpenCounter(const std::string& FileName, const TSkinStreams& Images = {});

// Commits the counter's changes now and drops Counter's reference. Raises when the commit
// fails (the changes are then lost). Any other reference to the counter is left unusable:
// its operations raise.
void CloseCounter(TRef<ICounter>& Counter);
