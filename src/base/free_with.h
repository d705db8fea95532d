// An owner's deleter that frees a C library's object with that library's own
// free function, once:
//
//   std::unique_ptr<X509, quellmark::base::FreeWith<X509_free>> certificate(...);
#pragma once

namespace quellmark::base {

template <auto Free>
struct FreeWith {
    template <class T>
    void operator()(T* object) const noexcept {
        if (object) Free(object);
    }
};

}  // namespace quellmark::base
