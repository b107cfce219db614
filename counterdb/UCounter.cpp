// TOstraCounter: the counter database object. It creates and opens the database file, keeps
// one transaction for its whole life (committed when it goes) and the atoms and indexes it
// reads on every page, and answers ICounter by handing each operation to the unit of the data
// model it concerns; the root link texts (totals, settings) are read and written here.
#include "counterdb/UCounter.h"

#include "counterdb/CounterRecords.h"
#include "counterdb/HostTable.h"
#include "counterdb/HourTables.h"
#include "counterdb/IndexWalks.h"
#include "counterdb/PageTables.h"
#include "counterdb/RefererTable.h"
#include "counterdb/RootLinks.h"
#include "counterdb/SkinStore.h"
#include "counterdb/ValueTables.h"
#include "index/KVZIndex.h"
#include "platform/BlockPool.h"
#include "platform/FileUtils.h"
#include "platform/OsFile.h"
#include "platform/Report.h"
#include "platform/StrUtils.h"
#include "storage/Corvane.h"

#include <cmath>
#include <optional>

namespace {

inline constexpr int32_t DefaultInterval = 720;
inline constexpr const char* DefaultPassword = "vakto";
inline constexpr const char* DefaultHomePage = "/default.htm";
inline constexpr const char* DefaultSiteName = "Your Site";

std::string ClassParams(const char* mode) {
    return std::string("Mode:") + mode + "; Class:" + CounterDataClass.ToString();
}

// The revisit interval stored under the root; the default when it cannot be read for any
// reason (missing or broken link, damaged atom, not a number).
int32_t ReadInterval(IVirtualAtom* root) {
    try {
        if (TRef<IVirtualAtom> interval = root->OpenLinkAccess(RootLink::Interval, AccessReadOnly))
            return StrToIntDef(interval->GetText(), DefaultInterval);
    } catch (const EKVZError&) {}
    return DefaultInterval;
}

// Text atoms of a new file hang straight under the root, outside any transaction.
void LinkNewText(IVirtualStorage* storage, IVirtualAtom* root, uint32_t link, std::string_view text) {
    TRef<IVirtualAtom> atom = storage->NewAtom();
    atom->SetText(text);
    root->SetLink(link, atom.get());
}

} // namespace

// ---- list rows --------------------------------------------------------------------------------

// A list makes one for each of its rows: they come from a pool, not one heap block each.
void* TCObject::operator new(std::size_t size) {
    return size == sizeof(TCObject) ? TBlockPool<sizeof(TCObject), alignof(TCObject)>::Take() : ::operator new(size);
}

void TCObject::operator delete(void* object, std::size_t size) noexcept {
    if (size == sizeof(TCObject))
        TBlockPool<sizeof(TCObject), alignof(TCObject)>::Give(object);
    else
        ::operator delete(object);
}

// ---- the counter object -----------------------------------------------------------------------

class TOstraCounter final : public TUnknown, public ICounter, public IHostListHead {
public:
    TOstraCounter(const std::string& fileName, const TSkinStreams& images);
    ~TOstraCounter() override;

    // Releases the held atoms and indexes in a fixed order, then commits. Raises when the
    // commit fails; the counter is closed afterwards either way.
    void Finish();

    int32_t GetTotalHosts() override;
    void GetSkinImages(int32_t Index, TSkinImages& Images) override;
    TStringList GetSkipList() override;
    TStringList GetHostList(int32_t SortMode) override;
    // IHostListHead
    TStringList GetHostListHead(int32_t SortMode, int32_t Count, int32_t& Total) override;
    std::string GetPassword() override;
    bool HostExists(std::string_view IP) override;
    void AddSkipIP(std::string_view IP) override;
    void RegisterVisit(std::string_view IP, std::string_view Referer, TDateTime Date, bool CountReferer, bool CheckSkip,
                       bool Reserved) override;
    void SetTotalHosts(int32_t Value) override;
    bool AddSkin(const TSkinStreams& Images) override;
    void DeleteSkin(int32_t Index) override;
    void DeleteHost(std::string_view IP) override;
    void DeleteSkipIP(std::string_view IP) override;
    void ClearHosts() override;
    void ClearSkipList() override;
    void ClearSkins() override;
    TStringList GetSkinNames() override;
    void SetPassword(std::string_view Text) override;
    bool IsSkinComplete(int32_t Index) override;
    int32_t GetHostCount() override;
    int32_t GetSkinCount() override;
    int32_t GetSkipCount() override;
    int32_t GetHostHits(std::string_view IP) override;
    int32_t GetHostVisits(std::string_view IP) override;
    void SetInterval(int32_t Minutes) override;
    int32_t GetInterval() override;
    std::string GetHomePageURL() override;
    void SetHomePageURL(std::string_view URL) override;
    void RegisterNodeHit(std::string_view IP, std::string_view Node, bool UpdateDate) override;
    void AddNode(std::string_view Node) override;
    void DeleteNode(std::string_view Node) override;
    TStringList GetNodeList(int32_t SortMode) override;
    int32_t GetHitsByDate(std::string_view Node, TDateTime Date) override;
    int32_t GetHostsByDate(TDateTime Date) override;
    std::vector<int32_t> GetHitsForDays(std::string_view Node, int32_t First, int32_t Days) override;
    std::vector<int32_t> GetHostsForDays(int32_t First, int32_t Days) override;
    std::vector<TPageDays> GetHitsForDaysOfPages(int32_t First, int32_t Days) override;
    int32_t GetHitsForPeriod(std::string_view Node, bool All, TDateTime Date1, TDateTime Date2) override;
    int32_t GetHostsForPeriod(bool All, TDateTime Date1, TDateTime Date2) override;
    TStringList GetNodeNames() override;
    void AddHitByDate(std::string_view IP, std::string_view Node, TDateTime Date) override;
    void AddHostByDate(std::string_view IP, TDateTime Date) override;
    void SetSiteName(std::string_view Name) override;
    std::string GetSiteName() override;
    void GetSkinInfo(int32_t Index, TSkinInfo& Texts, int32_t& Colour, TSkinLayout& Header) override;
    void SetSkinInfo(int32_t Index, const TSkinLayout& Header, const TSkinInfo& Texts, int32_t Colour,
                     IVirtualAtom* List) override;
    int32_t GetTotalHits() override;
    TDateTime GetCreationDate() override;
    bool GetOptionFlag() override;
    int32_t GetReservedValue() override { return 0; }
    void GetStorageID(TGUID& ID) override;
    void SetOptionFlag(bool Value) override;
    void RegisterReferer(std::string_view Referer, TDateTime Date) override;
    TStringList GetRefererList(int32_t SortMode) override;
    bool ClearReferers() override;
    void SetExtraText(std::string_view Text) override;
    std::string GetExtraText() override;
    int32_t GetRefererCount() override;
    void DeleteReferer(std::string_view Host) override;
    void SetTaggedValue(std::string_view Key, std::string_view Value) override;
    void AddPairedValue(std::string_view Key, std::string_view First) override;
    void AppendPairedValue(std::string_view Key, std::string_view Second) override;
    void GetPairedValueStats(TStringList& FirstList, TStringList& SecondList) override;
    TStringList GetTaggedValueStats() override;
    void ClearTaggedValues() override;
    void ClearPairedValues() override;
    void RegisterHourlyHit(std::string_view IP, std::string_view Node, TDateTime Date) override;
    void GetHourlyHits(std::array<int32_t, 25>& Hours, std::string_view Node) override;

protected:
    void* GetInterface(const TGUID& iid) override;

private:
    void OpenDatabase(const std::string& fileName);
    void CreateDatabase(const std::string& fileName, const TSkinStreams& images);
    void ReleaseHeld();

    void CheckOpen() const;
    TRef<IVirtualAtom> OpenRoot();
    // Root link text, or nothing when the link is empty.
    std::optional<std::string> RootText(uint32_t link);
    // Root link text := Text; the atom is made in the transaction when missing.
    void SetRootText(uint32_t link, std::string_view text);
    // The tagged or paired values' index; opening made it, so an empty link raises.
    TRef<IIndexer> ValueIndex(uint32_t link);

    bool IsSkipped(std::string_view ip);
    TRef<IIndexer> HitsTable(std::string_view node, bool make);
    TRef<IIndexer> HostsTable(bool make);
    void SetTotalHits(int32_t value);
    // Fills a new hourly table; the initialiser of the hourly indexes.
    void InitHours(IIndexer* table);

    // Both stateless; made once for the counter's life.
    TRef<IIndexerFactory> TrieFactory = NewTrieIndexFactory();
    TRef<IIndexerFactory> BTreeFactory = NewBTreeIndexFactory();

    TRef<IStorageTransaction> Trans;
    TRef<IVirtualAtom> Skins;
    TRef<IVirtualAtom> PasswordAtom;
    TRef<IVirtualAtom> TotalHostsAtom;
    // The total hits atom, opened at its first use and held: every page hit reads and writes it.
    TRef<IVirtualAtom> TotalHitsAtom;
    TRef<IIndexer> Hosts;
    TRef<IIndexer> SkipList;
    TRef<IIndexer> Nodes;
    TRef<IIndexer> Referers;
    int32_t Interval = DefaultInterval;
    TDayTables DayTables;
};

void* TOstraCounter::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<ICounter, IHostListHead>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

// ---- opening, creation, lifetime --------------------------------------------------------------

TOstraCounter::TOstraCounter(const std::string& fileName, const TSkinStreams& images) {
    if (!FileExists(fileName)) {
        // Built under a scratch name, durable, then renamed into place and the folder synced, so
        // that a crash half-way leaves no file that would never open; a file that appeared
        // meanwhile wins.
        RemoveDeadScratchFiles(fileName);
        std::string scratch = ScratchNameBeside(fileName);
        try {
            CreateDatabase(scratch, images);
            if (!OsFileLayer().RenameNoReplace(scratch, fileName)) DeleteFileName(scratch);
            OsFileLayer().SyncFolderOf(fileName);
        } catch (const EOSError& error) {
            DeleteFileName(scratch);
            throw EKVZError(OstraCode::OpenFailed,
                            "Cannot create counter database \"" + fileName + "\": " + error.what());
        } catch (...) {
            DeleteFileName(scratch);
            throw;
        }
        if (!FileExists(fileName))
            throw EKVZError(OstraCode::OpenFailed, "Cannot create counter database \"" + fileName + "\"");
    }
    OpenDatabase(fileName);
}

void TOstraCounter::OpenDatabase(const std::string& fileName) {
    try {
        TRef<IVirtualStorage> storage = CreateStorage(fileName, ClassParams("Open"));
        Trans = storage->StartTransaction();
        storage.reset();
        TRef<IVirtualAtom> root = Trans->OpenRoot();
        IIndexerFactory* trie = TrieFactory.get();
        Hosts = OpenRootIndex(root.get(), RootLink::Hosts, trie, TEmptyLink::Raise);
        SkipList = OpenRootIndex(root.get(), RootLink::SkipList, trie, TEmptyLink::Make, Trans.get());
        TotalHostsAtom = root->OpenLink(RootLink::TotalHosts);
        Skins = root->OpenLinkAccess(RootLink::Skins, AccessReadOnly);
        PasswordAtom = root->OpenLink(RootLink::Password);
        Interval = ReadInterval(root.get());
        // Made when missing, but not opened: they are read only by their own operations.
        for (uint32_t link : {RootLink::TaggedValues, RootLink::PairedValues})
            if (!root->HasLink(link)) MakeRootIndex(root.get(), link, trie, Trans.get());
        Nodes = OpenRootIndex(root.get(), RootLink::Nodes, trie, TEmptyLink::Make, Trans.get());
        // Made beside the transaction, in the storage the root belongs to.
        Referers = OpenRootIndex(root.get(), RootLink::Referers, trie, TEmptyLink::Make, root->GetStorage().get());
    } catch (...) {
        ReleaseHeld();
        if (TRef<IStorageTransaction> trans = std::move(Trans)) {
            try {
                trans->Abort();
            } catch (...) {
                // Releasing the transaction aborts it as well.
            }
        }
        throw;
    }
}

void TOstraCounter::CreateDatabase(const std::string& fileName, const TSkinStreams& images) {
    TRef<IVirtualStorage> storage = CreateStorage(fileName, ClassParams("CREATE"));
    if (!storage) return;
    TRef<IVirtualAtom> root = storage->OpenRoot();
    MakeRootIndex(root.get(), RootLink::Hosts, TrieFactory.get(), storage.get());
    LinkNewText(storage.get(), root.get(), RootLink::TotalHosts, "0");
    {
        TRef<IVirtualAtom> skins = storage->NewAtom();
        root->SetLink(RootLink::Skins, skins.get());
        CreateDefaultSkin(storage.get(), skins.get(), images);
    }
    LinkNewText(storage.get(), root.get(), RootLink::Password, DefaultPassword);
    LinkNewText(storage.get(), root.get(), RootLink::Interval, IntToStr(DefaultInterval));
    MakeRootIndex(root.get(), RootLink::SkipList, TrieFactory.get(), storage.get());
    root.reset();
    storage->Flush(); // raises what the commit at release could only report
}

void TOstraCounter::ReleaseHeld() {
    Skins.reset();
    TotalHostsAtom.reset();
    TotalHitsAtom.reset();
    PasswordAtom.reset();
    Hosts.reset();
    SkipList.reset();
    Nodes.reset();
    Referers.reset();
    DayTables.Release();
}

void TOstraCounter::Finish() {
    // Commit needs every atom of the transaction closed: ours go first, in a fixed order.
    ReleaseHeld();
    if (TRef<IStorageTransaction> trans = std::move(Trans)) trans->Commit();
}

TOstraCounter::~TOstraCounter() {
    try {
        Finish();
    } catch (const std::exception& e) {
        ReportWarning(std::string("changes lost, commit failed: ") + e.what(), "Counter");
    } catch (...) {
        ReportWarning("changes lost, commit failed", "Counter");
    }
}

void TOstraCounter::CheckOpen() const {
    if (!Trans) throw EKVZError(OstraCode::TransactionState, "Counter database is closed");
}

TRef<IVirtualAtom> TOstraCounter::OpenRoot() {
    CheckOpen();
    return Trans->OpenRoot();
}

std::optional<std::string> TOstraCounter::RootText(uint32_t link) {
    TRef<IVirtualAtom> root = OpenRoot();
    TRef<IVirtualAtom> atom = root->OpenLinkAccess(link, AccessReadOnly);
    if (!atom) return std::nullopt;
    return atom->GetText();
}

void TOstraCounter::SetRootText(uint32_t link, std::string_view text) {
    TRef<IVirtualAtom> root = OpenRoot();
    if (TRef<IVirtualAtom> atom = root->OpenLink(link)) {
        atom->SetText(text);
        return;
    }
    TRef<IVirtualAtom> atom = Trans->NewAtom();
    atom->SetText(text);
    root->SetLink(link, atom.get());
}

TRef<IIndexer> TOstraCounter::ValueIndex(uint32_t link) {
    TRef<IVirtualAtom> root = OpenRoot();
    return OpenRootIndex(root.get(), link, TrieFactory.get(), TEmptyLink::Raise);
}

bool TOstraCounter::IsSkipped(std::string_view ip) { return SkipList && SkipList->KeyExists(ip); }

// ---- visits, hosts, skip list -----------------------------------------------------------------

void TOstraCounter::RegisterVisit(std::string_view IP, std::string_view Referer, TDateTime Date, bool CountReferer,
                                  bool CheckSkip, bool /*Reserved*/) {
    CheckOpen();
    if (IP.empty()) return;
    if (CheckSkip && IsSkipped(IP)) return;

    // Everything that can refuse the hit is read before anything is written.
    TRef<IVirtualAtom> hostAtom;
    std::optional<THostRecord> last = FindHost(Hosts.get(), IP, hostAtom);
    bool newVisit = !last || IsNewVisit(*last, Date, Interval);
    std::optional<int32_t> totalHosts;
    if (newVisit) {
        if (!TotalHostsAtom) throw EConvertError("'' is not a valid integer value");
        totalHosts = StrToInt(TotalHostsAtom->GetText());
    }

    if (CountReferer) {
        hostAtom.reset();
        RegisterReferer(Referer, Date);
        if (last) Hosts->FindKey(IP, hostAtom);
    }
    WriteHostHit(Hosts.get(), hostAtom.get(), last, IP, Date, newVisit);
    hostAtom.reset();
    if (!newVisit) return;
    TotalHostsAtom->SetText(IntToStr(Add32(*totalHosts, 1)));
    AddHostByDate(IP, Date);
}

bool TOstraCounter::HostExists(std::string_view IP) {
    CheckOpen();
    return Hosts->KeyExists(IP);
}

int32_t TOstraCounter::GetHostHits(std::string_view IP) {
    CheckOpen();
    std::optional<THostRecord> record = ReadHost(Hosts.get(), IP);
    return record ? record->Hits : 0;
}

int32_t TOstraCounter::GetHostVisits(std::string_view IP) {
    CheckOpen();
    std::optional<THostRecord> record = ReadHost(Hosts.get(), IP);
    return record ? record->Visits : 0;
}

int32_t TOstraCounter::GetHostCount() {
    CheckOpen();
    return CountKeys(Hosts.get());
}

TStringList TOstraCounter::GetHostList(int32_t SortMode) {
    CheckOpen();
    return HostList(Hosts.get(), SortMode);
}

TStringList TOstraCounter::GetHostListHead(int32_t SortMode, int32_t Count, int32_t& Total) {
    CheckOpen();
    return HostListHead(Hosts.get(), SortMode, Count, Total);
}

void TOstraCounter::DeleteHost(std::string_view IP) {
    CheckOpen();
    if (!IP.empty()) Hosts->DeleteKey(IP);
}

void TOstraCounter::ClearHosts() {
    CheckOpen();
    Hosts->Clear();
}

int32_t TOstraCounter::GetTotalHosts() {
    CheckOpen();
    if (!TotalHostsAtom) return -1;
    return StrToIntDef(TotalHostsAtom->GetText(), -1);
}

void TOstraCounter::SetTotalHosts(int32_t Value) {
    CheckOpen();
    if (!TotalHostsAtom) {
        SetRootText(RootLink::TotalHosts, IntToStr(Value));
        TotalHostsAtom = OpenRoot()->OpenLink(RootLink::TotalHosts);
        return;
    }
    TotalHostsAtom->SetText(IntToStr(Value));
}

void TOstraCounter::AddSkipIP(std::string_view IP) {
    CheckOpen();
    if (IP.empty() || SkipList->KeyExists(IP)) return;
    SkipList->AddKey(IP);
}

void TOstraCounter::DeleteSkipIP(std::string_view IP) {
    CheckOpen();
    if (!IP.empty()) SkipList->DeleteKey(IP);
}

void TOstraCounter::ClearSkipList() {
    CheckOpen();
    SkipList->Clear();
}

TStringList TOstraCounter::GetSkipList() {
    CheckOpen();
    return SkipListKeys(SkipList.get());
}

int32_t TOstraCounter::GetSkipCount() {
    CheckOpen();
    return CountKeys(SkipList.get());
}

// ---- pages, per-day tables, totals ------------------------------------------------------------

TRef<IIndexer> TOstraCounter::HitsTable(std::string_view node, bool make) {
    return DayTables.Hits(Trans.get(), TrieFactory.get(), Nodes.get(), node, make);
}

TRef<IIndexer> TOstraCounter::HostsTable(bool make) { return DayTables.Hosts(Trans.get(), TrieFactory.get(), make); }

void TOstraCounter::AddHitByDate(std::string_view IP, std::string_view Node, TDateTime Date) {
    CheckOpen();
    if (IsSkipped(IP)) return;
    TRef<IIndexer> table = HitsTable(Node, true);
    if (!table && !Node.empty()) {
        AddNode(Node);
        table = HitsTable(Node, true);
    }
    AddDayCount(table.get(), Date);
}

void TOstraCounter::AddHostByDate(std::string_view IP, TDateTime Date) {
    CheckOpen();
    if (IsSkipped(IP)) return;
    AddDayCount(HostsTable(true).get(), Date);
}

int32_t TOstraCounter::GetHitsByDate(std::string_view Node, TDateTime Date) {
    CheckOpen();
    TRef<IIndexer> table = HitsTable(Node, false);
    // The site's tables forgive a damaged count; a page's raises.
    return table ? DayCount(table.get(), Date, Node.empty()) : 0;
}

int32_t TOstraCounter::GetHostsByDate(TDateTime Date) {
    CheckOpen();
    TRef<IIndexer> table = HostsTable(false);
    return table ? DayCount(table.get(), Date, true) : 0;
}

std::vector<int32_t> TOstraCounter::GetHitsForDays(std::string_view Node, int32_t First, int32_t Days) {
    CheckOpen();
    return ReadDays(HitsTable(Node, false).get(), First, Days, true);
}

std::vector<TPageDays> TOstraCounter::GetHitsForDaysOfPages(int32_t First, int32_t Days) {
    CheckOpen();
    return HitsForDaysOfPages(Nodes.get(), First, Days,
                              [&](const std::string& node) { return GetHitsForDays(node, First, Days); });
}

std::vector<int32_t> TOstraCounter::GetHostsForDays(int32_t First, int32_t Days) {
    CheckOpen();
    return ReadDays(HostsTable(false).get(), First, Days, false);
}

int32_t TOstraCounter::GetHitsForPeriod(std::string_view Node, bool All, TDateTime Date1, TDateTime Date2) {
    CheckOpen();
    TRef<IIndexer> table = HitsTable(Node, false);
    return table ? SumDays(table.get(), All, Date1, Date2) : 0;
}

int32_t TOstraCounter::GetHostsForPeriod(bool All, TDateTime Date1, TDateTime Date2) {
    CheckOpen();
    TRef<IIndexer> table = HostsTable(false);
    return table ? SumDays(table.get(), All, Date1, Date2) : 0;
}

void TOstraCounter::AddNode(std::string_view Node) {
    CheckOpen();
    AddPage(Nodes.get(), DayTables, Node);
}

void TOstraCounter::DeleteNode(std::string_view Node) {
    CheckOpen();
    DayTables.Forget();
    if (Nodes) Nodes->DeleteKey(Node);
}

TStringList TOstraCounter::GetNodeNames() {
    CheckOpen();
    return PageNames(Nodes.get());
}

TStringList TOstraCounter::GetNodeList(int32_t SortMode) {
    CheckOpen();
    return PageList(Nodes.get(), SortMode);
}

void TOstraCounter::RegisterNodeHit(std::string_view IP, std::string_view Node, bool UpdateDate) {
    CheckOpen();
    if (!Nodes) return;
    int32_t total = GetTotalHits();
    if (Node.empty()) {
        // An empty name is the site itself: it counts, but never becomes a page of its own.
        if (!IsSkipped(IP)) SetTotalHits(Add32(total, 1));
        return;
    }
    CountPageHit(Nodes.get(), DayTables, Node, UpdateDate);
    SetTotalHits(Add32(total, 1));
}

void TOstraCounter::SetTotalHits(int32_t value) {
    if (TotalHitsAtom) {
        TotalHitsAtom->SetText(IntToStr(value));
        return;
    }
    SetRootText(RootLink::TotalHits, IntToStr(value));
    TotalHitsAtom = OpenRoot()->OpenLink(RootLink::TotalHits);
}

int32_t TOstraCounter::GetTotalHits() {
    CheckOpen();
    if (!TotalHitsAtom) TotalHitsAtom = OpenRoot()->OpenLink(RootLink::TotalHits);
    if (TotalHitsAtom) return StrToInt(TotalHitsAtom->GetText());
    // Missing: the site's hits of every day since the file was made.
    double first = std::trunc(GetCreationDate());
    double last = std::trunc(Now());
    TRef<IIndexer> table = HitsTable("", false);
    int32_t total = table ? SumDaysLookedUp(table.get(), first, last) : 0;
    SetTotalHits(total);
    return total;
}

TDateTime TOstraCounter::GetCreationDate() {
    CheckOpen();
    TRef<IStorageInfo> info = Query<IStorageInfo>(Trans);
    if (!info) throw EKVZError(OstraCode::NotImplemented, OstraMsg::NotImplemented);
    return info->GetCreated();
}

void TOstraCounter::GetStorageID(TGUID& ID) {
    ID = TGUID{};
    CheckOpen();
    ID = Trans->GetStorageID();
}

// ---- referring sites --------------------------------------------------------------------------

void TOstraCounter::RegisterReferer(std::string_view Referer, TDateTime Date) {
    CheckOpen();
    std::string key = RefererHostKey(Referer);
    if (Referers) CountReferral(Referers.get(), key, Date);
}

TStringList TOstraCounter::GetRefererList(int32_t SortMode) {
    CheckOpen();
    return Referers ? RefererList(Referers.get(), SortMode) : TStringList();
}

bool TOstraCounter::ClearReferers() {
    CheckOpen();
    if (!Referers) return false;
    try {
        Referers->Clear();
        return true;
    } catch (...) {
        return false;
    }
}

int32_t TOstraCounter::GetRefererCount() {
    CheckOpen();
    return Referers ? CountKeys(Referers.get()) : -1;
}

void TOstraCounter::DeleteReferer(std::string_view Host) {
    CheckOpen();
    if (Referers) Referers->DeleteKey(Host);
}

// ---- skins ------------------------------------------------------------------------------------

int32_t TOstraCounter::GetSkinCount() {
    CheckOpen();
    return Skins ? int32_t(Skins->GetLinkCount()) : 0;
}

TStringList TOstraCounter::GetSkinNames() {
    CheckOpen();
    return SkinNames(Skins.get());
}

bool TOstraCounter::AddSkin(const TSkinStreams& Images) {
    CheckOpen();
    ::AddSkin(Skins.get(), Trans.get(), Images);
    return true;
}

void TOstraCounter::DeleteSkin(int32_t Index) {
    CheckOpen();
    ::DeleteSkin(Skins.get(), Index);
}

void TOstraCounter::ClearSkins() {
    CheckOpen();
    ::ClearSkins(Skins.get());
}

bool TOstraCounter::IsSkinComplete(int32_t Index) {
    CheckOpen();
    return ::IsSkinComplete(Skins.get(), Index);
}

void TOstraCounter::GetSkinImages(int32_t Index, TSkinImages& Images) {
    CheckOpen();
    ::GetSkinImages(Skins.get(), Index, Images);
}

void TOstraCounter::GetSkinInfo(int32_t Index, TSkinInfo& Texts, int32_t& Colour, TSkinLayout& Header) {
    CheckOpen();
    ::GetSkinInfo(Skins.get(), Index, Texts, Colour, Header);
}

void TOstraCounter::SetSkinInfo(int32_t Index, const TSkinLayout& Header, const TSkinInfo& Texts, int32_t Colour,
                                IVirtualAtom* List) {
    CheckOpen();
    WriteSkinInfo(Skins ? Skins.get() : List, Index, Header, Texts, Colour);
}

// ---- settings ---------------------------------------------------------------------------------

std::string TOstraCounter::GetPassword() {
    CheckOpen();
    return PasswordAtom ? PasswordAtom->GetText() : std::string();
}

void TOstraCounter::SetPassword(std::string_view Text) {
    CheckOpen();
    if (!PasswordAtom) {
        SetRootText(RootLink::Password, Text);
        PasswordAtom = OpenRoot()->OpenLink(RootLink::Password);
        return;
    }
    PasswordAtom->SetText(Text);
}

int32_t TOstraCounter::GetInterval() {
    CheckOpen();
    return Interval;
}

void TOstraCounter::SetInterval(int32_t Minutes) {
    CheckOpen();
    if (Minutes == Interval) return;
    SetRootText(RootLink::Interval, IntToStr(Minutes));
    Interval = Minutes;
}

std::string TOstraCounter::GetHomePageURL() {
    CheckOpen();
    if (std::optional<std::string> url = RootText(RootLink::HomePage)) return *url;
    SetRootText(RootLink::HomePage, DefaultHomePage);
    return DefaultHomePage;
}

void TOstraCounter::SetHomePageURL(std::string_view URL) {
    CheckOpen();
    if (!URL.empty()) SetRootText(RootLink::HomePage, URL);
}

std::string TOstraCounter::GetSiteName() {
    CheckOpen();
    return RootText(RootLink::SiteName).value_or(DefaultSiteName);
}

void TOstraCounter::SetSiteName(std::string_view Name) {
    CheckOpen();
    SetRootText(RootLink::SiteName, Name);
}

bool TOstraCounter::GetOptionFlag() {
    CheckOpen();
    if (std::optional<std::string> flag = RootText(RootLink::OptionFlag)) return *flag == "1";
    SetRootText(RootLink::OptionFlag, "0");
    return false;
}

void TOstraCounter::SetOptionFlag(bool Value) {
    CheckOpen();
    SetRootText(RootLink::OptionFlag, Value ? "1" : "0");
}

std::string TOstraCounter::GetExtraText() {
    CheckOpen();
    return RootText(RootLink::ExtraText).value_or(std::string());
}

void TOstraCounter::SetExtraText(std::string_view Text) {
    CheckOpen();
    SetRootText(RootLink::ExtraText, Text);
}

// ---- tagged and paired values -----------------------------------------------------------------

void TOstraCounter::SetTaggedValue(std::string_view Key, std::string_view Value) {
    if (Value.empty()) return;
    try {
        ::SetTaggedValue(ValueIndex(RootLink::TaggedValues).get(), Key, Value);
    } catch (...) {
        // Tagged values are best effort by contract.
    }
}

TStringList TOstraCounter::GetTaggedValueStats() { return TaggedValueStats(ValueIndex(RootLink::TaggedValues).get()); }

void TOstraCounter::ClearTaggedValues() {
    MakeRootIndex(OpenRoot().get(), RootLink::TaggedValues, TrieFactory.get(), Trans.get());
}

void TOstraCounter::AddPairedValue(std::string_view Key, std::string_view First) {
    ::AddPairedValue(ValueIndex(RootLink::PairedValues).get(), Key, First);
}

void TOstraCounter::AppendPairedValue(std::string_view Key, std::string_view Second) {
    ::AppendPairedValue(ValueIndex(RootLink::PairedValues).get(), Key, Second);
}

void TOstraCounter::GetPairedValueStats(TStringList& FirstList, TStringList& SecondList) {
    FirstList = TStringList();
    SecondList = TStringList();
    PairedValueStats(ValueIndex(RootLink::PairedValues).get(), FirstList, SecondList);
}

void TOstraCounter::ClearPairedValues() {
    MakeRootIndex(OpenRoot().get(), RootLink::PairedValues, TrieFactory.get(), Trans.get());
}

// ---- hourly tables ----------------------------------------------------------------------------

void TOstraCounter::InitHours(IIndexer* table) { InitHourTable(table, BTreeFactory.get()); }

void TOstraCounter::RegisterHourlyHit(std::string_view IP, std::string_view Node, TDateTime Date) {
    CheckOpen();
    if (IsSkipped(IP)) return;
    IIndexerFactory* btree = BTreeFactory.get();
    TRef<IVirtualAtom> root = Trans->OpenRoot();
    TIndexInit initHours = [this](IIndexer* table) { InitHours(table); };
    TRef<IIndexer> site =
        OpenRootIndex(root.get(), RootLink::SiteHours, btree, TEmptyLink::Make, Trans.get(), initHours);
    AddHourHit(site.get(), btree, Date);
    site.reset();
    if (Node.empty()) return;
    TRef<IIndexer> pages = OpenRootIndex(root.get(), RootLink::PageHours, btree, TEmptyLink::Make, Trans.get());
    root.reset();
    TRef<IIndexer> page = PageHourTable(pages.get(), btree, Trans.get(), Node, true);
    AddHourHit(page.get(), btree, Date);
}

void TOstraCounter::GetHourlyHits(std::array<int32_t, 25>& Hours, std::string_view Node) {
    CheckOpen();
    Hours[0] = 0;
    IIndexerFactory* btree = BTreeFactory.get();
    TRef<IVirtualAtom> root = Trans->OpenRootAccess(AccessReadOnly);
    TRef<IIndexer> table;
    if (Node.empty()) {
        table = OpenRootIndex(root.get(), RootLink::SiteHours, btree, TEmptyLink::Nil);
    } else if (TRef<IIndexer> pages = OpenRootIndex(root.get(), RootLink::PageHours, btree, TEmptyLink::Nil)) {
        root.reset();
        table = PageHourTable(pages.get(), btree, Trans.get(), Node, false);
    }
    if (table) SumHourBuckets(table.get(), Hours);
}

// ---- public functions -------------------------------------------------------------------------

TRef<ICounter> OpenCounter(const std::string& FileName, const TSkinStreams& Images) {
    try {
        if (!StorageFactory()) StartStorageEngine();
        return MakeObj<TOstraCounter>(FileName, Images);
    } catch (const EKVZError& error) {
        // An interrupted commit that cannot be rolled back is no busy file: no wait helps, and
        // the caller must say why rather than answer without the database.
        if (error.Code == OstraCode::RecoveryNeedsWrite || error.Code == OstraCode::RecoveryFailed) throw;
        return nullptr;
    } catch (...) {
        return nullptr;
    }
}

void CloseCounter(TRef<ICounter>& Counter) {
    TRef<ICounter> counter = std::move(Counter);
    if (!counter) return;
    auto* object = dynamic_cast<TOstraCounter*>(counter.get());
    if (object) object->Finish();
}
