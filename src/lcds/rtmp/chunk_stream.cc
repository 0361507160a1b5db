#include "lcds/rtmp/chunk_stream.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "diag/log.h"

namespace Voro {
namespace {

constexpr uint32_t kMaxChunkStreamId = 65599;
constexpr size_t kReadAheadBytes = 64 * 1024;

uint32_t Get24(const uint8_t* p) { return uint32_t{p[0]} << 16 | uint32_t{p[1]} << 8 | p[2]; }
uint32_t Get32(const uint8_t* p) { return uint32_t{p[0]} << 24 | Get24(p + 1); }

void Put24(std::vector<uint8_t>& out, uint32_t value) {
  if (value > 0xFFFFFF) {
    Log(kLevelError, Tag::NET, "Value is out of range for UInt24: %d", static_cast<int>(value));
  }
  out.push_back(static_cast<uint8_t>(value >> 16));
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 24));
  Put24(out, value & 0xFFFFFF);
}

ChunkReadResult Failed(std::string text) {
  ChunkReadResult result;
  result.failed = true;
  result.error = std::move(text);
  return result;
}

}  // namespace

void AppendBasicHeader(uint8_t format, uint32_t chunk_stream_id, std::vector<uint8_t>& out) {
  const auto high = static_cast<uint8_t>(format << 6);
  if (chunk_stream_id < 64) {
    out.push_back(static_cast<uint8_t>(high | chunk_stream_id));
  } else if (chunk_stream_id < 320) {
    out.push_back(high);
    out.push_back(static_cast<uint8_t>(chunk_stream_id - 64));
  } else {
    const uint32_t rest = chunk_stream_id - 64;
    out.push_back(static_cast<uint8_t>(high | 1));
    out.push_back(static_cast<uint8_t>(rest & 0xFF));
    out.push_back(static_cast<uint8_t>(rest >> 8));
  }
}

TransportResult ChunkReader::ReadExact(Transport& transport, uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    if (input_begin_ == input_end_) {
      const size_t left = count - done;
      if (left >= kReadAheadBytes) {
        // A large piece goes straight to its place rather than through the buffer.
        TransportResult result = transport.Read(buffer + done, left);
        bytes_read_ += result.transferred;
        result.transferred += done;
        return result;
      }
      if (input_.empty()) input_.resize(kReadAheadBytes);
      TransportResult result = transport.ReadSome(input_.data(), input_.size());
      if (!result.ok()) {
        result.transferred = done;
        return result;
      }
      input_begin_ = 0;
      input_end_ = result.transferred;
    }
    const size_t n = std::min(count - done, input_end_ - input_begin_);
    std::memcpy(buffer + done, input_.data() + input_begin_, n);
    input_begin_ += n;
    done += n;
    bytes_read_ += n;
  }
  return TransportResult::Success(done);
}

ChunkReadResult ChunkReader::ReadChunk(Transport& transport) {
  uint8_t bytes[11];
  if (auto r = ReadExact(transport, bytes, 1); !r.ok()) {
    return Failed(r.message);
  }
  const uint8_t format = bytes[0] >> 6;
  uint32_t id = bytes[0] & 0x3F;
  if (id == 0) {
    if (auto r = ReadExact(transport, bytes, 1); !r.ok()) {
      return Failed(r.message);
    }
    id = 64u + bytes[0];
  } else if (id == 1) {
    if (auto r = ReadExact(transport, bytes, 2); !r.ok()) {
      return Failed(r.message);
    }
    id = 64u + bytes[0] + bytes[1] * 256u;
  }

  RtmpHeader header;
  if (auto it = previous_.find(id); it != previous_.end()) {
    header = it->second;
  }
  header.chunk_stream_id = id;
  static constexpr size_t kHeaderSize[4] = {11, 7, 3, 0};
  if (const size_t size = kHeaderSize[format]; size > 0) {
    if (auto r = ReadExact(transport, bytes, size); !r.ok()) {
      return Failed(r.message);
    }
    header.timestamp = Get24(bytes);
    if (format <= 1) {
      header.length = Get24(bytes + 3);
      header.type = bytes[6];
    }
    if (format == 0) {
      header.message_stream_id = uint32_t{bytes[7]} | uint32_t{bytes[8]} << 8 |
                                 uint32_t{bytes[9]} << 16 | uint32_t{bytes[10]} << 24;
    }
  }
  header.timestamp_is_delta = format != 0;
  if (header.timestamp >= kExtendedTimestampMarker) {
    if (auto r = ReadExact(transport, bytes, 4); !r.ok()) {
      return Failed(r.message);
    }
    header.timestamp = Get32(bytes);
  }
  previous_[id] = header;

  auto [it, created] = partial_.try_emplace(id);
  Partial& partial = it->second;
  if (created) {
    partial.header = header;
  }
  const size_t missing = partial.header.length - partial.body.size();
  const size_t piece = std::min<size_t>(chunk_size_, missing);
  if (piece > 0) {
    if (partial_bytes_ + piece > kMaxPartialMessageBytes) {
      return Failed(kPartialMessagesTooLargeMessage);
    }
    const size_t start = partial.body.size();
    partial.body.resize(start + piece);
    partial_bytes_ += piece;
    if (auto r = ReadExact(transport, partial.body.data() + start, piece); !r.ok()) {
      return Failed(r.message);
    }
  }
  if (partial.body.size() < partial.header.length) {
    return {};
  }
  return Complete(id);
}

ChunkReadResult ChunkReader::Complete(uint32_t chunk_stream_id) {
  auto node = partial_.extract(chunk_stream_id);
  Partial& partial = node.mapped();
  partial_bytes_ -= partial.body.size();
  ChunkReadResult result;
  result.message = DecodeRtmpBody(partial.header, partial.body);
  const uint8_t type = partial.header.type;
  if (type == RtmpType::kSetChunkSize) {
    const uint32_t size = result.message->value();
    if (size == 0 || size > kMaxChunkSize) {
      char text[64];
      std::snprintf(text, sizeof text, kInvalidChunkSizeMessage, size);
      return Failed(text);
    }
    chunk_size_ = size;
  } else if (type == RtmpType::kAbort) {
    if (auto it = partial_.find(result.message->value()); it != partial_.end()) {
      partial_bytes_ -= it->second.body.size();
      partial_.erase(it);
    }
  }
  return result;
}

bool ChunkWriter::WriteMessage(RtmpHeader header, std::span<const uint8_t> body,
                               std::vector<uint8_t>& out) {
  const uint32_t id = header.chunk_stream_id;
  if (id < 2 || id > kMaxChunkStreamId || body.size() > kMaxMessageLength) {
    return false;
  }
  header.length = static_cast<uint32_t>(body.size());
  uint8_t format = 0;
  if (auto it = previous_.find(id); it != previous_.end() && header.timestamp_is_delta &&
                                    it->second.message_stream_id == header.message_stream_id) {
    const RtmpHeader& last = it->second;
    if (last.length == header.length && last.type == header.type) {
      format = last.timestamp == header.timestamp ? 3 : 2;
    } else {
      format = 1;
    }
  }
  previous_[id] = header;

  const bool extended = header.timestamp >= kExtendedTimestampMarker;
  AppendBasicHeader(format, id, out);
  if (format <= 2) {
    Put24(out, std::min(header.timestamp, kExtendedTimestampMarker));
  }
  if (format <= 1) {
    Put24(out, header.length);
    out.push_back(header.type);
  }
  if (format == 0) {
    const uint32_t stream = header.message_stream_id;
    out.push_back(static_cast<uint8_t>(stream));
    out.push_back(static_cast<uint8_t>(stream >> 8));
    out.push_back(static_cast<uint8_t>(stream >> 16));
    out.push_back(static_cast<uint8_t>(stream >> 24));
  }
  if (extended) {
    Put32(out, header.timestamp);
  }
  size_t offset = 0;
  do {
    if (offset > 0) {
      AppendBasicHeader(3, id, out);
      if (extended) {
        Put32(out, header.timestamp);
      }
    }
    const size_t piece = std::min<size_t>(chunk_size_, body.size() - offset);
    out.insert(out.end(), body.begin() + static_cast<ptrdiff_t>(offset),
               body.begin() + static_cast<ptrdiff_t>(offset + piece));
    offset += piece;
  } while (offset < body.size());

  if (header.type == RtmpType::kSetChunkSize && body.size() >= 4) {
    const uint32_t size = Get32(body.data());
    if (size > 0 && size <= kMaxChunkSize) {
      chunk_size_ = size;
    }
  }
  return true;
}

}  // namespace Voro
