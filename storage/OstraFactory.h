// The storage factory: turns a location and a parameter text into an open storage. The
// process-wide instance lives from StartStorageEngine to StopStorageEngine (Corvane.h).
#pragma once

#include "storage/Corvane.h"

class TStorageFactory : public TUnknown, public IStorageFactory {
public:
    TRef<IVirtualStorage> CreateStorage(uint16_t ServerType, uint32_t Reserved, std::string_view Location,
                                        std::string_view RequiredCaps, std::string_view Params) override;
    TRef<IVirtualStorage> CreateStorageAlt() override { return nullptr; }

protected:
    void* GetInterface(const TGUID& iid) override;
};
