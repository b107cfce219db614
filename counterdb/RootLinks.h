// What each link of the counter's root atom holds, and the one way an index that hangs on a
// link is opened, or made and linked there. Not what the indexes hold (the tables' units).
#pragma once

#include "index/KVZIndex.h"

#include <cstdint>
#include <functional>

// Links 16-19 and 21-29 are unused.
namespace RootLink {
inline constexpr uint32_t TotalHosts = 0;
inline constexpr uint32_t Password = 1;
inline constexpr uint32_t Skins = 2;
inline constexpr uint32_t Hosts = 3;
inline constexpr uint32_t Interval = 4;
inline constexpr uint32_t SkipList = 5;
inline constexpr uint32_t HomePage = 6;
inline constexpr uint32_t Nodes = 7;
inline constexpr uint32_t TotalHits = 8;
inline constexpr uint32_t TaggedValues = 9;
inline constexpr uint32_t SiteDayHits = 10;
inline constexpr uint32_t SiteDayHosts = 11;
inline constexpr uint32_t SiteName = 12;
inline constexpr uint32_t Referers = 13;
inline constexpr uint32_t ExtraText = 14;
inline constexpr uint32_t PairedValues = 15;
inline constexpr uint32_t OptionFlag = 20;
inline constexpr uint32_t SiteHours = 30;
inline constexpr uint32_t PageHours = 31;
} // namespace RootLink

// What OpenRootIndex does when the link is empty.
enum class TEmptyLink {
    Nil,   // gives nil: the index is made by the first write that needs it
    Raise, // raises what the factory raises for no header atom: the file must hold this index
    Make,  // makes and links a new index (MakeRootIndex)
};

// Run on a new index once it is linked, before it is handed out (the hour tables' 24 keys).
using TIndexInit = std::function<void(IIndexer*)>;

// The index whose header atom hangs at root's link, opened through factory. maker and init
// serve TEmptyLink::Make only.
TRef<IIndexer> OpenRootIndex(IVirtualAtom* root, uint32_t link, IIndexerFactory* factory, TEmptyLink empty,
                             IVirtualStorage* maker = nullptr, const TIndexInit& init = nullptr);

// A new empty index made through maker (the transaction, or a storage for what is made beside
// it), linked at root's link in place of whatever hung there, then handed to init.
TRef<IIndexer> MakeRootIndex(IVirtualAtom* root, uint32_t link, IIndexerFactory* factory, IVirtualStorage* maker,
                             const TIndexInit& init = nullptr);
