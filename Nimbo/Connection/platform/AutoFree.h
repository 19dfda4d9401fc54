#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace Nimbo::Connection {

using TBytes = std::vector<std::uint8_t>;

// Shared ownership of a reference-counted object; may be empty. The object goes with the last copy.
template <class T>
using AutoFree = std::shared_ptr<T>;

// Base of objects handed out as AutoFree<T>; they are created by std::make_shared.
template <class T>
class TAutoFreeBase : public std::enable_shared_from_this<T> {
public:
    // The object itself.
    T& Get() { return static_cast<T&>(*this); }
    // A new counted reference to the object.
    AutoFree<T> ToAutoFree() { return this->shared_from_this(); }
};

}  // namespace Nimbo::Connection
