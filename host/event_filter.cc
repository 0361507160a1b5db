#include "host/event_filter.h"

namespace kivhost {

namespace {

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-' || c == '.';
}

}  // namespace

bool IsEventFilter(std::string_view filter) {
  if (filter.ends_with('*')) filter.remove_suffix(1);
  for (char c : filter) {
    if (!IsNameCharacter(c)) return false;
  }
  return true;
}

bool EventFilterMatches(std::string_view filter, std::string_view name) {
  if (filter.ends_with('*')) return name.starts_with(filter.substr(0, filter.size() - 1));
  return filter.empty() || name == filter;
}

}  // namespace kivhost
