// Errors are values: `Expected<T, E>` holds a T or an E.
//
// Project rule: always write morvik::Expected / morvik::Unexpected, never
// std::expected directly, so that every module also builds with clang 14.
//
// With g++ this is std::expected. clang 14 (used for the libFuzzer build)
// cannot compile libstdc++'s <expected>, so it gets a small stand-in that
// offers the part of the interface this project uses.
#pragma once

#include <utility>

#if defined(__cpp_concepts) && __cpp_concepts >= 202002L && __has_include(<expected>)
#include <expected>
namespace morvik {
template <class T, class E> using Expected = std::expected<T, E>;
template <class E> using Unexpected = std::unexpected<E>;
} // namespace morvik
#else
#include <cassert>
#include <type_traits>
#include <variant>
namespace morvik {

template <class E> class Unexpected {
  public:
    explicit Unexpected(E e) : error_(std::move(e)) {}
    E& error() & { return error_; }
    const E& error() const& { return error_; }
    E&& error() && { return std::move(error_); }

  private:
    E error_;
};
template <class E> Unexpected(E) -> Unexpected<E>;

template <class T, class E> class Expected {
  public:
    using value_type = T;
    using error_type = E;

    template <class U = T>
    requires std::is_constructible_v<T, U&&> Expected(U&& v)
        : data_(std::in_place_index<0>, std::forward<U>(v)) {}
    Expected() requires std::is_default_constructible_v<T> : data_(std::in_place_index<0>) {}
    template <class G>
    Expected(Unexpected<G> u) : data_(std::in_place_index<1>, std::move(u).error()) {}

    [[nodiscard]] bool has_value() const noexcept { return data_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }
    T& value() & { return std::get<0>(data_); }
    const T& value() const& { return std::get<0>(data_); }
    T&& value() && { return std::get<0>(std::move(data_)); }
    T& operator*() & { return std::get<0>(data_); }
    const T& operator*() const& { return std::get<0>(data_); }
    T&& operator*() && { return std::get<0>(std::move(data_)); }
    T* operator->() { return &std::get<0>(data_); }
    const T* operator->() const { return &std::get<0>(data_); }
    E& error() & { return std::get<1>(data_); }
    const E& error() const& { return std::get<1>(data_); }
    E&& error() && { return std::get<1>(std::move(data_)); }

  private:
    std::variant<T, E> data_;
};

template <class E> class Expected<void, E> {
  public:
    using value_type = void;
    using error_type = E;

    Expected() = default;
    template <class G>
    Expected(Unexpected<G> u) : data_(std::in_place_index<1>, std::move(u).error()) {}

    [[nodiscard]] bool has_value() const noexcept { return data_.index() == 0; }
    explicit operator bool() const noexcept { return has_value(); }
    void value() const { assert(has_value()); }
    void operator*() const noexcept {}
    E& error() & { return std::get<1>(data_); }
    const E& error() const& { return std::get<1>(data_); }
    E&& error() && { return std::get<1>(std::move(data_)); }

  private:
    std::variant<std::monostate, E> data_;
};

} // namespace morvik
#endif
