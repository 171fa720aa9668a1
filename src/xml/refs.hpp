// References and character validation: what the raw byte ranges of the reader mean. Validation
// runs when the reader makes an event, so a bad document fails at once; decoding runs only when a
// consumer asks for a value, and can then no longer fail.
#pragma once

#include "core/error.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace qf::xml {

// One reference body (the bytes between "&" and ";") to its code point.
[[nodiscard]] XmlResult<std::uint32_t> resolve_ref(std::string_view name);

// Checks every reference in `data` ("bad reference" when an "&" has no later ";").
[[nodiscard]] XmlResult<void> validate_refs(std::string_view data);

// The character rule: no control byte but tab, line feed and carriage return; valid UTF-8 without
// overlongs, surrogates or values above 10FFFF; no U+FFFE or U+FFFF.
[[nodiscard]] XmlResult<void> validate_chars(std::string_view data);

// Only the UTF-8 part of the rule (for stretches already known to be free of control bytes).
[[nodiscard]] XmlResult<void> validate_utf8(std::string_view data);

// Attribute value normalisation: tab, line feed, carriage return (and CR LF) become one space,
// references are replaced. Returns `value` itself when nothing changes, else a view of `scratch`.
// The value must have passed validate_refs.
std::string_view decode_attr(std::string_view value, std::string& scratch);

// Character data decoding: carriage returns (and CR LF) become line feeds, and unless `cdata`,
// references are replaced. Same borrowing rule and precondition as decode_attr.
std::string_view decode_text(std::string_view text, bool cdata, std::string& scratch);

// Appends the UTF-8 form of a code point (at most 10FFFF).
void append_utf8(std::string& out, std::uint32_t cp);

}  // namespace qf::xml
