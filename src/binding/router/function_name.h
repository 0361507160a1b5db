// The name a function gets when it is declared from a method and a path alone.
#pragma once

#include <string>
#include <string_view>

namespace Voro {

// "%1%2/%3" (the method word's first letter, the rest of the word in lower case, the path),
// rewritten character by character: "!", "+", "-", ".", "/" and "_" are dropped and make the
// next kept character upper case; "{" becomes "By" and makes the next character upper case;
// "}" is dropped; the first character is upper case; everything else is copied.
// GET and "/kiv-login/v1/session/{id}" give "GetKivLoginV1SessionById".
std::string DeriveFunctionName(std::string_view method_word, std::string_view path);

}  // namespace Voro
