// Reader internals shared by the segment reader and the free functions.
#pragma once

#include <cstdint>
#include <expected>

#include "corvane/reader.h"

namespace corvane::detail {

// Decodes a framed record strictly: canonical CBOR, then the record schema.
[[nodiscard]] std::expected<StoredRecord, ReaderError> decode_frame(const FrameView& frame,
                                                                    std::uint16_t segment);

}  // namespace corvane::detail
