#include "binding/router/function_name.h"

#include <cctype>

namespace Voro {
namespace {

char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }
char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool IsSeparator(char c) {
  switch (c) {
    case '!':
    case '+':
    case '-':
    case '.':
    case '/':
    case '_':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string DeriveFunctionName(std::string_view method_word, std::string_view path) {
  std::string raw;
  raw.reserve(method_word.size() + path.size() + 1);
  if (!method_word.empty()) {
    raw += method_word[0];
    for (char c : method_word.substr(1)) raw += Lower(c);
  }
  raw += '/';
  raw += path;

  std::string name;
  name.reserve(raw.size() + 8);
  bool upper_next = true;  // the first character is upper case
  for (char c : raw) {
    if (IsSeparator(c)) {
      upper_next = true;
    } else if (c == '{') {
      name += "By";
      upper_next = true;
    } else if (c == '}') {
      // dropped; leaves the pending case change alone
    } else {
      name += upper_next ? Upper(c) : c;
      upper_next = false;
    }
  }
  return name;
}

}  // namespace Voro
