#pragma once

#include <string>
#include <utility>
#include <variant>

// A value or the one-line reason there is none: the result of every fallible call that has
// something to say about its failure. A small stand-in for C++23's std::expected<T, string>.
namespace sonarill::base {

struct Failure {
    std::string reason;
};

template <typename T> class [[nodiscard]] Expected {
public:
    Expected(T value) : state_(std::move(value)) {}
    Expected(Failure failure) : state_(std::move(failure)) {}

    bool hasValue() const { return std::holds_alternative<T>(state_); }
    explicit operator bool() const { return hasValue(); }

    T& value() & { return std::get<T>(state_); }
    const T& value() const& { return std::get<T>(state_); }
    T&& value() && { return std::get<T>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T value_or(T fallback) const { return hasValue() ? value() : std::move(fallback); }

    // Empty when there is a value.
    const std::string& error() const {
        static const std::string none;
        return hasValue() ? none : std::get<Failure>(state_).reason;
    }

private:
    std::variant<T, Failure> state_;
};

// Success, or the reason for a failure.
template <> class [[nodiscard]] Expected<void> {
public:
    Expected() = default;
    Expected(Failure failure) : failure_(std::move(failure.reason)), failed_(true) {}

    bool hasValue() const { return !failed_; }
    explicit operator bool() const { return hasValue(); }
    const std::string& error() const { return failure_; }

private:
    std::string failure_;
    bool failed_ = false;
};

} // namespace sonarill::base
