// A fixture for tests of the public storage interfaces: starts and stops the storage engine
// around each test, gives it a temporary folder and helpers to create and reopen storage files.
#pragma once

#include "TempDir.h"
#include "storage/Corvane.h"

#include <string>

inline constexpr const char* TestDataClass = "{28C7266E-7262-431C-BF61-DCB4F19C8DC0}";

class StorageTest : public TempDirTest {
protected:
    void SetUp() override { StartStorageEngine(); }
    void TearDown() override { StopStorageEngine(); }

    std::string FileName(const std::string& name = "test.ostra") { return Temp.File(name); }
    TRef<IVirtualStorage> Storage(const std::string& mode, const std::string& name = "test.ostra") {
        return StorageFactory()->CreateStorage(0, 0, FileName(name), "", "Mode:" + mode + "; Class:" + TestDataClass);
    }
    TRef<IVirtualStorage> Create(const std::string& name = "test.ostra") { return Storage("CREATE", name); }
    TRef<IVirtualStorage> Open(const std::string& name = "test.ostra") { return Storage("Open", name); }
    TRef<IVirtualStorage> OpenReadOnly(const std::string& name = "test.ostra") { return Storage("READONLY", name); }

    static std::string Text(const TRef<IVirtualAtom>& atom) { return atom->GetText(); }
};

// Runs body and returns the code of the EKVZError it raises (-1 when it raises nothing).
template <class F> int ErrorCode(F&& body, std::string* message = nullptr) {
    try {
        body();
    } catch (const EKVZError& error) {
        if (message) *message = error.what();
        return error.Code;
    }
    return -1;
}
