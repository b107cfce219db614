// QueryInterface and reference counting of the interface base classes.
#include "storage/Unknown.h"

TUnknown::TUnknown(IUnknown* controller) : Controller(controller) { Initialize(); }

TUnknown::~TUnknown() { Finalize(); }

HRESULT TUnknown::QueryInterface(const TGUID& iid, void** out) {
    if (Controller && iid != IInnerUnknown::IID) return Controller->QueryInterface(iid, out);
    *out = GetInterface(iid);
    if (!*out) return E_NOINTERFACE;
    if (iid == IInnerUnknown::IID)
        ObjAddRef();
    else
        AddRef();
    return S_OK;
}

int32_t TUnknown::AddRef() { return Controller ? Controller->AddRef() : ObjAddRef(); }

int32_t TUnknown::Release() { return Controller ? Controller->Release() : ObjRelease(); }

void* TUnknown::GetInterface(const TGUID& iid) {
    if (iid == IUnknown::IID) return static_cast<IUnknown*>(this);
    if (iid == IInnerUnknown::IID) return static_cast<IInnerUnknown*>(&inner_);
    return nullptr;
}

HRESULT TUnknown::TInnerFace::QueryInterface(const TGUID& iid, void** out) {
    // The inner face never delegates the question; references to the inner face itself count
    // on the object, references to its other interfaces on whoever controls it.
    *out = owner_.GetInterface(iid);
    if (!*out) return E_NOINTERFACE;
    if (iid == IInnerUnknown::IID)
        owner_.ObjAddRef();
    else
        owner_.AddRef();
    return S_OK;
}

IUnknown* TUnknown::TInnerFace::GetController() {
    if (owner_.Controller) owner_.Controller->AddRef();
    return owner_.Controller;
}

HRESULT TContainedUnknown::QueryInterface(const TGUID& iid, void** out) {
    *out = GetInterface(iid);
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

void* TContainedUnknown::GetInterface(const TGUID& iid) {
    if (iid == IUnknown::IID) return static_cast<IUnknown*>(this);
    return nullptr;
}
