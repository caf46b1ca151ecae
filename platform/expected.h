// A value or the reason why there is none: how operations that can fail hand back their result
// without exceptions.
#pragma once

#include <utility>
#include <variant>

namespace platform {

template <typename E>
struct Unexpected {
    E error;
};

template <typename E>
Unexpected<E> MakeUnexpected(E error) {
    return Unexpected<E>{std::move(error)};
}

template <typename T, typename E>
class Expected {
public:
    Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Expected(Unexpected<E> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool HasValue() const { return state_.index() == 0; }
    explicit operator bool() const { return HasValue(); }

    // Only when HasValue().
    T& Value() { return std::get<0>(state_); }
    const T& Value() const { return std::get<0>(state_); }
    // Only when !HasValue().
    const E& Error() const { return std::get<1>(state_); }

private:
    std::variant<T, E> state_;
};

}  // namespace platform
