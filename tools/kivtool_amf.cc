// `kivtool amf`: AMF0/AMF3 bytes as readable JSON, and JSON back to AMF bytes.
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "amf_json_printer.h"
#include "amf_notation_reader.h"
#include "kivtool_command.h"
#include "lcds/amf/amf0_item.h"
#include "lcds/amf/amf_reader.h"

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
    "             \"__dynamic\": {dynamic members} (dynamic classes)}\n"
    "  externalizable Object -> {\"__class\": ..., \"__externalizable\": true, and the body as\n"
    "             \"source\" (ArrayCollection, ArrayList) or \"object\" (ObjectProxy)}; other\n"
    "             externalizable classes cannot be read: decode stops with their name\n"
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
    "encode reads JSON values in the same notation (one or more, separated by white space)\n"
    "and writes their AMF encoding to standard output, so that decode | encode gives back\n"
    "the bytes (up to the writer's choice of references). Objects with a \"__class\" string\n"
    "become objects of that class, its sealed members the object's other keys in order;\n"
    "\"__dynamic\" makes the class dynamic. Plain JSON works too: AMF3 integers within\n"
    "29 bits become Integer, other numbers Double, objects without \"__class\" anonymous\n"
    "dynamic objects (AMF0: anonymous objects), arrays AMF3 arrays (AMF0: strict arrays).\n";

int Decode(bool amf0, const std::string& bytes) {
  const std::span<const uint8_t> input(reinterpret_cast<const uint8_t*>(bytes.data()),
                                       bytes.size());
  Voro::AmfReader reader(input);
  JsonPrinter printer;
  while (!reader.at_end()) {
    const Voro::AmfValue value = amf0 ? reader.ReadAmf0() : Voro::AmfValue(reader.ReadAmf3());
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
  const auto values = ReadAmfNotation(text, amf0);
  if (!values.ok()) {
    std::fprintf(stderr, "kivtool amf: %s\n", values.error().c_str());
    return 1;
  }
  const std::vector<uint8_t> out = WriteAmfValues(values.value(), amf0);
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
