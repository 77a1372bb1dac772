// The text encodings a repair reads.  Whatever the input's encoding, the
// parser and everything after it see UTF-8: the input is transcoded once,
// whole, before anything else looks at it, by simdutf where it can.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "byte_buffer.hpp"
#include "error.hpp"

namespace csv_mendle {

enum class Encoding : std::uint8_t {
  Utf8,
  Cp1252,   // Windows-1252; its five unassigned bytes read as the C1 controls of their value
  Latin1,   // ISO-8859-1: every byte is the character of its value
  Utf16Le,
  Utf16Be,
  Utf32Le,
  Utf32Be,
};

// What the caller asked for: one encoding, "utf-16" or "utf-32" with the
// byte order left to a byte-order mark (little-endian without one), or
// "auto": a UTF-8, UTF-16 or UTF-32 byte-order mark decides, else valid
// UTF-8 stays UTF-8, else cp1252.
struct EncodingRequest {
  enum class Kind : std::uint8_t { Fixed, Utf16, Utf32, Auto };
  Kind kind = Kind::Fixed;
  Encoding encoding = Encoding::Utf8;  // for Fixed
};

// The request a name stands for: Python's codec names and common aliases
// ("utf-8", "cp1252", "windows-1252", "latin-1", "iso-8859-1", "utf-16-le",
// "utf_16be", "UTF32", "auto", ...), case, '-' and '_' not minding.  Nothing
// for an unknown name.
std::optional<EncodingRequest> encoding_request(std::string_view name) noexcept;

// The encoding a request settles on for `bytes`.
Encoding settle_encoding(const EncodingRequest& request, std::string_view bytes) noexcept;

// The canonical name of an encoding ("utf-8", "cp1252", "latin-1",
// "utf-16-le", "utf-16-be", "utf-32-le", "utf-32-be").
std::string_view encoding_name(Encoding encoding) noexcept;

// `input` as UTF-8: the same buffer for UTF-8, else a new one.  A byte-order
// mark stays, as the UTF-8 one, for the parser to pass over.  Ill-formed
// UTF-16 or UTF-32 becomes U+FFFD; an input whose length is not a whole
// number of code units fails (Cause::BadEncodingLength).  Throws
// std::bad_alloc when the UTF-8 form cannot be held.
Result<ByteBuffer> transcode_to_utf8(ByteBuffer input, Encoding encoding);

// A whole input as read, in UTF-8: the encoding `request` settles on for it,
// and its bytes transcoded from that encoding.
struct TextInput {
  ByteBuffer utf8;
  Encoding encoding = Encoding::Utf8;
};
Result<TextInput> as_utf8(ByteBuffer input, const EncodingRequest& request);

}  // namespace csv_mendle
