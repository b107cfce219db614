// TFunctionRef: a callable handed down a call and not kept. It holds the callable's address and
// a function that calls it, so a call through it is one indirect call; std::function adds a
// second and may allocate. It must not outlive what it refers to: take it as a parameter only.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>

template <class Signature> class TFunctionRef;

template <class R, class... Args> class TFunctionRef<R(Args...)> {
public:
    template <class F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, TFunctionRef> && std::is_invocable_r_v<R, F&, Args...>)
        TFunctionRef(F&& callable)
    noexcept // NOLINT: converts like std::function
        : object_(const_cast<void*>(static_cast<const void*>(std::addressof(callable)))),
          call_([](void* object, Args... args) -> R {
              return (*static_cast<std::remove_reference_t<F>*>(object))(std::forward<Args>(args)...);
          }) {}

    R operator()(Args... args) const { return call_(object_, std::forward<Args>(args)...); }

private:
    void* object_;
    R (*call_)(void*, Args...);
};
