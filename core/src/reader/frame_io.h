// Reader internals shared by the segment reader and the free functions.
#pragma once

#include <cstdint>
#include <expected>

#include "corvane/reader.h"

namespace corvane::detail {

// Decodes a framed record strictly: canonical CBOR, then the record schema.
// Records are decoded in one pass, straight from their bytes; bytes that
// pass refuses go through the full decoder, which alone words the errors. The record is decoded into
// `out`, which the caller may have placed where it is to be returned, so
// that it is not moved there; after an error `out` is unspecified.
[[nodiscard]] std::expected<void, ReaderError> decode_frame(const FrameView& frame, std::uint16_t segment,
                                                            StoredRecord& out);

// The one-pass decoding alone, for the fuzz target that holds it against the
// full decoder: false when it leaves the bytes to the full decoder (`out` is
// then unspecified); otherwise `out` holds the record's fields (not its
// position, MAC or bytes).
[[nodiscard]] bool decode_record_fast(ByteView record, StoredRecord& out);

}  // namespace corvane::detail
