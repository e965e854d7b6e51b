// What a payload decoder gives back: the value and, when `error` is not
// empty, why the bytes hold no whole, sound value. On error the value holds
// what was read before the fault; a caller that wants all or nothing drops it.
#pragma once

#include <string>

namespace rk::wire {

template <class T>
struct Decoded {
    T value{};
    std::string error;

    bool ok() const { return error.empty(); }
};

}  // namespace rk::wire
