// The fuzz targets. Each target is one source file defining the libFuzzer
// entry point below; the same file, linked with replay_main.cc instead of
// libFuzzer, replays the target's committed corpus as an ordinary test.
// core/fuzz/CMakeLists.txt lists the targets with the longest input each
// is fuzzed with. A target named *_large is its namesake's file compiled
// with CORVANE_FUZZ_LARGE: the same input, segments grown past 1 MiB.
//
// cbor_decode     bytes: one CBOR item
// record_decode   bytes: one record's CBOR bytes
// segment_header  u16 expected index, then the bytes of a segment file
// recovery_scan   flags (bit 0: index 1 instead of 0, bit 1: rotate on the
//                 next append, bit 2: grow, bits 4..7: reseal flags), with
//                 bit 2 two bytes for fuzz::grow, then the bytes of the last
//                 segment
// verify_segment  flags (bit 0: forensic mode first), then a log of one or
//                 two segments (fuzz::log_from_input)
// read_log        flags, then a log of one or two segments, as above
// writer_open     flags (bit 0: rotate before every record but a segment's
//                 first), then a log of one or two segments, as above
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef CORVANE_FUZZ_LARGE
inline constexpr bool kLargeSegments = true;
#else
inline constexpr bool kLargeSegments = false;
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
