#include "diag/format_positional.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>

namespace Voro {

namespace {

// snprintf works in int; no message buffer comes near this, and keeping the room this small
// leaves width + produced length inside int as well.
constexpr size_t kMaxPrintfRoom = size_t{1} << 29;
// A double's exact decimal expansion has fewer digits than this after the point, so a larger
// precision adds only trailing zeros and cutting it cannot change rounding.
constexpr uint64_t kExactPrecision = 1100;
// Widths and precisions beyond this are read as this; they cannot fit any buffer anyway.
constexpr uint64_t kSaturatedNumber = uint64_t{1} << 40;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads digits at t[*pos...], saturating; advances *pos past them.
uint64_t ReadNumber(std::string_view t, size_t* pos) {
  uint64_t value = 0;
  while (*pos < t.size() && IsDigit(t[*pos])) {
    value = std::min(kSaturatedNumber, value * 10 + static_cast<uint64_t>(t[*pos] - '0'));
    ++*pos;
  }
  return value;
}

bool IsFloatConversion(char c) { return c != '\0' && std::strchr("eEfFgGaA", c) != nullptr; }
bool IsUnsignedConversion(char c) { return c == 'u' || c == 'o' || c == 'x' || c == 'X'; }

// Text padded with spaces to the width and cut to the precision, as "%s" does.
void AppendPadded(std::string_view text, const FormatSpec& conv, FormatOutput& out) {
  if (conv.has_precision && conv.precision < text.size()) {
    text = text.substr(0, conv.precision);
  }
  const uint64_t pad = conv.width > text.size() ? conv.width - text.size() : 0;
  if (!conv.left_align) {
    out.AppendFill(' ', pad);
  }
  out.Append(text);
  if (conv.left_align) {
    out.AppendFill(' ', pad);
  }
}

// One number through snprintf, with the flags that are defined for its conversion. Width and
// precision are cut to what can still show in the output, which leaves the visible characters
// unchanged (see kExactPrecision; a width above room + length only adds hidden padding).
template <typename V>
void AppendPrintf(const FormatSpec& conv, const char* allowed_flags, const char* length, V value,
                  FormatOutput& out) {
  if (out.Full()) {
    return;
  }
  char format[24];
  size_t n = 0;
  format[n++] = '%';
  const auto flag = [&](bool on, char c) {
    if (on && std::strchr(allowed_flags, c) != nullptr) {
      format[n++] = c;
    }
  };
  flag(conv.left_align, '-');
  flag(conv.plus, '+');
  flag(conv.space, ' ');
  flag(conv.alternate, '#');
  flag(conv.zero_pad, '0');
  format[n++] = '*';
  if (conv.has_precision) {
    format[n++] = '.';
    format[n++] = '*';
  }
  for (const char* l = length; *l != '\0'; ++l) {
    format[n++] = *l;
  }
  format[n++] = conv.conversion;
  format[n] = '\0';

  const size_t room = std::min(out.Room(), kMaxPrintfRoom);
  const int precision = static_cast<int>(
      std::min<uint64_t>(conv.precision, std::max<uint64_t>(room + 32, kExactPrecision)));
  const auto print = [&](char* dest, size_t size, int width) {
    return conv.has_precision ? std::snprintf(dest, size, format, width, precision, value)
                              : std::snprintf(dest, size, format, width, value);
  };
  uint64_t width = conv.width;
  if (width > room) {
    const int bare = print(nullptr, 0, 0);
    if (bare < 0) {
      return;
    }
    width = std::min<uint64_t>(width, room + static_cast<uint64_t>(bare));
  }
  const int produced = print(out.Cursor(), room + 1, static_cast<int>(width));
  if (produced < 0) {
    return;
  }
  out.Advance(std::min(static_cast<size_t>(produced), room));
}

void AppendDouble(double value, const FormatSpec& conv, FormatOutput& out) {
  AppendPrintf(conv, "-+ #0", "", value, out);
}

}  // namespace

FormatOutput::FormatOutput(char* buffer, size_t size) : buffer_(buffer), size_(size) {
  if (size_ > 0) {
    buffer_[0] = '\0';
  }
}

void FormatOutput::Append(std::string_view text) {
  const size_t count = std::min(text.size(), Room());
  if (count == 0) {
    return;
  }
  std::memcpy(buffer_ + length_, text.data(), count);
  Advance(count);
}

void FormatOutput::AppendFill(char c, size_t count) {
  count = std::min(count, Room());
  if (count == 0) {
    return;
  }
  std::memset(buffer_ + length_, c, count);
  Advance(count);
}

void FormatOutput::Advance(size_t count) {
  if (size_ == 0) {
    return;
  }
  length_ += std::min(count, Room());
  buffer_[length_] = '\0';
}

void FormatArg::AppendDefault(FormatOutput& out) const {
  char digits[64];
  std::to_chars_result r{digits, std::errc()};
  switch (kind_) {
    case Kind::kText:
      out.Append(text_);
      return;
    case Kind::kChar: {
      const char c = static_cast<char>(signed_);
      out.Append(std::string_view(&c, 1));
      return;
    }
    case Kind::kSigned:
      r = std::to_chars(digits, digits + sizeof digits, signed_);
      break;
    case Kind::kUnsigned:
      r = std::to_chars(digits, digits + sizeof digits, unsigned_);
      break;
    case Kind::kDouble:
      // Shortest text that reads back as the same double.
      r = std::to_chars(digits, digits + sizeof digits, double_);
      break;
    case Kind::kPointer:
      digits[0] = '0';
      digits[1] = 'x';
      r = std::to_chars(digits + 2, digits + sizeof digits, reinterpret_cast<uintptr_t>(pointer_),
                        16);
      break;
  }
  if (r.ec != std::errc()) {
    return;
  }
  out.Append(std::string_view(digits, static_cast<size_t>(r.ptr - digits)));
}

void FormatArg::AppendFormatted(const FormatSpec& conv, FormatOutput& out) const {
  switch (kind_) {
    case Kind::kText:
      AppendPadded(text_, conv, out);
      return;
    case Kind::kSigned:
    case Kind::kUnsigned:
    case Kind::kChar:
      AppendInteger(conv, out);
      return;
    case Kind::kDouble:
      if (IsFloatConversion(conv.conversion)) {
        AppendDouble(double_, conv, out);
        return;
      }
      break;
    case Kind::kPointer:
      if (conv.conversion == 'x' || conv.conversion == 'X' || conv.conversion == 'o' ||
          conv.conversion == 'u' || conv.conversion == 'd' || conv.conversion == 'i') {
        FormatArg(reinterpret_cast<uintptr_t>(pointer_)).AppendInteger(conv, out);
        return;
      }
      break;
  }
  // A conversion that does not fit: the default form, as "%s" would show it.
  char text[64];
  FormatOutput scratch(text, sizeof text);
  AppendDefault(scratch);
  AppendPadded(std::string_view(text, scratch.Length()), conv, out);
}

void FormatArg::AppendInteger(const FormatSpec& conv, FormatOutput& out) const {
  const bool is_signed = kind_ != Kind::kUnsigned;
  const char c = conv.conversion;
  if (c == 'd' || c == 'i') {
    if (is_signed) {
      AppendPrintf(conv, "-+ 0", "ll", static_cast<long long>(signed_), out);
    } else if (unsigned_ <= static_cast<uint64_t>(std::numeric_limits<long long>::max())) {
      AppendPrintf(conv, "-+ 0", "ll", static_cast<long long>(unsigned_), out);
    } else {
      // Above the signed range: printed as unsigned, which has no sign to show.
      FormatSpec as_unsigned = conv;
      as_unsigned.conversion = 'u';
      AppendPrintf(as_unsigned, "-0", "ll", static_cast<unsigned long long>(unsigned_), out);
    }
    return;
  }
  if (IsUnsignedConversion(c)) {
    uint64_t value = unsigned_;
    if (is_signed) {
      // The argument's own width decides what a negative number looks like.
      const uint64_t mask = width_ >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * width_)) - 1;
      value = static_cast<uint64_t>(signed_) & mask;
    }
    AppendPrintf(conv, c == 'u' ? "-0" : "-#0", "ll", static_cast<unsigned long long>(value), out);
    return;
  }
  if (IsFloatConversion(c)) {
    AppendDouble(is_signed ? static_cast<double>(signed_) : static_cast<double>(unsigned_), conv,
                 out);
    return;
  }
  if (c == 'c') {
    const char ch = static_cast<char>(is_signed ? signed_ : static_cast<int64_t>(unsigned_));
    FormatSpec text_spec = conv;
    text_spec.has_precision = false;
    AppendPadded(std::string_view(&ch, 1), text_spec, out);
    return;
  }
  char text[32];
  FormatOutput scratch(text, sizeof text);
  AppendDefault(scratch);
  AppendPadded(std::string_view(text, scratch.Length()), conv, out);
}

bool FormatArg::AsStarValue(int64_t* value) const {
  switch (kind_) {
    case Kind::kSigned:
    case Kind::kChar:
      *value = signed_;
      return true;
    case Kind::kUnsigned:
      *value = static_cast<int64_t>(
          std::min(unsigned_, static_cast<uint64_t>(std::numeric_limits<int64_t>::max())));
      return true;
    default:
      return false;
  }
}

namespace {

// Reads a printf directive from t[start] (just after "%" or "N$") and takes the
// arguments its "*"s name. Returns false when formatting must end: too long, malformed,
// unterminated, or a "*" with no argument left.
bool ReadSpec(std::string_view t, size_t start, std::span<const FormatArg> args, size_t* next,
              FormatSpec* conv, size_t* end) {
  // The "%" counts towards the limit.
  const std::string_view body = t.substr(start, kMaxFormatSpecLength - 1);
  size_t pos = 0;
  for (; pos < body.size(); ++pos) {
    const char c = body[pos];
    if (c == '-') {
      conv->left_align = true;
    } else if (c == '+') {
      conv->plus = true;
    } else if (c == ' ') {
      conv->space = true;
    } else if (c == '#') {
      conv->alternate = true;
    } else if (c == '0') {
      conv->zero_pad = true;
    } else {
      break;
    }
  }

  // "*" takes "*M$" or the next argument in order; a non-integer argument leaves it unset.
  const auto star = [&](bool* has_value, int64_t* value) {
    ++pos;
    const FormatArg* arg = nullptr;
    if (pos < body.size() && body[pos] >= '1' && body[pos] <= '9') {
      const uint64_t m = ReadNumber(body, &pos);
      if (pos >= body.size() || body[pos] != '$' || m > args.size()) {
        return false;
      }
      ++pos;
      arg = &args[m - 1];
    } else {
      if (*next >= args.size()) {
        return false;
      }
      arg = &args[(*next)++];
    }
    *has_value = arg->AsStarValue(value);
    return true;
  };

  if (pos < body.size() && body[pos] == '*') {
    bool has = false;
    int64_t v = 0;
    if (!star(&has, &v)) {
      return false;
    }
    if (has && v < 0) {
      conv->left_align = true;
      conv->width = std::min(kSaturatedNumber, static_cast<uint64_t>(-(v + 1)) + 1);
    } else if (has) {
      conv->width = std::min(kSaturatedNumber, static_cast<uint64_t>(v));
    }
  } else {
    conv->width = ReadNumber(body, &pos);
  }

  if (pos < body.size() && body[pos] == '.') {
    ++pos;
    if (pos < body.size() && body[pos] == '*') {
      bool has = false;
      int64_t v = 0;
      if (!star(&has, &v)) {
        return false;
      }
      // A negative precision counts as none, as in printf.
      conv->has_precision = has && v >= 0;
      if (conv->has_precision) {
        conv->precision = std::min(kSaturatedNumber, static_cast<uint64_t>(v));
      }
    } else {
      conv->has_precision = true;
      conv->precision = ReadNumber(body, &pos);
    }
  }

  // The length modifier is read and dropped: the argument knows its real type.
  const std::string_view rest = body.substr(std::min(pos, body.size()));
  for (const std::string_view modifier : {"hh", "h", "ll", "l", "L", "j", "t", "z"}) {
    if (rest.starts_with(modifier)) {
      pos += modifier.size();
      break;
    }
  }

  if (pos >= body.size() || body[pos] == '\0' ||
      std::strchr("diouxXeEfFgGaAcsp", body[pos]) == nullptr) {
    return false;
  }
  conv->conversion = body[pos];
  *end = start + pos + 1;
  return true;
}

}  // namespace

size_t FormatPositionalArgs(char* buffer, size_t size, std::string_view tmpl,
                            std::span<const FormatArg> args) {
  FormatOutput out(buffer, size);
  size_t next = 0;  // the next argument in order; only sequential uses move it
  size_t i = 0;
  while (i < tmpl.size() && !out.Full()) {
    if (tmpl[i] != '%') {
      const size_t stop = std::min(tmpl.find('%', i), tmpl.size());
      out.Append(tmpl.substr(i, stop - i));
      i = stop;
      continue;
    }
    if (i + 1 < tmpl.size() && tmpl[i + 1] == '%') {
      out.Append("%");
      i += 2;
      continue;
    }

    size_t pos = i + 1;
    if (pos < tmpl.size() && tmpl[pos] >= '1' && tmpl[pos] <= '9') {
      const uint64_t number = ReadNumber(tmpl, &pos);
      if (number <= args.size()) {
        const FormatArg& arg = args[number - 1];
        if (pos < tmpl.size() && tmpl[pos] == '$') {
          FormatSpec conv;
          size_t end = 0;
          if (!ReadSpec(tmpl, pos + 1, args, &next, &conv, &end)) {
            break;
          }
          arg.AppendFormatted(conv, out);
          i = end;
        } else {
          arg.AppendDefault(out);
          i = pos;
        }
        continue;
      }
    }

    // No number, or one beyond the arguments: a printf directive from the "%" on.
    FormatSpec conv;
    size_t end = 0;
    if (!ReadSpec(tmpl, i + 1, args, &next, &conv, &end)) {
      break;
    }
    if (next >= args.size()) {
      break;
    }
    args[next++].AppendFormatted(conv, out);
    i = end;
  }
  return out.Length();
}

std::string FormatPositionalList(std::string_view tmpl, std::span<const FormatArg> args) {
  char buffer[kFormatBufferSize];
  const size_t length = FormatPositionalArgs(buffer, sizeof buffer, tmpl, args);
  return std::string(buffer, length);
}

}  // namespace Voro
