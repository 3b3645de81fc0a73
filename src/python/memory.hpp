// The binding's edge for allocation failures: every Python member raises MemoryError when
// memory runs out, in the core or in the binding's own conversions, and never lets a C++
// exception reach the interpreter (which would end the process).
//
// Two pieces. guarded<F> wraps each C function the interpreter calls (methods, getters,
// slots, the module's entry point): an allocation failure anywhere below it, with the GIL
// held, becomes MemoryError and the function's error value. without_gil(f) runs core work
// with the GIL released; an allocation failure inside is caught there, before the GIL is
// taken back, and thrown again once it is held, for the member's guard. Catching it first
// keeps a thread that the interpreter ends on its way back in (at finalisation, by a forced
// unwind) from being ended while it unwinds another exception, which would abort the process.
//
// An allocation failure is std::bad_alloc, or std::length_error from a size that no memory
// could hold (a sequence whose length says more items than can exist).
#pragma once

#include <Python.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "base/worker_pool.hpp"
#include "python/py_ref.hpp"

namespace tornquil {

template <auto F>
struct MemoryGuard;

template <class R, class... A, R (*F)(A...)>
struct MemoryGuard<F> {
  // Not noexcept: the forced unwind that ends a thread at finalisation must pass.
  static R call(A... args) {
    prepare_thread_to_throw();
    try {
      return F(args...);
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    PyErr_NoMemory();
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return R(-1);
    }
  }
};

// F, raising MemoryError (and returning nullptr, or -1 for an integer result) when an
// allocation inside it fails. F is a C function the interpreter calls with the GIL held.
template <auto F>
inline constexpr auto guarded = &MemoryGuard<F>::call;

// f() with the GIL released around it, its result handed back once the GIL is held again.
// An allocation failure inside f is thrown again as std::bad_alloc after the GIL is back.
// f touches no Python object.
template <class F>
decltype(auto) without_gil(F&& f) {
  using R = std::invoke_result_t<F&>;
  bool out_of_memory = false;
  if constexpr (std::is_void_v<R>) {
    {
      GilRelease nogil;
      try {
        f();
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      } catch (const std::length_error&) {
        out_of_memory = true;
      }
    }
    if (out_of_memory) throw std::bad_alloc();
  } else {
    std::optional<R> out;
    {
      GilRelease nogil;
      try {
        out.emplace(f());
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      } catch (const std::length_error&) {
        out_of_memory = true;
      }
    }
    if (out_of_memory) throw std::bad_alloc();
    return R(std::move(*out));
  }
}

}  // namespace tornquil
