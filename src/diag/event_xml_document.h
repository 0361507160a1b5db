// The XML event document handed to an embedding application:
//
//   <?xml version="1.0"?>
//   <Event>
//      <Name>NAME</Name>
//      <Params>
//         <KEY>VALUE</KEY>        (one line per parameter, six spaces in)
//      </Params>
//   </Event>
//
// The event name, keys and values are escaped (& < > " ') so that the document is always
// well-formed; nothing else is changed. Keys are expected to be valid element names.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Voro {

class EventXMLDocument {
 public:
  // The text grows in steps of this many bytes.
  static constexpr size_t kGrowthStep = 2048;

  // Starts the document with its declaration, the event name and the opening of the
  // parameter list.
  explicit EventXMLDocument(std::string_view event_name);

  // REQUIRES: the document is not closed.
  void AddParam(std::string_view key, std::string_view value);
  // Ends the parameter list and the event; later calls do nothing.
  void Close();
  bool IsClosed() const { return closed_; }

  // The text so far; complete once closed.
  const std::string& Text() const { return text_; }

 private:
  void Append(std::string_view piece);
  void AppendEscaped(std::string_view piece);
  // Makes room for extra more bytes, growing the buffer by whole steps.
  void Reserve(size_t extra);

  std::string text_;
  bool closed_ = false;
};

}  // namespace Voro
