// The result of decoding one of the system's JSON formats: the value, or an
// error that says where (a JSON path such as `$.groups.alpha.soft[2]`) and
// what was wrong. Decoders never throw; their callers turn an error into the
// documented fallback (defaults, no manifest, no action).
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <variant>

namespace clavio {

struct DecodeError {
    std::string path;    // "$" for the whole document
    std::string message; // what was wrong, e.g. "expected a string, found a number"

    // One line: "<path>: <message>", or the message alone when no path applies.
    std::string text() const { return path.empty() ? message : path + ": " + message; }
};

inline std::ostream& operator<<(std::ostream& os, const DecodeError& error) {
    return os << error.text();
}

template <class T> class DecodeResult {
public:
    DecodeResult(T value) : _result(std::move(value)) {}
    DecodeResult(DecodeError error) : _result(std::move(error)) {}
    // An error that is not about one place in the document.
    static DecodeResult failure(std::string message) {
        return DecodeResult(DecodeError{"", std::move(message)});
    }

    bool ok() const noexcept { return _result.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    // Only when ok().
    const T& value() const& { return std::get<0>(_result); }
    T& value() & { return std::get<0>(_result); }
    T&& value() && { return std::get<0>(std::move(_result)); }
    const T& operator*() const& { return value(); }
    const T* operator->() const { return &value(); }

    // Only when !ok().
    const DecodeError& error() const { return std::get<1>(_result); }

private:
    std::variant<T, DecodeError> _result;
};

} // namespace clavio
