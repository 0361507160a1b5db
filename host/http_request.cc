#include "host/http_request.h"

#include <strings.h>

#include <charconv>

namespace kivhost {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

HttpParse Failed(int status, std::string why) {
  HttpParse parse;
  parse.status = HttpParse::kFailed;
  parse.error_status = status;
  parse.error = std::move(why);
  return parse;
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (c <= ' ' || c >= 127 || c == ':' || c == '(' || c == ')' || c == ',' || c == '/' ||
        c == ';' || c == '<' || c == '=' || c == '>' || c == '?' || c == '@' || c == '[' ||
        c == '\\' || c == ']' || c == '{' || c == '}' || c == '"') {
      return false;
    }
  }
  return true;
}

}  // namespace

bool SameHeaderName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

const std::string* HttpRequest::Header(std::string_view name) const {
  for (const auto& [field, value] : headers) {
    if (SameHeaderName(field, name)) return &value;
  }
  return nullptr;
}

const std::string* HttpRequest::Param(std::string_view name) const {
  for (const auto& [key, value] : query) {
    if (key == name) return &value;
  }
  return nullptr;
}

bool PercentDecode(std::string_view text, bool plus_is_space, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      unsigned value = 0;
      if (i + 2 >= text.size()) return false;
      const auto [end, error] =
          std::from_chars(text.data() + i + 1, text.data() + i + 3, value, 16);
      if (error != std::errc() || end != text.data() + i + 3) return false;
      out->push_back(static_cast<char>(value));
      i += 2;
    } else {
      out->push_back(plus_is_space && c == '+' ? ' ' : c);
    }
  }
  return true;
}

HttpParse ParseHttpRequest(std::string_view input, size_t max_body, HttpRequest* request) {
  const size_t head_end = input.find("\r\n\r\n");
  if (head_end == std::string_view::npos) {
    if (input.size() > kMaxRequestHeadBytes) {
      return Failed(431, "The request's header fields exceed 65536 bytes.");
    }
    return {};
  }
  if (head_end + 4 > kMaxRequestHeadBytes) {
    return Failed(431, "The request's header fields exceed 65536 bytes.");
  }
  *request = HttpRequest{};
  std::string_view head = input.substr(0, head_end);
  const size_t line_end = head.find("\r\n");
  const std::string_view line = head.substr(0, line_end);
  head = line_end == std::string_view::npos ? std::string_view() : head.substr(line_end + 2);

  // METHOD SP TARGET SP VERSION
  const size_t first = line.find(' ');
  const size_t last = line.rfind(' ');
  if (first == std::string_view::npos || first == last) {
    return Failed(400, "The request line is not METHOD TARGET VERSION.");
  }
  request->method = std::string(line.substr(0, first));
  const std::string_view target = line.substr(first + 1, last - first - 1);
  const std::string_view version = line.substr(last + 1);
  if (!IsToken(request->method)) return Failed(400, "The request's method is not a token.");
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return Failed(505, "Only HTTP/1.0 and HTTP/1.1 are served.");
  }
  if (target.empty() || target[0] != '/') {
    return Failed(400, "The request target must be a path starting with '/'.");
  }
  const size_t question = target.find('?');
  if (!PercentDecode(target.substr(0, question), false, &request->path)) {
    return Failed(400, "The request path has a '%' without two hexadecimal digits.");
  }
  if (question != std::string_view::npos) {
    std::string_view rest = target.substr(question + 1);
    while (!rest.empty()) {
      const size_t amp = rest.find('&');
      const std::string_view pair = rest.substr(0, amp);
      rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
      if (pair.empty()) continue;
      const size_t equals = pair.find('=');
      std::string name, value;
      if (!PercentDecode(pair.substr(0, equals), true, &name) ||
          !PercentDecode(equals == std::string_view::npos ? "" : pair.substr(equals + 1), true,
                         &value)) {
        return Failed(400, "The query has a '%' without two hexadecimal digits.");
      }
      request->query.emplace_back(std::move(name), std::move(value));
    }
  }

  while (!head.empty()) {
    const size_t end = head.find("\r\n");
    const std::string_view field = head.substr(0, end);
    head = end == std::string_view::npos ? std::string_view() : head.substr(end + 2);
    const size_t colon = field.find(':');
    if (colon == std::string_view::npos || !IsToken(field.substr(0, colon))) {
      return Failed(400, "A header field is not NAME: VALUE.");
    }
    request->headers.emplace_back(std::string(field.substr(0, colon)),
                                  std::string(Trim(field.substr(colon + 1))));
  }

  const std::string* connection = request->Header("Connection");
  request->keep_alive = version == "HTTP/1.1"
                            ? !(connection != nullptr && SameHeaderName(*connection, "close"))
                            : (connection != nullptr && SameHeaderName(*connection, "keep-alive"));
  if (request->Header("Transfer-Encoding") != nullptr) {
    return Failed(411, "Send the body with a Content-Length, not a transfer coding.");
  }
  size_t length = 0;
  if (const std::string* text = request->Header("Content-Length")) {
    const auto [end, error] = std::from_chars(text->data(), text->data() + text->size(), length);
    if (text->empty() || error != std::errc() || end != text->data() + text->size()) {
      return Failed(400, "Content-Length is not a number.");
    }
    if (length > max_body) {
      return Failed(413, "The body exceeds " + std::to_string(max_body) + " bytes.");
    }
  }
  const size_t total = head_end + 4 + length;
  if (input.size() < total) {
    HttpParse parse;
    parse.size = total;
    return parse;
  }
  request->body = std::string(input.substr(head_end + 4, length));
  HttpParse parse;
  parse.status = HttpParse::kComplete;
  parse.size = total;
  return parse;
}

}  // namespace kivhost
