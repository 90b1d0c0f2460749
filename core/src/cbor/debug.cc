// The debug form of CBOR values used inside messages.
#include "corvane/cbor.h"
#include "corvane/quote.h"
#include "text.h"

namespace corvane {

using detail::cat;

namespace {

void append_debug(std::string& out, const CborValue& value) {
  switch (value.kind()) {
    case CborKind::kUint: out += cat("Uint(", *value.as_uint(), ")"); return;
    case CborKind::kNint: out += cat("Nint(", *value.as_nint(), ")"); return;
    case CborKind::kBytes: {
      out += "Bytes([";
      bool first = true;
      for (std::uint8_t b : *value.as_bytes()) {
        if (!first) out += ", ";
        first = false;
        out += cat(unsigned{b});
      }
      out += "])";
      return;
    }
    case CborKind::kText: out += "Text(" + debug_quote(*value.as_text()) + ")"; return;
    case CborKind::kArray: {
      out += "Array([";
      bool first = true;
      for (const auto& element : *value.as_array()) {
        if (!first) out += ", ";
        first = false;
        append_debug(out, element);
      }
      out += "])";
      return;
    }
    case CborKind::kMap: {
      out += "Map([";
      bool first = true;
      for (const auto& [k, v] : *value.as_map()) {
        if (!first) out += ", ";
        first = false;
        out += "(";
        append_debug(out, k);
        out += ", ";
        append_debug(out, v);
        out += ")";
      }
      out += "])";
      return;
    }
    case CborKind::kBool: out += *value.as_bool() ? "Bool(true)" : "Bool(false)"; return;
  }
}

}  // namespace

std::string debug_string(const CborValue& value) {
  std::string out;
  append_debug(out, value);
  return out;
}

}  // namespace corvane
