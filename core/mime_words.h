// Mail-style header text: MIME encoded words (RFC 2047: "=?" charset "?B?" base64 "?=", and the Q
// form when decoding), unfolding and folding of header lines, Shift_JIS <-> ISO-2022-JP (RFC 1468: JIS X
// 0208 between ESC $ B and ESC ( B) and SMTP dot-stuffing (RFC 5321 section 4.5.2).
//
// Results are 0, 200 when a buffer cannot grow, or another buffer code. Malformed encoded words are
// never an error: they are copied as they stand. Writers append to their output unless they say
// otherwise; a text argument must not point into the output it is written to. Every routine may be
// called from any thread; a buffer is used by one thread at a time.
#pragma once

#include <cstdint>

#include "core/buffer.h"

namespace velmora::core {

// ---- Encoded words ---------------------------------------------------------------------------------

// AppendMimeEncodedWords appends length bytes of data as B encoded words of charset, chunk_bytes bytes
// each (below 1: (64 - charset length) * 3 / 4, which makes 64-character words), joined by "\r\n ". No
// character of a known multibyte charset (UTF-8, the double-byte and EUC code pages, GB18030, UTF-16
// and UTF-32) is split between two words. A null or empty charset appends the data unchanged.
[[nodiscard]] int AppendMimeEncodedWords(BufferCore& out, const void* data, int32_t length, const char* charset,
                                         int32_t chunk_bytes);

// DecodeMimeEncodedWords replaces the encoded words in buffer by their text. Adjacent words of one
// charset (directly, after a fold or after blanks) are joined before conversion, so that a character
// split between them decodes whole; whitespace between two encoded words is dropped, whitespace between
// a word and plain text kept. With target_code_page 0 or above the text of a word whose charset is
// known is converted to that code page (UTF-16 and UTF-32 words included); a word that cannot be
// converted stays as it stands. A negative target keeps the decoded bytes. 0 or 200 (buffer unchanged).
[[nodiscard]] int DecodeMimeEncodedWords(BufferCore& buffer, int32_t target_code_page);

// DecodeEncodedWordText replaces a buffer holding exactly one encoded word by the word's decoded bytes;
// a malformed word is left untouched and gives 0.
[[nodiscard]] int DecodeEncodedWordText(BufferCore& buffer);

// ReadAdjacentEncodedWord looks at the length bytes at text for an encoded word of charset (compared
// exactly) that starts there, after a fold ("\r\n" or "\n" and one blank or tab) or after blanks and
// tabs. It returns 1, sets *consumed to the bytes up to the word's end and out to its decoded bytes, or
// returns 0 with *consumed 0 and out empty.
int ReadAdjacentEncodedWord(const char* text, int32_t length, const char* charset, int32_t* consumed,
                            BufferCore& out);

// DecodeQuotedEquals replaces each "=" and two hex digits in buffer by that byte, in place. Any other
// "=" is kept, except one that ends the text, which is dropped.
[[nodiscard]] int DecodeQuotedEquals(BufferCore& buffer);

// ---- Header values ---------------------------------------------------------------------------------

// DecodeHeaderValue sets out to the unfolded value (CR LF and the blanks after it become the last of
// those blanks, a bare CR LF becomes LF, a CR LF at the very end is dropped), then decodes its encoded
// words to target_code_page as DecodeMimeEncodedWords.
[[nodiscard]] int DecodeHeaderValue(BufferCore& out, const char* text, int32_t length, int32_t target_code_page);
// DecodeHeaderValueText is DecodeHeaderValue of a NUL-terminated text (null counts as "") into the
// system code page.
[[nodiscard]] int DecodeHeaderValueText(BufferCore& out, const char* text);
// SetMimeDecoded sets, and AppendMimeDecoded appends, the DecodeMimeEncodedWords form of the
// NUL-terminated text (null counts as "").
[[nodiscard]] int SetMimeDecoded(BufferCore& buffer, const char* text, int32_t target_code_page);
[[nodiscard]] int AppendMimeDecoded(BufferCore& buffer, const char* text, int32_t target_code_page);

// FoldHeaderLines appends length bytes of text with CR and LF turned into blanks and a "\r\n" put
// before the first blank or tab at or past every line_length bytes (a blank or tab that would start a
// line as the very last byte is dropped). line_length below 1 appends the text unchanged.
[[nodiscard]] int FoldHeaderLines(BufferCore& out, const char* text, int32_t length, int32_t line_length);

// EncodeHeaderTextChunked appends a header value whose pieces holding a byte of 0x80 or above become
// encoded words of charset; pieces end at a single blank or tab once they hold line_length bytes (below
// 1: one piece). ASCII-only text, or an empty charset, goes through FoldHeaderLines. The last encoded
// piece uses chunk_bytes, the others the default chunk size.
[[nodiscard]] int EncodeHeaderTextChunked(BufferCore& out, const char* text, int32_t length, int32_t line_length,
                                          const char* charset, int32_t chunk_bytes);
// EncodeHeaderText is EncodeHeaderTextChunked of a NUL-terminated text with the default chunk size.
[[nodiscard]] int EncodeHeaderText(BufferCore& out, const char* text, int32_t line_length, const char* charset);

// AppendHeaderParameter appends a header parameter: name "=" and the value between double quotes. In
// mode 1 a value with bytes of 0x80 or above is Shift_JIS and goes as ISO-2022-JP words of at most
// 36 (first) or 46 bytes of Shift_JIS, each on its own folded line; otherwise such a value is encoded
// with charset (EncodeHeaderTextChunked with chunk_bytes), and an ASCII value is copied.
[[nodiscard]] int AppendHeaderParameter(BufferCore& out, const char* name, const char* value, int32_t value_length,
                                        int mode, const char* charset, int32_t chunk_bytes);

// ---- ISO-2022-JP -----------------------------------------------------------------------------------

// ShiftJisToIso2022Jp appends the ISO-2022-JP form of the NUL-terminated Shift_JIS text: double-byte
// characters (and half-width katakana, widened) as JIS X 0208 between ESC $ B and ESC ( B. A lead byte
// without a valid trail byte, and any other byte of 0x80 or above, becomes '?', so the output is 7-bit.
[[nodiscard]] int ShiftJisToIso2022Jp(BufferCore& out, const char* text);
// JisToShiftJis appends the Shift_JIS form of the NUL-terminated ISO-2022-JP text. Nothing is read past
// the terminator; a half pair before it, a CR, a LF or an ESC is dropped.
[[nodiscard]] int JisToShiftJis(BufferCore& out, const char* text);
// AppendJisKanjiEscape appends ESC $ B, AppendJisAsciiEscape ESC ( B.
[[nodiscard]] int AppendJisKanjiEscape(BufferCore& out);
[[nodiscard]] int AppendJisAsciiEscape(BufferCore& out);
// AppendIso2022JpWord appends "=?ISO-2022-JP?B?", the base64 of the ISO-2022-JP form of the
// NUL-terminated Shift_JIS text, and "?=". The base64 is never broken into lines, wrap or not: a line
// break inside an encoded word would end the header line.
[[nodiscard]] int AppendIso2022JpWord(BufferCore& out, const char* shift_jis, int wrap);
// DecodeIso2022JpWords appends the NUL-terminated text with its ISO-2022-JP encoded words (either
// letter, any case) decoded to Shift_JIS; whitespace between two encoded words is dropped, a word with
// another letter is dropped.
[[nodiscard]] int DecodeIso2022JpWords(BufferCore& out, const char* text);
// DecodeIso2022JpBWord and DecodeIso2022JpQWord append the Shift_JIS text of one whole ISO-2022-JP
// encoded word of length bytes ("=?ISO-2022-JP?B?" ... "?="); a word shorter than that frame appends
// nothing.
[[nodiscard]] int DecodeIso2022JpBWord(BufferCore& out, const char* word, int32_t length);
[[nodiscard]] int DecodeIso2022JpQWord(BufferCore& out, const char* word, int32_t length);
// EncodeIso2022JpHeader appends a header value of Shift_JIS text as ISO-2022-JP words on folded
// lines when iso2022jp_mode is set and the text has a byte of 0x80 or above; otherwise EncodeHeaderText
// with charset.
[[nodiscard]] int EncodeIso2022JpHeader(BufferCore& out, const char* text, int32_t line_length, int iso2022jp_mode,
                                        const char* charset);
// EncodeIso2022JpAddressHeader is EncodeIso2022JpHeader for address lists: runs of Japanese text and
// quoted display names with such text become ISO-2022-JP words, the rest (addresses, punctuation) stays,
// and the result is folded at line_length.
[[nodiscard]] int EncodeIso2022JpAddressHeader(BufferCore& out, const char* text, int32_t line_length,
                                               int iso2022jp_mode, const char* charset);
// SetDecodedIso2022JpWords clears buffer, then DecodeIso2022JpWords of text (null counts as "").
[[nodiscard]] int SetDecodedIso2022JpWords(BufferCore& buffer, const char* text);

// ---- Dot-stuffing ----------------------------------------------------------------------------------

// AppendDotStuffed appends length bytes of data with every "." that begins a line (at the start or
// after LF) doubled.
[[nodiscard]] int AppendDotStuffed(BufferCore& out, const void* data, int32_t length);
// CountDotStuffing returns the number of "." bytes that begin a line.
int32_t CountDotStuffing(const void* data, int32_t length);
// AppendDotStuffedText is AppendDotStuffed of a NUL-terminated text (null counts as "").
[[nodiscard]] int AppendDotStuffedText(BufferCore& out, const char* text);
// SetDotStuffed clears buffer, then AppendDotStuffed of the text (null counts as "").
[[nodiscard]] int SetDotStuffed(BufferCore& buffer, const char* text);

}  // namespace velmora::core
