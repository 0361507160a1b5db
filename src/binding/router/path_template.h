// An endpoint's path template, compiled once: a literal path, or an ECMAScript regular
// expression with one capture per variable.
//
//   "/a/{id}"      -> "/a/([^/]*)"   one path segment
//   "/a/{+rest}"   -> "/a/(.*)"      the rest of the path, slashes included
//   "/a{#frag}"    -> "/a#(.*)"      a fragment; the path must carry the "#"
//
// Outside braces the characters ^$.*+?()[]| and backslash are escaped, so "." and "?" in a
// template match themselves. A "{" that is never closed adds nothing. A template without
// "{" is compared byte for byte. Matching is always against the whole path, and every
// captured text is URL-decoded.
//
// Templates whose plain variables are each followed by "/" or the end (the common shape,
// "/a/{x}/b/{y}") have exactly one way to match: every capture runs to the next "/". They
// are matched by a scan with the same result as the expression; the others run the
// expression.
//
// A compiled template is immutable: any number of threads may match against it at once.
#pragma once

#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace Voro {

// A captured path variable: its name and its URL-decoded text.
using PathVariable = std::pair<std::string, std::string>;

// "+" becomes a space; "%" and two hexadecimal digits become that byte; a "%" with fewer
// than two characters after it, or with characters that are not hexadecimal, stays.
std::string UrlDecode(std::string_view text);

class PathTemplate {
 public:
  // Compiles `path_template`. An expression std::regex refuses (it cannot be built from
  // an escaped template, but a bad one must not take the plugin down) matches nothing.
  explicit PathTemplate(std::string path_template);

  const std::string& text() const { return text_; }
  bool is_literal() const { return literal_; }
  // The expression a non-literal template compiles to (empty for a literal one).
  const std::string& expression() const { return expression_; }
  // Variable names in the order of their captures.
  const std::vector<std::string>& variables() const { return variables_; }

  // Whether the whole of `path` matches. On a match, *variables (cleared first) receives
  // one entry per capture, in capture order. On no match *variables is unspecified.
  [[nodiscard]] bool Match(std::string_view path, std::vector<PathVariable>* variables) const;

 private:
  std::string text_;
  bool literal_ = true;
  std::string expression_;
  std::vector<std::string> variables_;
  // The template's text up to its first "{": every matching path starts with it, so a
  // path that does not is refused without running the expression.
  std::string literal_prefix_;
  std::optional<std::regex> regex_;
  // The scan: literal pieces and one-segment captures, in template order.
  struct Piece {
    std::string literal;  // empty for a capture
    bool capture = false;
  };
  bool scan_ = false;
  std::vector<Piece> pieces_;
  [[nodiscard]] bool MatchByScan(std::string_view path, std::vector<PathVariable>* variables) const;
};

}  // namespace Voro
