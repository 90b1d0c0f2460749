// Reading a log back for the writer's tests: the verifier vouches for the
// chain, and the checks here for what the writer alone promises.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "corvane/key.h"
#include "corvane/reader.h"
#include "corvane/record.h"
#include "corvane/writer.h"
#include "support/test_util.h"

namespace corvane::testing {

// Every record of the log in `dir`, once verify() finds it Verified and a
// finalization record (with its "records" and "final_hash") ends every
// segment but the last and nowhere else, no segment before the last being
// empty. The error names the first thing that is wrong.
std::expected<std::vector<StoredRecord>, std::string> check_log(const std::string& dir, const KeyHandle& key);

// Opens the log in `dir` the way a writer does after a crash or a failure,
// on the installed file system, and checks what survived: the open
// succeeds; one more record, sample_record(`probe`), appends and flushes;
// the log then passes check_log; and its records other than finalization
// records are the first n of `appended` (by payload "i"), with n at least
// `acked`, then the probe. Returns those "i" values, or what is wrong.
std::expected<std::vector<std::uint64_t>, std::string> check_recovers(
    const std::string& dir, const KeyHandle& key, std::span<const std::uint64_t> appended, std::size_t acked,
    std::uint64_t probe, std::optional<std::uint64_t> segment_size = std::nullopt);

// A plain record numbered `i`: fixed ts_wall (milliseconds i % 1000), actor,
// event "test.event", payload {"i": i, "pad": `pad` x's}.
AppendRecord sample_record(std::uint64_t i, std::size_t pad = 0);

// Writer::open and Writer::append that throw, failing the test, on failure.
Writer::Opened open_writer(const std::string& dir, const KeyHandle& key,
                           std::optional<std::uint64_t> segment_size_bytes = std::nullopt,
                           const SessionId& session = test_session());
std::uint64_t append_ok(Writer& writer, const AppendRecord& record);

}  // namespace corvane::testing
