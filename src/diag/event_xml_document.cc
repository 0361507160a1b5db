#include "diag/event_xml_document.h"

namespace Voro {
namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\"?>\n";
constexpr std::string_view kEventOpen = "<Event>\n";
constexpr std::string_view kNameOpen = "   <Name>";
constexpr std::string_view kNameClose = "</Name>\n";
constexpr std::string_view kParamsOpen = "   <Params>\n";
constexpr std::string_view kParamOpen = "      <";
constexpr std::string_view kParamsClose = "   </Params>\n";
constexpr std::string_view kEventClose = "</Event>\n";

// The entity that stands for c, or null when c goes in as it is.
const char* EntityFor(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&apos;";
    default:
      return nullptr;
  }
}

}  // namespace

EventXMLDocument::EventXMLDocument(std::string_view event_name) {
  Append(kDeclaration);
  Append(kEventOpen);
  Append(kNameOpen);
  AppendEscaped(event_name);
  Append(kNameClose);
  Append(kParamsOpen);
}

void EventXMLDocument::AddParam(std::string_view key, std::string_view value) {
  if (closed_) {
    return;
  }
  Append(kParamOpen);
  AppendEscaped(key);
  Append(">");
  AppendEscaped(value);
  Append("</");
  AppendEscaped(key);
  Append(">\n");
}

void EventXMLDocument::Close() {
  if (closed_) {
    return;
  }
  Append(kParamsClose);
  Append(kEventClose);
  closed_ = true;
}

void EventXMLDocument::Reserve(size_t extra) {
  const size_t needed = text_.size() + extra + 1;  // the terminating zero
  if (needed <= text_.capacity()) {
    return;
  }
  text_.reserve((needed + kGrowthStep - 1) / kGrowthStep * kGrowthStep);
}

void EventXMLDocument::Append(std::string_view piece) {
  Reserve(piece.size());
  text_.append(piece);
}

void EventXMLDocument::AppendEscaped(std::string_view piece) {
  size_t escaped_size = 0;
  for (char c : piece) {
    const char* entity = EntityFor(c);
    escaped_size += entity == nullptr ? 1 : std::char_traits<char>::length(entity);
  }
  Reserve(escaped_size);
  for (char c : piece) {
    const char* entity = EntityFor(c);
    if (entity == nullptr) {
      text_.push_back(c);
    } else {
      text_.append(entity);
    }
  }
}

}  // namespace Voro
