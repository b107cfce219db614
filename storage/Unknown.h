// The reference-counted interface base of the engine: IUnknown with QueryInterface by GUID,
// TUnknownObj / TUnknown (aggregation) / TContainedUnknown, and TRef, the smart pointer that
// holds an interface reference. Dropping the last reference destroys the object at once.
#pragma once

#include "platform/Guid.h"
#include "platform/OnlyThread.h"

#include <atomic>
#include <cstdint>
#include <utility>

using HRESULT = int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT E_NOINTERFACE = HRESULT(0x80004002u);

// Every interface derives virtually from IUnknown, so an object has one IUnknown identity
// however many interfaces it implements.
struct IUnknown {
    static constexpr TGUID IID = GuidOf("{00000000-0000-0000-C000-000000000046}");
    // Sets *out to the interface (counted for the caller) and returns S_OK, or sets it to
    // nullptr and returns E_NOINTERFACE.
    virtual HRESULT QueryInterface(const TGUID& iid, void** out) = 0;
    virtual int32_t AddRef() = 0;
    virtual int32_t Release() = 0;

protected:
    ~IUnknown() = default;
};

// The non-delegating face of an aggregatable object.
struct IInnerUnknown : virtual IUnknown {
    static constexpr TGUID IID = GuidOf("{66DC01C0-0314-11D3-A016-00605206C17D}");
    // The implementing object itself (not counted).
    virtual class TUnknown* GetObject() = 0;
    // The controller, or nullptr (counted for the caller).
    virtual IUnknown* GetController() = 0;
    // Stores the controller uncounted.
    virtual void SetController(IUnknown* controller) = 0;

protected:
    ~IInnerUnknown() = default;
};

// An owning interface reference: AddRef on copy, Release on drop.
template <class T> class TRef {
public:
    TRef() = default;
    TRef(std::nullptr_t) {}
    // Takes a new reference on p.
    TRef(T* p) : ptr_(p) {
        if (ptr_) ptr_->AddRef();
    }
    TRef(const TRef& other) : TRef(other.ptr_) {}
    TRef(TRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    template <class U>
    requires std::is_convertible_v<U*, T*> TRef(const TRef<U>& other) : TRef(static_cast<T*>(other.get())) {}
    template <class U>
    requires std::is_convertible_v<U*, T*> TRef(TRef<U>&& other)
    noexcept : ptr_(other.Detach()) {}
    ~TRef() { reset(); }

    TRef& operator=(TRef other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Drops the reference now.
    void reset() {
        if (T* p = std::exchange(ptr_, nullptr)) p->Release();
    }
    // Adopts a reference already counted for us (as QueryInterface hands out).
    static TRef Adopt(T* p) {
        TRef r;
        r.ptr_ = p;
        return r;
    }
    // Gives up ownership of the counted reference.
    T* Detach() { return std::exchange(ptr_, nullptr); }

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    T& operator*() const { return *ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    friend bool operator==(const TRef& a, const TRef& b) { return a.ptr_ == b.ptr_; }
    friend bool operator==(const TRef& a, std::nullptr_t) { return a.ptr_ == nullptr; }

private:
    T* ptr_ = nullptr;
};

// Asks an object for interface I; nullptr when it lacks it.
template <class I, class T> TRef<I> Query(const T* object) {
    if (!object) return nullptr;
    void* out = nullptr;
    auto* unknown = static_cast<IUnknown*>(const_cast<T*>(object));
    if (unknown->QueryInterface(I::IID, &out) != S_OK) return nullptr;
    return TRef<I>::Adopt(static_cast<I*>(out));
}
template <class I, class T> TRef<I> Query(const TRef<T>& object) { return Query<I>(object.get()); }

// The counted base of every interface object. A new object holds one construction reference
// until MakeObj hands it out, so it cannot be freed while its constructor runs.
class TUnknownObj {
public:
    TUnknownObj() = default;
    TUnknownObj(const TUnknownObj&) = delete;
    TUnknownObj& operator=(const TUnknownObj&) = delete;
    virtual ~TUnknownObj() = default;

    virtual void FreeSelf() { delete this; }
    virtual int32_t ObjAddRef() { return Count(1); }
    virtual int32_t ObjRelease() {
        int32_t count = Count(-1);
        if (count == 0) FreeSelf();
        return count;
    }
    // Ends construction: drops the construction reference without freeing.
    void EndConstruction() { Count(-1); }

    std::atomic<int32_t> RefCount{1};

protected:
    // The count after adding by: a plain load and store while the process has one thread.
    int32_t Count(int32_t by) {
        if (!OnlyThread()) return RefCount.fetch_add(by) + by;
        int32_t count = RefCount.load(std::memory_order_relaxed) + by;
        RefCount.store(count, std::memory_order_relaxed);
        return count;
    }

    // The object's own interface table: the pointer of exactly interface iid (as void*), or
    // nullptr. Not counted. Override with FindInterface<IFoo, IBar>(this, iid) and fall back
    // to the base class.
    virtual void* GetInterface(const TGUID& iid) = 0;
};

// Looks iid up among the interfaces I... of self.
template <class... I, class Self> void* FindInterface(Self* self, const TGUID& iid) {
    void* found = nullptr;
    (void)((iid == I::IID ? (found = static_cast<I*>(self), true) : false) || ...);
    return found;
}

// The aggregatable base: without a controller it counts itself; with one, its IUnknown
// delegates to the controller while its IInnerUnknown face stays its own.
class TUnknown : public TUnknownObj, public virtual IUnknown {
public:
    explicit TUnknown(IUnknown* controller = nullptr);
    ~TUnknown() override;

    HRESULT QueryInterface(const TGUID& iid, void** out) override;
    int32_t AddRef() override;
    int32_t Release() override;

    IInnerUnknown* Inner() { return &inner_; }
    IUnknown* Controller = nullptr;

protected:
    void* GetInterface(const TGUID& iid) override;
    virtual void Initialize() {}
    virtual void Finalize() {}

private:
    class TInnerFace final : public IInnerUnknown {
    public:
        explicit TInnerFace(TUnknown& owner) : owner_(owner) {}
        HRESULT QueryInterface(const TGUID& iid, void** out) override;
        int32_t AddRef() override { return owner_.ObjAddRef(); }
        int32_t Release() override { return owner_.ObjRelease(); }
        TUnknown* GetObject() override { return &owner_; }
        IUnknown* GetController() override;
        void SetController(IUnknown* controller) override { owner_.Controller = controller; }

    private:
        TUnknown& owner_;
    };
    TInnerFace inner_{*this};
};

// An object living inside a container: references to it count on the container.
class TContainedUnknown : public TUnknownObj, public virtual IUnknown {
public:
    explicit TContainedUnknown(IUnknown* container = nullptr) : Container(container) {}

    HRESULT QueryInterface(const TGUID& iid, void** out) override;
    int32_t AddRef() override { return Container ? Container->AddRef() : ObjAddRef(); }
    int32_t Release() override { return Container ? Container->Release() : ObjRelease(); }

    IUnknown* Container = nullptr;

protected:
    void* GetInterface(const TGUID& iid) override;
};

// Creates an interface object and hands out the first reference.
template <class T, class... Args> TRef<T> MakeObj(Args&&... args) {
    T* object = new T(std::forward<Args>(args)...);
    object->EndConstruction();
    return TRef<T>(object);
}
