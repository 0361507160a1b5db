// The plugin's API table as an OpenAPI 3.0.3 document: what `kivhost serve` exposes over
// HTTP, for people and for generic HTTP tools.
//
// How the table maps onto the document:
// - Every endpoint is one operation at its method and path; an empty path is "/" + name, as
//   the host finds it. "{+name}" (the rest of the path) is written "{name}" because OpenAPI
//   paths have no such form; the path item keeps the original under "x-path-template".
// - An endpoint for any method (code 0) is listed under get and post, the two a client
//   would use, both flagged "x-any-method": true. Listing all seven would suggest seven
//   operations where there is one.
// - A custom method (KIV_METHOD_CUSTOM) has no place among an OpenAPI 3.0 path item's fixed
//   method keys: its operation goes under the path item's "x-custom-methods" map, keyed by
//   the method's text.
// - When two endpoints claim the same method and path, the first in the table keeps it: the
//   host routes the request to that one.
// - Path variables are path parameters. Every other non-body parameter is a named argument,
//   which the server takes from the query string as JSON text; its schema is therefore
//   given as the parameter's application/json content. The first body parameter is the
//   request body, as JSON, MessagePack or YAML.
// - 200 carries the return value as JSON (no content when the endpoint returns nothing);
//   "default" is the error answer, {"httpStatus": STATUS, "message": TEXT}.
// - components/schemas holds every registered type: records as objects, enumerations as
//   strings (the binding writes enumeration values by name). A type name the table does
//   not register becomes the schema {} rather than a reference to nothing.
// - Events are listed under the top-level "x-events" map: event name -> {"payload": schema,
//   "description", "nameSpace", "tags"}. A record repeating an earlier one (name, name
//   space and payload) is listed once; a name registered in several name spaces is keyed
//   "NameSpace::Name" for each but the first.
#pragma once

#include <string>

#include "kiv/plugin_abi.h"

namespace kivhost {

struct OpenApiInfo {
  std::string title;
  std::string version;
  std::string description;  // optional
  std::string server_url;   // optional: the document's one server, e.g. "http://127.0.0.1:8080"
};

// The document as compact JSON text. Reads the table only; any thread that may read the
// table may call it.
std::string OpenApiDocument(const ApiTable& table, const OpenApiInfo& info);

}  // namespace kivhost
