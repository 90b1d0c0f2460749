// What only tests and benchmarks read from a Writer or switch on it: where
// it is writing, its chain head, and the rotation and writeback knobs that
// let a benchmark isolate one cost or a sweep see every writeback call.
#pragma once

#include <cstdint>

#include "corvane/writer.h"

namespace corvane::detail {

struct WriterProbe {
  static std::uint16_t segment_index(const Writer& w);
  static std::uint64_t segment_bytes(const Writer& w);
  static const Mac& chain_head(const Writer& w);
  static void set_rotation_enabled(Writer& w, bool enabled);
  // How many appended bytes collect before their writeback is started.
  static void set_writeback_bytes(Writer& w, std::uint64_t bytes);
};

}  // namespace corvane::detail
