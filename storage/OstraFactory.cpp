// The storage factory, the process-wide factory reference and the engine's start and stop.
#include "storage/OstraFactory.h"

#include "storage/OstraFile.h"
#include "storage/OstraStorage.h"
#include "storage/ParamList.h"
#include "storage/Timers.h"

namespace {
TRef<IStorageFactory>& GlobalFactory() {
    static TRef<IStorageFactory> factory;
    return factory;
}
} // namespace

TRef<IVirtualStorage> TStorageFactory::CreateStorage(uint16_t ServerType, uint32_t, std::string_view Location,
                                                     std::string_view RequiredCaps, std::string_view Params) {
    if (ServerType != 0 && ServerType % 2 == 0) throw EKVZError(OstraCode::ServerType, "Server type not supported");
    TOstraStorageParameters params;
    ParseStorageParameters(Params, params);
    NewFileAtomSizeAlign = uint8_t(params.AtomSizeAlign);
    std::string fileName = StripFileScheme(Location);
    return MakeObj<TOstraStorage>(fileName, params.Mode, params.Classes, RequiredCaps, params.WriteThrough,
                                  params.Cache);
}

void* TStorageFactory::GetInterface(const TGUID& iid) {
    if (void* found = FindInterface<IStorageFactory>(this, iid)) return found;
    return TUnknown::GetInterface(iid);
}

TRef<IStorageFactory> StorageFactory() { return GlobalFactory(); }

void StartStorageEngine() {
    GlobalFactory() = MakeObj<TStorageFactory>();
    StartStorageTimers();
}

void StopStorageEngine() {
    GlobalFactory().reset();
    ReportAndCloseLiveStorages();
    StopStorageTimers();
}

TRef<IVirtualStorage> CreateStorage(std::string_view Location, std::string_view Params, std::string_view RequiredCaps) {
    TRef<IStorageFactory> factory = StorageFactory();
    if (!factory) throw EKVZError(OstraCode::NotImplemented, OstraMsg::NotImplemented);
    return factory->CreateStorage(0, 0, Location, RequiredCaps, Params);
}
