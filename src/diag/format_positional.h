// Positional message formatting: "%1"-style templates with typed arguments.
//
// The template is copied to the output; "%%" gives "%"; otherwise "%" opens a placeholder:
//   "%N"        argument N (1-based, first digit 1-9) in its default form: text unchanged,
//               integers in decimal, a char as itself, a double in its shortest exact form,
//               a pointer as "0x" and lowercase hexadecimal.
//   "%N$conv"   argument N formatted with a printf directive: flags from "-+ #0", a
//               width, "." and a precision (either may be "*", taking its value from the
//               argument "*M$" names or from the next argument in order), a length modifier
//               (h hh l ll L j t z) and one conversion character (d i u o x X e E f F g G a A
//               c s p).
//   "%conv"     a placeholder without a number, or whose number exceeds the argument count,
//               is a printf directive from the "%" on (its digits are the width) and takes
//               the next argument in order.
//
// Numbered and sequential placeholders: "the next argument in order" is a counter that starts
// at the first argument and moves only when a sequential placeholder or an unnumbered "*"
// takes an argument; "%N" and "*M$" never move it. So "%2 %s %s" with (a, b) gives "b a b".
//
// Formatting ends early, keeping what was produced, when a directive (from its "%",
// without "N$", through the conversion character) is longer than 59 characters, when a
// placeholder needs an argument and none is left, and when a directive is malformed or
// the template ends inside it. Output stops at the buffer's end; it is always terminated.
//
// Arguments format themselves with the value and type they really carry: a length modifier
// is accepted and ignored, numbers print their true value, and "u o x X" on a negative
// integer use the two's complement of the argument's own width. A conversion that does not
// fit the argument (e.g. "d" on text, "f" on a pointer) gives its default form, padded and
// cut like "%s". Text is used as bytes; "%n" is not supported.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace Voro {

// Buffer size for messages and failure texts: at most 4095 characters plus the terminator.
inline constexpr size_t kFormatBufferSize = 4096;
// Longest printf directive a placeholder may carry.
inline constexpr size_t kMaxFormatSpecLength = 59;

// A bounded, always-terminated output buffer.
class FormatOutput {
 public:
  // REQUIRES: buffer holds `size` bytes; size 0 means nothing is ever written.
  FormatOutput(char* buffer, size_t size);

  void Append(std::string_view text);
  void AppendFill(char c, size_t count);
  // Characters that still fit before the terminator.
  size_t Room() const { return size_ == 0 ? 0 : size_ - 1 - length_; }
  bool Full() const { return Room() == 0; }
  size_t Length() const { return length_; }
  // Direct writing of up to Room() characters at Cursor(), then Advance by what was written.
  char* Cursor() { return buffer_ + length_; }
  void Advance(size_t count);

 private:
  char* buffer_;
  size_t size_;
  size_t length_ = 0;
};

// A parsed printf directive.
struct FormatSpec {
  bool left_align = false;  // "-" or a negative "*" width
  bool plus = false;        // "+"
  bool space = false;       // " "
  bool alternate = false;   // "#"
  bool zero_pad = false;    // "0"
  uint64_t width = 0;       // saturated; clamped when formatting
  bool has_precision = false;
  uint64_t precision = 0;
  char conversion = 0;
};

// One argument with its type. It refers to the caller's text, so it lives only for the
// duration of the formatting call.
class FormatArg {
 public:
  enum class Kind : uint8_t { kText, kSigned, kUnsigned, kChar, kDouble, kPointer };

  FormatArg(std::string_view text) : kind_(Kind::kText), text_(text) {}  // NOLINT
  // A null pointer is shown as "(null)".
  FormatArg(const char* text)  // NOLINT
      : kind_(Kind::kText), text_(text == nullptr ? std::string_view("(null)") : text) {}
  FormatArg(const std::string& text) : kind_(Kind::kText), text_(text) {}  // NOLINT
  FormatArg(char c) : kind_(Kind::kChar), width_(1), signed_(c) {}         // NOLINT

  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
           std::is_signed_v<T>) FormatArg(T value)  // NOLINT
      : kind_(Kind::kSigned), width_(sizeof(T)), signed_(value) {}

  template <typename T>
  requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char> &&
           std::is_unsigned_v<T>) FormatArg(T value)  // NOLINT
      : kind_(Kind::kUnsigned), width_(sizeof(T)), unsigned_(value) {}

  // Whether a flag is "yes" or "1" is the caller's choice, so bool has no form of its own.
  FormatArg(bool) = delete;

  FormatArg(double value) : kind_(Kind::kDouble), double_(value) {}             // NOLINT
  FormatArg(float value) : kind_(Kind::kDouble), double_(value) {}              // NOLINT
  FormatArg(const void* pointer) : kind_(Kind::kPointer), pointer_(pointer) {}  // NOLINT
  FormatArg(std::nullptr_t) : kind_(Kind::kPointer), pointer_(nullptr) {}       // NOLINT

  Kind kind() const { return kind_; }

  // The default form, cut at the output's end.
  void AppendDefault(FormatOutput& out) const;
  // The form `conv` asks for (see the top of this file).
  void AppendFormatted(const FormatSpec& conv, FormatOutput& out) const;
  // The value a "*" width or precision takes from this argument; false for text, doubles
  // and pointers, which leave the width or precision unset.
  [[nodiscard]] bool AsStarValue(int64_t* value) const;

 private:
  void AppendInteger(const FormatSpec& conv, FormatOutput& out) const;

  Kind kind_;
  uint8_t width_ = 0;  // bytes of the integer type the caller passed
  union {
    int64_t signed_ = 0;
    uint64_t unsigned_;
    double double_;
    const void* pointer_;
  };
  std::string_view text_;
};

// Formats into buffer[0, size) and returns the length written (the terminator excluded).
size_t FormatPositionalArgs(char* buffer, size_t size, std::string_view tmpl,
                            std::span<const FormatArg> args);

// The bounded form: formats into the caller's buffer, returns the length written.
template <typename... Args>
size_t FormatPositionalInto(char* buffer, size_t size, std::string_view tmpl, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return FormatPositionalArgs(buffer, size, tmpl, {});
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    return FormatPositionalArgs(buffer, size, tmpl, list);
  }
}

// The usual form: at most kFormatBufferSize - 1 characters.
std::string FormatPositionalList(std::string_view tmpl, std::span<const FormatArg> args);

template <typename... Args>
std::string FormatPositional(std::string_view tmpl, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return FormatPositionalList(tmpl, {});
  } else {
    const FormatArg list[] = {FormatArg(args)...};
    return FormatPositionalList(tmpl, list);
  }
}

}  // namespace Voro
