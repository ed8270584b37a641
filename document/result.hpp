// The one shape every fallible step returns: a value, or why there is none.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace zub {

// Why a step failed, in words the user is shown (the library's or the system's own
// where there are any).
struct failure {
    std::string why;
};

template <class T>
class [[nodiscard]] result {
public:
    result(T value) : state_(std::move(value)) {}    // NOLINT(google-explicit-constructor): returned as is
    result(failure why) : state_(std::move(why)) {}  // NOLINT(google-explicit-constructor)

    explicit operator bool() const { return std::holds_alternative<T>(state_); }
    T& operator*() { return std::get<T>(state_); }
    const T& operator*() const { return std::get<T>(state_); }
    T* operator->() { return &std::get<T>(state_); }
    const T* operator->() const { return &std::get<T>(state_); }
    const std::string& why() const { return std::get<failure>(state_).why; }

private:
    std::variant<T, failure> state_;
};

// A step that gives nothing but may fail.
struct done {};
using outcome = result<done>;

}  // namespace zub
