#include "host/telemetry_summary.h"

#include <rapidjson/document.h>

#include "host/abi_value.h"

namespace kivhost {

namespace {

// A member's value: strings as they are, anything else as compact JSON.
std::string ValueText(const rapidjson::Value& value) {
  if (value.IsString()) return std::string(value.GetString(), value.GetStringLength());
  BindingAbiValue abi;
  if (auto built = AbiFromJson(value, &abi); !built.ok()) return "<" + built.error() + ">";
  auto json = AbiToJson(abi);
  ReleaseAbiValue(&abi);
  return json.ok() ? json.value() : "<" + json.error() + ">";
}

}  // namespace

std::string DescribeTelemetry(const std::vector<SinkRecord>& records) {
  std::string text;
  for (const SinkRecord& record : records) {
    if (record.sink == "common-data") {
      text += "telemetry common data " + record.name + " = " + record.arguments + "\n";
      continue;
    }
    if (record.sink != "events") continue;
    text += "telemetry event " + record.name + "\n";
    rapidjson::Document fields;
    fields.Parse<rapidjson::kParseIterativeFlag>(record.arguments.data(), record.arguments.size());
    if (fields.HasParseError() || !fields.IsObject()) {
      text += "    " + record.arguments + "\n";
      continue;
    }
    // Const iterators: C++20 finds comparing the mutable ones ambiguous.
    const rapidjson::Value& object = fields;
    for (const auto& member : object.GetObject()) {
      text += "    " + std::string(member.name.GetString(), member.name.GetStringLength()) +
              " = " + ValueText(member.value) + "\n";
    }
  }
  return text.empty() ? "telemetry: nothing sent\n" : text;
}

}  // namespace kivhost
