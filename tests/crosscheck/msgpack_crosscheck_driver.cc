// Decodes a file of concatenated MessagePack documents one after another and prints each
// as one line of JSON, for comparison with an independent decoder:
//
//   {"consumed":N,"value":V}      or      {"consumed":N,"error":"message"}
//
// V carries the tag of every node: null (empty), {"b":true}, {"s":-1} (signed), {"u":5}
// (unsigned), {"f":"3ff8000000000000"} (the double's bits), {"t":"616263"} (string bytes
// in hex), {"x":"0102"} (blob bytes in hex), [V,...] (collection) and
// {"m":[["6b6579",V],...]} (structure, keys in hex, in iteration order). Hex keeps the
// writer trivial and the comparison exact. Decoding stops at the first failure.
//
//   msgpack_crosscheck_driver FILE
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "binding/codec/msgpack_reader.h"

namespace {

void AppendHex(std::string& out, std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
}

void AppendEscaped(std::string& out, std::string_view text) {
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      out += buf;
    } else {
      out += c;
    }
  }
}

// Recursive: the documents of the cross-check nest only a few levels.
void AppendValue(std::string& out, const Voro::BindingProperty& value) {
  char buf[64];
  switch (value.type()) {
    case Voro::BindingType::kEmpty:
      out += "null";
      return;
    case Voro::BindingType::kBool:
      out += value.GetBool() ? "{\"b\":true}" : "{\"b\":false}";
      return;
    case Voro::BindingType::kSigned:
      std::snprintf(buf, sizeof buf, "{\"s\":%" PRId64 "}", value.GetSigned());
      out += buf;
      return;
    case Voro::BindingType::kUnsigned:
      std::snprintf(buf, sizeof buf, "{\"u\":%" PRIu64 "}", value.GetUnsigned());
      out += buf;
      return;
    case Voro::BindingType::kFloat: {
      const double d = value.GetFloat();
      uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      std::snprintf(buf, sizeof buf, "{\"f\":\"%016" PRIx64 "\"}", bits);
      out += buf;
      return;
    }
    case Voro::BindingType::kString:
      out += "{\"t\":\"";
      AppendHex(out, value.GetString());
      out += "\"}";
      return;
    case Voro::BindingType::kBlob: {
      const std::vector<uint8_t>& bytes = value.GetBlob();
      out += "{\"x\":\"";
      AppendHex(out, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
      out += "\"}";
      return;
    }
    case Voro::BindingType::kCollection: {
      out += '[';
      bool first = true;
      for (const Voro::BindingProperty& element : value.Elements()) {
        if (!first) out += ',';
        first = false;
        AppendValue(out, element);
      }
      out += ']';
      return;
    }
    case Voro::BindingType::kStructure: {
      out += "{\"m\":[";
      bool first = true;
      for (const auto& field : value.Fields()) {
        if (!first) out += ',';
        first = false;
        out += "[\"";
        AppendHex(out, field.key);
        out += "\",";
        AppendValue(out, field.value);
        out += ']';
      }
      out += "]}";
      return;
    }
    default:
      out += "\"unexpected tag\"";
      return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 2;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::string line;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const Voro::MsgpackDecodeResult r = Voro::DecodeMsgpack(std::string_view(bytes).substr(pos));
    line.clear();
    line += "{\"consumed\":" + std::to_string(r.consumed);
    if (r.result.ok()) {
      line += ",\"value\":";
      AppendValue(line, r.result.value());
    } else {
      line += ",\"error\":\"";
      AppendEscaped(line, r.result.error());
      line += '"';
    }
    line += "}\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    if (!r.result.ok() || r.consumed == 0) break;
    pos += r.consumed;
  }
  return 0;
}
