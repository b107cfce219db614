// Reference counting, QueryInterface and aggregation of the interface base classes.
#include "storage/Unknown.h"

#include <gtest/gtest.h>

namespace {
struct IProbe : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{11111111-2222-3333-4444-555555555555}");
    virtual int Value() = 0;
};

int liveProbes = 0;

class TProbe : public TUnknown, public IProbe {
public:
    explicit TProbe(IUnknown* controller = nullptr) : TUnknown(controller) { ++liveProbes; }
    ~TProbe() override { --liveProbes; }
    int Value() override { return 42; }

protected:
    void* GetInterface(const TGUID& iid) override {
        if (void* found = FindInterface<IProbe>(this, iid)) return found;
        return TUnknown::GetInterface(iid);
    }
};

class TOuter : public TUnknown {
public:
    TOuter() {
        inner_ = new TProbe(this);
        inner_->EndConstruction();
        innerFace_ = inner_->Inner();
    }
    HRESULT QueryInterface(const TGUID& iid, void** out) override {
        if (TUnknown::QueryInterface(iid, out) == S_OK) return S_OK;
        return innerFace_->QueryInterface(iid, out);
    }
    TProbe* inner_;
    TRef<IInnerUnknown> innerFace_; // the outer's one reference that keeps the inner alive
};
} // namespace

TEST(Unknown, LastReleaseDestroysAtOnce) {
    {
        TRef<TProbe> probe = MakeObj<TProbe>();
        EXPECT_EQ(liveProbes, 1);
        TRef<IProbe> face = Query<IProbe>(probe);
        ASSERT_TRUE(face);
        EXPECT_EQ(face->Value(), 42);
        EXPECT_EQ(probe->RefCount, 2);
    }
    EXPECT_EQ(liveProbes, 0);
}

TEST(Unknown, MissingInterfaceAnswersNoInterface) {
    TRef<TProbe> probe = MakeObj<TProbe>();
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(probe->QueryInterface(GuidOf("{00000000-0000-0000-0000-000000000001}"), &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

TEST(Unknown, AggregatedInnerCountsOnOuterButInnerFaceStaysOwn) {
    liveProbes = 0;
    TRef<TOuter> outer = MakeObj<TOuter>();
    TRef<IProbe> probe = Query<IProbe>(outer);
    ASSERT_TRUE(probe);
    EXPECT_EQ(outer->RefCount, 2);
    EXPECT_EQ(outer->inner_->RefCount, 1);
    // The inner object's IUnknown delegates, but IInnerUnknown is the inner's own face.
    TRef<IInnerUnknown> inner = Query<IInnerUnknown>(outer->inner_);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->GetObject(), outer->inner_);
    EXPECT_EQ(outer->inner_->RefCount, 2);
    EXPECT_EQ(outer->RefCount, 2);
}

TEST(Unknown, AggregateDiesWithItsOuter) {
    liveProbes = 0;
    { TRef<IProbe> probe = Query<IProbe>(MakeObj<TOuter>()); }
    EXPECT_EQ(liveProbes, 0);
}
