// Shared set-up of the index tests: a storage file in a temporary folder (StorageTest) and the
// two index factories.
#pragma once

#include "StorageFixture.h"
#include "index/KVZIndex.h"
#include "platform/Exception.h"

#include <gtest/gtest.h>

#include <string>

class IndexTest : public StorageTest {
protected:
    TRef<IIndexerFactory> Factory(bool btree) { return btree ? NewBTreeIndexFactory() : NewTrieIndexFactory(); }
    TRef<IIndexerFactory> Trie() { return NewTrieIndexFactory(); }
    TRef<IIndexerFactory> BTree() { return NewBTreeIndexFactory(); }

    // A value atom made where the index makes its atoms, holding text.
    static TRef<IVirtualAtom> Value(IIndexer* indexer, const std::string& text) {
        TRef<IVirtualAtom> atom = indexer->GetStorage()->NewAtom();
        atom->SetText(text);
        return atom;
    }
    static std::string ValueText(IIndexer* indexer, const std::string& key) {
        TRef<IVirtualAtom> atom;
        if (!indexer->FindKey(key, atom)) return "<absent>";
        return atom->GetText();
    }
};

// The message of whatever body raises ("" when nothing).
template <class F> std::string ErrorText(F&& body) {
    try {
        body();
    } catch (const std::exception& error) {
        return error.what();
    }
    return "";
}
