// The skins as stored: the skins list atom (link N is skin N, empty for a deleted slot), each
// skin's logo and ten digit images and its information record, and skin 0 of a new database.
// Not how a skin draws a number (webadmin's TSkin).
#pragma once

#include "counterdb/UCounter.h"
#include "platform/StringList.h"
#include "storage/Corvane.h"

#include <cstdint>

// Writes skin 0 into the new database's skins list, straight through storage: the given
// images re-encoded as BMP, or drawn ones when images[0] is nil.
void CreateDefaultSkin(IVirtualStorage* storage, IVirtualAtom* skins, const TSkinStreams& images);

// Slot index of skins; nil when it is empty or outside the slots, or when skins is nil.
TRef<IVirtualAtom> OpenSkin(IVirtualAtom* skins, int32_t index, TAccess access);
// "Assigned image # N" or "UnAssigned" for each slot.
TStringList SkinNames(IVirtualAtom* skins);
// A new last slot with copies of the 11 streams, made in trans; raises, adding nothing, when a
// stream is missing.
void AddSkin(IVirtualAtom* skins, IStorageTransaction* trans, const TSkinStreams& images);
// Empties slot index; slot 0 and indexes outside the slots are left alone.
void DeleteSkin(IVirtualAtom* skins, int32_t index);
// Keeps only slot 0.
void ClearSkins(IVirtualAtom* skins);
bool IsSkinComplete(IVirtualAtom* skins, int32_t index);
// Copies of skin index's images, or of skin 0's when it is not complete.
void GetSkinImages(IVirtualAtom* skins, int32_t index, TSkinImages& images);
// The information record of skin index; a skin without one gets the default record, stored
// beside the transaction. An empty slot leaves the arguments alone.
void GetSkinInfo(IVirtualAtom* skins, int32_t index, TSkinInfo& texts, int32_t& colour, TSkinLayout& header);
// The information record of skin index := the arguments; an empty slot is left alone.
void WriteSkinInfo(IVirtualAtom* skins, int32_t index, const TSkinLayout& header, const TSkinInfo& texts,
                   int32_t colour);
