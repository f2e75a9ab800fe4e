// Windows-1252, the ANSI code page of the machines the program meets, and the
// Unicode forms text comes in; the one home of the code page for the stand-in's
// readers and the preview.
//
// Text as the program sees it: the machine hands names and strings to the
// program's ANSI ("A") calls in its ANSI code page, Windows-1252. Text stored
// in Unicode (NT hives, version 5.00 exports, REGEDIT4 saved as UTF-8) is
// converted the way Windows converts it: a character with a Windows-1252 form
// becomes that byte, one without gets the best-fit letter Windows uses for
// code page 1252 (U+0100 'A' with macron becomes 'A'), any other becomes '?'
// for each UTF-16 unit it takes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace winsim
{
namespace detail
{

// The character's exact Windows-1252 byte (Latin-1 except for 0x80-0x9F,
// where the code page has typographic characters; its five undefined bytes
// stand for the C1 controls of the same number). False when it has none: the
// stand-in's own readers refuse such text, as regedit's files never hold it.
bool AnsiFromUnicode(unsigned int uChar, char* pch);
// UTF-16LE text (an odd last byte ignored) in Windows-1252, exact forms only;
// false with the first character that has none in *puBad.
bool AnsiFromUtf16(std::string_view svUtf16, std::string* psOut, unsigned int* puBad);
// The character a Windows-1252 byte stands for (its five undefined bytes: the
// C1 controls of the same number, as Windows maps them).
unsigned int UnicodeFromAnsi(unsigned char chAnsi);
// "U+20AC"
std::string CodePointName(unsigned int uChar);

// Appends one character as UTF-8 (surrogates too, as the readers meet them).
void AppendUtf8(unsigned int uChar, std::string* psOut);
// The character at *pi of cb bytes of UTF-16LE (a surrogate pair as one, an
// unpaired surrogate as itself); *pi moves past it. Needs *pi + 1 < cb.
unsigned int NextUtf16(const unsigned char* pb, size_t cb, size_t* pi);

// What follows is Windows' own conversion, best fit included, for text
// stored in Unicode on a real machine (the preview's inputs).

// The Windows-1252 byte Windows gives the character (exact or best fit);
// -1 when it has none and becomes '?'.
int Cp1252FromCodePoint(unsigned int uChar);

// UTF-16LE text (an odd last byte ignored) in Windows-1252. Returns how many
// characters did not keep their exact form (best fit or '?'); a lone
// surrogate counts as one and becomes '?'.
size_t Utf16ToCp1252(std::string_view svUtf16Le, std::string* psOut);

// UTF-8 text in Windows-1252, as Utf16ToCp1252 (a supplementary character
// takes two UTF-16 units, so two '?'). Surrogates encoded as three bytes (as
// the readers carry unpaired UTF-16 units) become '?'. False for bytes that
// are not UTF-8 (*psOut is then unspecified).
bool Utf8ToCp1252(std::string_view svUtf8, std::string* psOut, size_t* pnChanged);

// True when the text is well-formed UTF-8.
bool IsUtf8(std::string_view sv);

// Windows-1252 bytes as UTF-8, for showing machine text on a UTF-8
// terminal; the five bytes the code page leaves undefined become U+0081 ...
// as Windows maps them back.
std::string Cp1252ToUtf8(std::string_view svCp1252);

// A UTF-16 unit sequence as UTF-8 (unpaired surrogates kept as three-byte
// forms, as Utf8ToCp1252 expects them).
std::string Utf16ToUtf8(std::string_view svUtf16Le);

} // namespace detail
} // namespace winsim
