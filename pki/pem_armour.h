// PEM armour (RFC 7468, with the header lines of RFC 1421 and the four-dash form of RFC 4716): the strict
// multi-block reader, the header splitter, the label-directed single-block reader that also opens
// legacy encrypted bodies, and the writers. Text is handled as 8-bit bytes; every comparison is
// case-sensitive. Output lines end in CR LF; input lines may end in CR LF, CR or LF. Reentrant; one
// thread at a time per output.
#pragma once

#include <cstdint>

#include "core/buffer.h"
#include "core/str_list.h"

namespace velmora::pki {

// kPemMissing: a PEM block, label or end line that is not there.
inline constexpr int kPemMissing = 1424;

// ParsePemArmour splits text into its complete blocks: for block i, item i of labels, headers (its header
// lines trimmed and joined by CR LF) and bodies (the decoded bytes). The lists and error are emptied
// first. 0 when at least one block was added, else -1. Parsing stops at the first fault with error set
// to "Invalid begin: ", "Invalid PEM line: ", "Failed to Base64 decode body: " or "Invalid end: " and
// what is named there: a begin or end line is quoted (at most 32 characters); a fault inside a block
// names the block's label and the line number ("RSA PRIVATE KEY, line 7"), never the line, which may
// hold key material. Blocks completed before a fault stay in the lists. A block without an end line is
// dropped without an error text.
int ParsePemArmour(const core::BufferCore& text, core::StrList& labels, core::StrList& headers,
                   core::StrList& bodies, core::BufferCore& error);

// ParseHeaderFields sets fields to name, value, name, value ... of the "name: value" lines of a header
// text as ParsePemArmour gives it (a backslash before CR LF continues the value): 0, or 200.
[[nodiscard]] int ParseHeaderFields(const char* header_text, core::StrList& fields);

// PemDecode sets out to the body of the block whose begin line holds label (searched as a substring, so
// "PRIVATE KEY" also finds "RSA PRIVATE KEY"), decrypting a body with a "DEK-Info" header under password
// (null counts as ""). A text holding a byte of 0x80 or above is taken as binary and copied unchanged.
// 0; 1424 when the label or the end line is missing; 2001 for a DEK-Info cipher that is not read here
// (DES-CBC, RC2-CBC and names DecryptPemBody does not know); the base64 or decryption code. A wrong
// password is not detected: the result is 0 and the body does not parse. On failure out is unchanged.
// A decrypted body keeps the cipher's padding at its end.
[[nodiscard]] int PemDecode(const char* text, const char* label, core::BufferCore& out, const char* password);
// PemDecodeCore is PemDecode on length bytes; without label_required a text with neither the label nor
// any "-----BEGIN" is taken whole as the body.
[[nodiscard]] int PemDecodeCore(core::BufferCore& out, const char* label, const char* text, int32_t length,
                                const char* password, bool label_required);

// WritePemArmour sets out to the block "-----BEGIN label-----", the base64 of data in 64-character lines
// and "-----END label-----", each line ending in CR LF (a null label counts as ""): 0, or 200 with out
// empty.
[[nodiscard]] int WritePemArmour(core::BufferCore& out, const char* label, const void* data, int32_t length);
// PemEncode is WritePemArmour of der under label into out, built in a scratch buffer: 0, or 200 with out
// unchanged.
[[nodiscard]] int PemEncode(const void* der, int32_t length, const char* label, core::BufferCore& out);
// WritePemArmourWithHeaders sets out to the armour of data by WriteSsh2Armour (dash_count dashes, lines of
// line_length characters) with header_text (may be null) before the body: 0, or 200 with out unchanged.
// No data (null or length 0) gives 0 and an empty out.
[[nodiscard]] int WritePemArmourWithHeaders(const void* data, int32_t length, const char* label, int32_t dash_count,
                                            int32_t line_length, const char* header_text, core::BufferCore& out);
// WriteSsh2Armour sets out to a begin line ("-----BEGIN tag-----" for five dashes, "---- BEGIN tag ----"
// for four: the missing dashes become blanks), the header text (trailing CR and LF dropped) and an empty
// line when the header is not empty, the base64 of data in lines of line_length characters and the end
// line, all lines ending in CR LF. 0, or 200 with out empty; no data gives 0 and an empty out.
[[nodiscard]] int WriteSsh2Armour(core::BufferCore& out, const char* tag, const void* data, int32_t length,
                                  int32_t dash_count, int32_t line_length, const char* header_text);

// DerContentLengthAt returns the content length of the complete DER element that starts at offset in
// buffer, or -1 when no complete element stands there.
int32_t DerContentLengthAt(const core::BufferCore& buffer, int32_t offset);

}  // namespace velmora::pki
