// A non-owning reference to a reader's visitor of views: called as
// visit(const View&, std::size_t index) with the running index (0-based, over
// the whole text); returns false to stop, or void. It must not throw.
#pragma once

#include <concepts>
#include <cstddef>
#include <memory>
#include <type_traits>

namespace brisquel::json {

template <class View>
class Visitor {
 public:
  template <class F>
    requires(!std::same_as<std::remove_cvref_t<F>, Visitor> && std::invocable<F&, const View&, std::size_t>)
  Visitor(F&& f)  // NOLINT: converts from any callable on purpose
      : ctx_(const_cast<void*>(static_cast<const void*>(std::addressof(f)))),
        call_([](void* ctx, const View& view, std::size_t index) -> bool {
          auto& fn = *static_cast<std::remove_reference_t<F>*>(ctx);
          if constexpr (std::is_void_v<std::invoke_result_t<F&, const View&, std::size_t>>) {
            fn(view, index);
            return true;
          } else {
            return static_cast<bool>(fn(view, index));
          }
        }) {}

  bool operator()(const View& view, std::size_t index) const { return call_(ctx_, view, index); }

 private:
  void* ctx_;
  bool (*call_)(void*, const View&, std::size_t);
};

}  // namespace brisquel::json
