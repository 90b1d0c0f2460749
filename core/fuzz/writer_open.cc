// Opening a writer on one or two hostile segments: a refusal leaves every
// file as it was; a success only cuts tails (or makes a half-made last
// segment again), never anything holding an intact frame, and the records
// appended next chain on from what was kept. A second open then finds
// nothing to repair.
#include "support.h"
#include "writer/writer_probe.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto [flags, log, dir, fds] = fuzz::log_case(data, size);
  auto opened = fuzz::open_writer(dir, (flags & 1) != 0);
  if (!opened) {
    for (const auto& [index, seg] : log) FUZZ_CHECK_MSG(fuzz::read_segment(index) == seg, opened.error().to_string());
    FUZZ_CHECK(fuzz::open_fds() == fds);
    return 0;
  }
  // What open kept of each segment: a prefix, whose cut part holds no intact
  // frame; only a last segment too short for a header may be made again.
  for (const auto& [index, seg] : log) {
    const Bytes now = fuzz::read_segment(index).value();  // a removed segment throws, and aborts
    if (index == log.rbegin()->first && seg.size() <= kHeaderLen && now.size() >= kHeaderLen) continue;
    FUZZ_CHECK(now.size() <= seg.size() && std::equal(now.begin(), now.end(), seg.begin()));
    if (now.size() < seg.size()) FUZZ_CHECK(!fuzz::intact_frame_after(seg, now.size() - 1));
  }
  Writer& w = opened->writer;
  const Mac head = fuzz::append_two(w, detail::WriterProbe::segment_index(w), detail::WriterProbe::segment_bytes(w), detail::WriterProbe::chain_head(w));

  auto again = fuzz::ok(fuzz::open_writer(dir, false));
  FUZZ_CHECK(again.truncated_bytes == 0 && again.action == RecoveryAction::kResumed && detail::WriterProbe::chain_head(again.writer) == head);
  return 0;
}
