#pragma once
// Ownership of a C library's handle: UniquePtr<Display, XCloseDisplay> frees the handle with
// the library's own function when it goes, and moves but never copies.

#include <memory>

namespace platform {

template <auto Free>
struct FreeWith {
  template <class T>
  void operator()(T* handle) const {
    if (handle != nullptr) Free(handle);
  }
};

template <class T, auto Free>
using UniquePtr = std::unique_ptr<T, FreeWith<Free>>;

}  // namespace platform
