// Which events an observer (another plugin, as kivhost stands for one) listens to: an exact
// event name, the start of names followed by one '*' at the end, or empty for every event.
#pragma once

#include <string_view>

namespace kivhost {

// Whether `filter` is one of the forms above. Names are made of letters, digits, '_', '-'
// and '.' (the plugin builds them from resource paths and class names), so anything else,
// a '*' before the end included, is a mistake and not a name that matches nothing.
bool IsEventFilter(std::string_view filter);

// REQUIRES: IsEventFilter(filter).
bool EventFilterMatches(std::string_view filter, std::string_view name);

}  // namespace kivhost
