#include "binding/router/path_template.h"

#include <cstring>

#include "diag/log.h"

namespace Voro {
namespace {

constexpr std::string_view kRegexSpecials = "^$.*+?()[]|\\";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string UrlDecode(std::string_view text) {
  // Most captures hold nothing to decode.
  if (text.find_first_of("+%") == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
               HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

PathTemplate::PathTemplate(std::string path_template) : text_(std::move(path_template)) {
  size_t open = text_.find('{');
  if (open == std::string::npos) return;
  literal_ = false;
  literal_prefix_ = text_.substr(0, open);

  std::string name;
  std::string literal;  // the current literal piece, unescaped
  bool scannable = true;
  bool in_variable = false;
  char variable_kind = 0;  // 0 plain, '+' rest of path, '#' fragment
  bool first_in_variable = false;
  for (char c : text_) {
    if (!in_variable) {
      if (c == '{') {
        in_variable = true;
        first_in_variable = true;
        variable_kind = 0;
        name.clear();
      } else {
        if (kRegexSpecials.find(c) != std::string_view::npos) expression_ += '\\';
        expression_ += c;
        // A capture must be followed by "/" (or the end) for the scan to be exact.
        if (literal.empty() && !pieces_.empty() && pieces_.back().capture && c != '/') {
          scannable = false;
        }
        literal += c;
      }
      continue;
    }
    if (c == '}') {
      if (variable_kind == '+') {
        expression_ += "(.*)";
      } else if (variable_kind == '#') {
        expression_ += "#(.*)";
      } else {
        expression_ += "([^/]*)";
      }
      if (variable_kind != 0 || (literal.empty() && !pieces_.empty() && pieces_.back().capture)) {
        scannable = false;
      }
      if (!literal.empty()) pieces_.push_back(Piece{std::move(literal), false});
      literal.clear();
      pieces_.push_back(Piece{{}, true});
      variables_.push_back(name);
      in_variable = false;
    } else if (first_in_variable && (c == '+' || c == '#')) {
      variable_kind = c;
    } else {
      name += c;
    }
    first_in_variable = false;
  }
  // An unclosed "{" drops the rest of the template, so the literal collected so far ends it.
  if (!literal.empty()) pieces_.push_back(Piece{std::move(literal), false});
  scan_ = scannable;
  try {
    regex_.emplace(expression_, std::regex::ECMAScript | std::regex::optimize);
  } catch (const std::regex_error& e) {
    Log(kLevelError, Tag::DBG, "Path template '%s' does not compile: %s", text_.c_str(), e.what());
  }
}

bool PathTemplate::Match(std::string_view path, std::vector<PathVariable>* variables) const {
  if (literal_) {
    if (path != text_) return false;
    variables->clear();
    return true;
  }
  if (!regex_.has_value()) return false;
  if (scan_) return MatchByScan(path, variables);
  if (path.size() < literal_prefix_.size() ||
      std::memcmp(path.data(), literal_prefix_.data(), literal_prefix_.size()) != 0) {
    return false;
  }
  std::match_results<std::string_view::const_iterator> match;
  if (!std::regex_match(path.begin(), path.end(), match, *regex_)) return false;
  variables->clear();
  variables->reserve(variables_.size());
  for (size_t i = 0; i < variables_.size(); ++i) {
    const auto& group = match[i + 1];
    size_t offset = static_cast<size_t>(group.first - path.begin());
    variables->emplace_back(variables_[i],
                            UrlDecode(path.substr(offset, static_cast<size_t>(group.length()))));
  }
  return true;
}

bool PathTemplate::MatchByScan(std::string_view path, std::vector<PathVariable>* variables) const {
  variables->clear();
  variables->reserve(variables_.size());
  size_t position = 0;
  size_t variable = 0;
  for (const Piece& piece : pieces_) {
    if (!piece.capture) {
      if (path.compare(position, piece.literal.size(), piece.literal) != 0) return false;
      position += piece.literal.size();
      continue;
    }
    size_t end = path.find('/', position);
    if (end == std::string_view::npos) end = path.size();
    variables->emplace_back(variables_[variable++],
                            UrlDecode(path.substr(position, end - position)));
    position = end;
  }
  return position == path.size();
}

}  // namespace Voro
