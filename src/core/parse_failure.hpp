// The report a parse gives instead of fragments when its loop cannot go on.
//
// The report holds a kind and, for "incomplete", an optional count; it never
// carries any of the template text.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace frasolet {

struct ParseFailure {
    enum class Kind { error, failure, incomplete };

    Kind kind = Kind::error;
    // Only for `incomplete`: how many more bytes/chars are needed, if known.
    std::optional<std::size_t> needed;

    static ParseFailure error() noexcept { return {Kind::error, std::nullopt}; }
    static ParseFailure failure() noexcept { return {Kind::failure, std::nullopt}; }
    static ParseFailure incomplete(std::optional<std::size_t> needed = std::nullopt) noexcept {
        return {Kind::incomplete, needed};
    }

    // "Parsing Error: ()", "Parsing Failure: ()", "Parsing requires N
    // bytes/chars" or "Parsing requires more data".
    std::string message() const;
};

}  // namespace frasolet
