#pragma once
// Hex values and token cutting, the two primitives every input line of stackresolve is
// read with. Pure functions over text; any code of stackresolve and its tests may call
// them from any thread.
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace stackresolve {

// Which characters a token may hold. Each input place has its own set, and the sets are
// deliberately loose: the debugger's layouts are matched by length, not by grammar.
enum class TokenSet {
  StackLine,          // hex digits and the blank: a whole "address  w1 w2 w3 w4" stack line
  StackWord,          // hex digits: one word of a debugger stack line
  ModulesIniAddress,  // hex digits, "G" and "g": an address in modules.ini
  StackIniWord,       // hex digits, "x" and "X": a word in stack.ini ("0x" keeps its length)
};

bool IsInTokenSet(char c, TokenSet set);

// The longest prefix of text made only of the set's characters (possibly empty).
std::string_view CutToken(std::string_view text, TokenSet set);

// What is left after a token of tokenLength characters and the one separator after it.
// A token of length 0 still drops one character, which is how the word loops advance over
// anything they cannot read.
std::string_view DropTokenAndSeparator(std::string_view text, size_t tokenLength);

// Texts shorter than three characters give 0, and so does any character that is not a hex
// digit (so "0x401000" gives 0). Digits beyond the last sixteen wrap out of the 64-bit sum.
uint64_t HexToUInt64(std::string_view text);
// The same rules in 32 bits: digits beyond the last eight wrap out.
inline uint32_t HexToUInt32(std::string_view text) { return static_cast<uint32_t>(HexToUInt64(text)); }

// Substring helpers that clamp instead of throwing, for lines shorter than their layout.
std::string_view LeftPart(std::string_view text, size_t count);
std::string_view MidPart(std::string_view text, size_t first, size_t count = std::string_view::npos);

}  // namespace stackresolve
