#include "lcds/rtmp/rtmp_message.h"

#include <cmath>
#include <utility>

#include "lcds/amf/amf_conversion.h"
#include "lcds/amf/amf_reader.h"
#include "lcds/amf/amf_writer.h"

namespace Voro {
namespace {

// Big-endian field reading where missing bytes read as zero.
class FieldReader {
 public:
  explicit FieldReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  uint32_t Read(int width) {
    uint32_t value = 0;
    for (int i = 0; i < width; ++i) {
      value = (value << 8) | (pos_ < bytes_.size() ? bytes_[pos_] : 0);
      ++pos_;
    }
    return value;
  }
  size_t remaining() const { return pos_ < bytes_.size() ? bytes_.size() - pos_ : 0; }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

// A number as a transaction id: values a 64-bit integer cannot hold (NaN, infinities,
// beyond its range) read as 0.
int64_t TransactionId(double number) {
  if (!std::isfinite(number) || number >= 9.2e18 || number <= -9.2e18) {
    return 0;
  }
  return static_cast<int64_t>(number);
}

// A transaction id as sent: an AMF0 Number, or an AMF3 Integer or Double.
int64_t TransactionId(const AmfValue& value) {
  double number = 0;
  if (value.is_amf0()) {
    if (value.amf0().kind() != Amf0Kind::kNumber) {
      return 0;
    }
    number = value.amf0().AsNumber();
  } else if (value.amf3().kind() == Amf3Kind::kInteger) {
    return value.amf3().AsInteger();
  } else if (value.amf3().kind() == Amf3Kind::kDouble) {
    number = value.amf3().AsDouble();
  } else {
    return 0;
  }
  return TransactionId(number);
}

RtmpCommand DecodeCommand(std::span<const uint8_t> body) {
  RtmpCommand command;
  AmfReader reader(body);
  auto more = [&reader] { return !reader.at_end() && !reader.ended(); };
  if (!more()) {
    return command;
  }
  // A name and a transaction id are read in place when they are the usual String and
  // Number; anything else goes through the general reader.
  if (!reader.ReadAmf0String(&command.name)) {
    AmfValue name = reader.ReadAmf0();
    if (name.is_amf0()) {
      command.name = name.amf0().AsString();
    } else if (name.amf3().kind() == Amf3Kind::kString) {
      command.name = name.amf3().AsString();
    }
  }
  if (more()) {
    double number = 0;
    command.transaction_id =
        reader.ReadAmf0Number(&number) ? TransactionId(number) : TransactionId(reader.ReadAmf0());
  }
  if (more()) {
    command.command_object = ToAmf0Item(reader.ReadAmf0());
  }
  while (more()) {
    command.arguments.push_back(reader.ReadAmf0());
  }
  command.error = reader.error();
  return command;
}

std::vector<uint8_t> EncodeCommand(uint8_t type, const RtmpCommand& command) {
  AmfWriter writer;
  if (type == RtmpType::kAmf3Command) {
    writer.WriteU8(0x00);
  }
  if (command.name.empty()) {
    writer.WriteU8(static_cast<uint8_t>(Amf0Kind::kNull));
  } else {
    writer.WriteAmf0String(command.name);
  }
  writer.WriteAmf0Number(static_cast<double>(command.transaction_id));
  writer.WriteAmf0(command.command_object);
  for (const AmfValue& argument : command.arguments) {
    writer.WriteAmf0(argument);
  }
  return writer.TakeBytes();
}

}  // namespace

bool IsCommandRtmpType(uint8_t type) {
  return type == RtmpType::kAmf3Data || type == RtmpType::kAmf3Command ||
         type == RtmpType::kAmf0Data || type == RtmpType::kAmf0Command;
}

bool IsSupportedRtmpType(uint8_t type) {
  return (type >= RtmpType::kSetChunkSize && type <= RtmpType::kSetPeerBandwidth) ||
         type == RtmpType::kAudio || type == RtmpType::kVideo || IsCommandRtmpType(type);
}

RtmpMessage RtmpMessage::Command(uint8_t type, RtmpCommand command) {
  RtmpMessage message;
  message.header.type = type;
  message.payload = std::move(command);
  return message;
}

RtmpMessage RtmpMessage::Control(uint8_t type, uint32_t value) {
  RtmpMessage message;
  message.header.type = type;
  message.payload = value;
  return message;
}

RtmpMessage RtmpMessage::UserControl(uint16_t event_type, std::vector<uint32_t> values) {
  RtmpMessage message;
  message.header.type = RtmpType::kUserControl;
  message.payload = RtmpUserControl{event_type, std::move(values)};
  return message;
}

RtmpMessage RtmpMessage::PeerBandwidth(uint32_t window, uint8_t limit_type) {
  RtmpMessage message;
  message.header.type = RtmpType::kSetPeerBandwidth;
  message.payload = RtmpPeerBandwidth{window, limit_type};
  return message;
}

RtmpMessage RtmpMessage::Raw(uint8_t type, std::vector<uint8_t> body) {
  RtmpMessage message;
  message.header.type = type;
  message.payload = std::move(body);
  return message;
}

std::vector<uint8_t> EncodeRtmpBody(const RtmpMessage& message) {
  std::vector<uint8_t> out;
  const uint8_t type = message.header.type;
  if (IsCommandRtmpType(type)) {
    if (const auto* command = std::get_if<RtmpCommand>(&message.payload)) {
      return EncodeCommand(type, *command);
    }
  } else if (const auto* value = std::get_if<uint32_t>(&message.payload)) {
    PutU32(out, *value);
  } else if (const auto* control = std::get_if<RtmpUserControl>(&message.payload)) {
    out.push_back(static_cast<uint8_t>(control->event_type >> 8));
    out.push_back(static_cast<uint8_t>(control->event_type));
    for (uint32_t v : control->values) {
      PutU32(out, v);
    }
  } else if (const auto* bandwidth = std::get_if<RtmpPeerBandwidth>(&message.payload)) {
    PutU32(out, bandwidth->window);
    out.push_back(bandwidth->limit_type);
  } else if (const auto* raw = std::get_if<std::vector<uint8_t>>(&message.payload)) {
    out = *raw;
  }
  return out;
}

RtmpMessage DecodeRtmpBody(const RtmpHeader& header, std::span<const uint8_t> body) {
  RtmpMessage message;
  message.header = header;
  FieldReader fields(body);
  switch (header.type) {
    case RtmpType::kSetChunkSize:
    case RtmpType::kAbort:
    case RtmpType::kAcknowledgement:
    case RtmpType::kWindowAckSize:
      message.payload = fields.Read(4);
      break;
    case RtmpType::kUserControl: {
      RtmpUserControl control;
      control.event_type = static_cast<uint16_t>(fields.Read(2));
      while (fields.remaining() >= 4) {
        control.values.push_back(fields.Read(4));
      }
      message.payload = std::move(control);
      break;
    }
    case RtmpType::kSetPeerBandwidth: {
      RtmpPeerBandwidth bandwidth;
      bandwidth.window = fields.Read(4);
      bandwidth.limit_type = static_cast<uint8_t>(fields.Read(1));
      message.payload = bandwidth;
      break;
    }
    case RtmpType::kAmf3Command:
      message.payload = DecodeCommand(body.empty() ? body : body.subspan(1));
      break;
    case RtmpType::kAmf3Data:
    case RtmpType::kAmf0Data:
    case RtmpType::kAmf0Command:
      message.payload = DecodeCommand(body);
      break;
    default:
      message.payload = std::vector<uint8_t>(body.begin(), body.end());
      break;
  }
  return message;
}

}  // namespace Voro
