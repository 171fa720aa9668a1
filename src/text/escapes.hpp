// The `_xHHHH_` escapes of cell text, both ways, on UTF-8 bytes: files carry a character that
// XML cannot (or a carriage return) as its UTF-16 code unit in four hex digits, a surrogate pair
// as two escapes in a row, and a literal "_xHHHH_" as "_x005F_xHHHH_". The package's
// quillfen.utils.escapes is the other half of the contract: both give the same text.
// No Python.h.
#pragma once

#include <string>
#include <string_view>

namespace qf::text {

// Appends `text` (valid UTF-8) to `out` with its escapes undone, left to right, matches never
// overlapping. A high-surrogate escape followed by a low-surrogate one is one character; a lone
// surrogate escape is kept as it stands.
void decode_escapes(std::string_view text, std::string& out);

// Decodes `text` in place when it has escapes (`scratch` is working space); the common text,
// without "_x", is only searched.
void decode_escapes_in_place(std::string& text, std::string& scratch);

// Writing: an underscore followed by "x", four hex digits and an underscore is written as
// "_x005F_" (the rest as it is). Text that holds a character XML cannot hold is written by the
// package (its escapes and this protection interact there).
inline constexpr std::string_view PROTECTION = "x005F_";  // goes right after the underscore

// Index of the first underscore at or after `from` that needs the protection, or npos. The
// underscore that ends one literal may start the next: each is looked at.
std::size_t next_protected(std::string_view text, std::size_t from) noexcept;

}  // namespace qf::text
