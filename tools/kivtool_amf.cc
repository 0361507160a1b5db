// `kivtool amf`: AMF0/AMF3 bytes as readable JSON, and JSON back to AMF bytes.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "amf_json_printer.h"
#include "binding/codec/json_reader.h"
#include "kivtool_command.h"
#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf3_containers.h"
#include "lcds/amf/amf3_item.h"
#include "lcds/amf/amf3_object.h"
#include "lcds/amf/amf_conversion.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_writer.h"

namespace kivtool {

namespace {

constexpr char kUsage[] =
    "usage: kivtool amf decode --amf0|--amf3 [FILE|-]\n"
    "       kivtool amf encode --amf0|--amf3 [FILE|-]\n"
    "\n"
    "decode reads AMF bytes and prints each top-level value as one line of JSON:\n"
    "  Null -> null   False/True, Boolean -> false/true   String -> \"text\"\n"
    "  AMF3 Integer -> 5   AMF3 Double and AMF0 Number -> 5.0 (always with a point)\n"
    "  Object -> {\"__class\": \"name\" (\"\" when anonymous), sealed members...,\n"
    "             \"__dynamic\": {dynamic members} (when any), \"__externalizable\": true}\n"
    "  AMF3 Array -> [dense...], or with an associative part\n"
    "             {\"__kind\": \"Array\", \"dense\": [...], \"associative\": {...}}\n"
    "  AMF0 StrictArray -> [...]   EcmaArray -> {\"__kind\": \"EcmaArray\", \"entries\": {...}}\n"
    "  Date -> {\"__kind\": \"Date\", \"value\": milliseconds since 1970}\n"
    "  ByteArray -> {\"__kind\": \"ByteArray\", \"hex\": \"0102\"}\n"
    "  Vectors -> {\"__kind\": \"VectorInt\", \"fixed\": false, \"items\": [...]} (VectorObject\n"
    "             adds \"type\")   Dictionary -> {\"__kind\": \"Dictionary\", \"weakKeys\": "
    "false,\n"
    "             \"entries\": [[key, value], ...]}\n"
    "  Xml, LongString -> {\"__kind\": ..., \"value\": \"text\"}\n"
    "  AMF3 value inside AMF0 -> {\"__amf3\": value}\n"
    "  other kinds -> {\"__kind\": \"Undefined\"} and so on\n"
    "  a container already printed above -> {\"__ref\": n}, n counting containers in the\n"
    "  order they were first printed (so shared and cyclic graphs print finitely)\n"
    "\n"
    "encode reads one JSON value and writes its AMF encoding to standard output. Objects\n"
    "with a \"__class\" string become objects of that class (its sealed members are the\n"
    "object's keys the first time the class is seen); other objects become anonymous dynamic\n"
    "objects; arrays become AMF3 arrays; integers within 29 bits become Integer, other\n"
    "numbers Double. With --amf0 the value is then normalised to AMF0 (objects keep their\n"
    "class name as typed objects; arrays become ECMA arrays).\n";

int Decode(bool amf0, const std::string& bytes) {
  const std::span<const uint8_t> input(reinterpret_cast<const uint8_t*>(bytes.data()),
                                       bytes.size());
  Voro::AmfReader reader(input);
  JsonPrinter printer;
  while (!reader.at_end()) {
    const Voro::AmfValue value =
        amf0 ? reader.ReadAmf0() : Voro::AmfValue(reader.ReadAmf3());
    // A refused value is not shown: its place holds nothing that was in the input.
    if (!reader.error().empty()) break;
    if (amf0) {
      printer.Print(value);
    } else {
      printer.Print(value.amf3());
    }
    std::string line = printer.Take();
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  if (!reader.error().empty()) {
    std::fprintf(stderr, "kivtool amf: %s\n", reader.error().c_str());
    return 1;
  }
  if (reader.ended()) {
    std::fprintf(stderr, "kivtool amf: the input is malformed or cut short\n");
    return 1;
  }
  return 0;
}

int Encode(bool amf0, const std::string& text) {
  const Voro::BindingResult parsed = Voro::ParseJson(text);
  if (!parsed.ok()) {
    std::fprintf(stderr, "kivtool amf: %s\n", std::string(parsed.error()).c_str());
    return 1;
  }
  const Voro::Amf3Item item = Voro::ToAmf3Item(parsed.value());
  Voro::AmfWriter writer;
  if (amf0) {
    writer.WriteAmf0(Voro::ToAmf0Item(Voro::AmfValue(item)));
  } else {
    writer.WriteAmf3(item);
  }
  const std::vector<uint8_t>& out = writer.bytes();
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}

int Run(const std::vector<std::string>& args) {
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (args.size() < 2 || args.size() > 3 || (args[0] != "decode" && args[0] != "encode") ||
      (args[1] != "--amf0" && args[1] != "--amf3")) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  auto input = ReadInput(args.size() == 3 ? args[2] : "-");
  if (!input.ok()) {
    std::fprintf(stderr, "kivtool amf: %s\n", input.error().c_str());
    return 1;
  }
  const bool amf0 = args[1] == "--amf0";
  return args[0] == "decode" ? Decode(amf0, input.value()) : Encode(amf0, input.value());
}

const KivtoolCommandRegistration kRegistration(
    {"amf", "decode AMF0/AMF3 bytes to JSON, encode JSON to AMF", Run});

}  // namespace

}  // namespace kivtool
