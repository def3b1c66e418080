// Hidden names: a prefix, 16 hex digits made of an identity or of a checked number, a suffix.
#include "handover/hidden_names.h"

#include <optional>
#include <string_view>

namespace kv2pelmo {
namespace {

// Every hidden name a run makes beside an output: the prefix, 16 lowercase
// hex digits and the suffix.
constexpr char kHiddenPrefix[] = ".kv2pelmo-";
constexpr char kHiddenSuffix[] = ".tmp";
constexpr std::size_t kHiddenDigits = 16;

std::string HiddenNameFromNumber(const std::string& directory, std::uint64_t number) {
  std::string digits(kHiddenDigits, '0');
  for (std::size_t i = kHiddenDigits; i-- > 0; number >>= 4) {
    digits[i] = "0123456789abcdef"[number & 15];
  }
  return directory + kHiddenPrefix + digits + kHiddenSuffix;
}

// Spreads the bits of value over all 64 (SplitMix64's finaliser).
std::uint64_t Hash64(std::uint64_t value) {
  value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ull;
  value = (value ^ (value >> 27)) * 0x94D049BB133111EBull;
  return value ^ (value >> 31);
}

// The 16 digits of a random name: a value, then a check made of it, which
// an identity's name or a user's file has only by a chance of one in 2^32.
std::uint64_t RandomNumberWithCheck(std::uint32_t value) {
  return std::uint64_t{value} << 32 | (Hash64(value ^ 0x6B7632ull) & 0xFFFFFFFF);
}

// Returns the number a hidden name carries, or nothing where name has not
// the form of one.
std::optional<std::uint64_t> HiddenNumber(const std::string& name) {
  const std::size_t prefix = sizeof(kHiddenPrefix) - 1;
  if (name.size() != prefix + kHiddenDigits + sizeof(kHiddenSuffix) - 1 ||
      name.rfind(kHiddenPrefix, 0) != 0 ||
      name.compare(prefix + kHiddenDigits, std::string::npos, kHiddenSuffix) != 0) {
    return std::nullopt;
  }
  std::uint64_t number = 0;
  for (std::size_t i = prefix; i < prefix + kHiddenDigits; ++i) {
    const std::size_t digit = std::string_view("0123456789abcdef").find(name[i]);
    if (digit == std::string_view::npos) return std::nullopt;
    number = number << 4 | digit;
  }
  return number;
}

}  // namespace

std::string HiddenNameForFile(const std::string& directory, const FileId& id) {
  return HiddenNameFromNumber(directory, Hash64(Hash64(id.volume) ^ id.index));
}

std::string RandomHiddenNameOf(const std::string& directory, std::uint64_t unique) {
  return HiddenNameFromNumber(directory,
                              RandomNumberWithCheck(static_cast<std::uint32_t>(Hash64(unique))));
}

HiddenKind KindOfHiddenName(const std::string& name) {
  const std::optional<std::uint64_t> number = HiddenNumber(name);
  if (!number) return HiddenKind::kNone;
  return RandomNumberWithCheck(static_cast<std::uint32_t>(*number >> 32)) == *number
             ? HiddenKind::kRandom
             : HiddenKind::kIdentity;
}

}  // namespace kv2pelmo
