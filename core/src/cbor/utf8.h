#pragma once

#include <cstddef>
#include <cstdint>

namespace corvane::detail {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(const std::uint8_t* data, std::size_t len);

}  // namespace corvane::detail
