// The outcome of decoding a stored or transmitted format: the value, or a
// one-line error naming what was wrong and where (the JSON key, the line).
// Decoders never throw; callers turn an error into a default or no value.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace clavio {

template <class T> class DecodeResult {
public:
    DecodeResult(T value) : _v(std::in_place_index<0>, std::move(value)) {}
    static DecodeResult failure(std::string message) {
        return DecodeResult(std::in_place_index<1>, std::move(message));
    }

    bool ok() const noexcept { return _v.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // Only when ok().
    const T& value() const& { return std::get<0>(_v); }
    T&& value() && { return std::get<0>(std::move(_v)); }
    const T& operator*() const& { return value(); }
    const T* operator->() const { return &value(); }

    // Only when !ok().
    const std::string& error() const { return std::get<1>(_v); }

private:
    template <std::size_t I, class A>
    DecodeResult(std::in_place_index_t<I> tag, A&& a) : _v(tag, std::forward<A>(a)) {}
    std::variant<T, std::string> _v;
};

} // namespace clavio
