// Writing call results into the host's response record: values (enumerations by name),
// errors with their statuses, status texts, flags, headers, body streams and release.
#include "binding/response_writer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "binding/endpoint_router.h"
#include "binding/record_builder.h"
#include "binding/router_harness.h"

namespace Voro {
namespace {

using testing::RouterHarness;
using testing::RouterResponse;

enum class Shade : int32_t { kLight = 1, kDark = 2, kUnnamed = 7 };

struct Item {
  std::string name;
  int32_t count = 0;
  Shade shade = Shade::kLight;
};

struct Unregistered {
  int32_t x = 0;
};

struct Failure {
  int32_t status;
  std::string message;
};

class ResponseWriterTest : public ::testing::Test {
 protected:
  ResponseWriterTest() {
    h_.registry.Enum<Shade>({"Test"}, "Shade")
        .Value("LIGHT", Shade::kLight)
        .Value("DARK", Shade::kDark);
    h_.registry.Record<Item>({"Test"}, "Item")
        .Field("name", &Item::name)
        .Field("count", &Item::count)
        .Field("shade", &Item::shade);
  }

  template <typename Handler>
  RouterResponse Run(Handler handler) {
    std::string name = "F" + std::to_string(++counter_);
    EXPECT_TRUE(h_.router.DeclareNamed(name, 0, "/f").Handle(std::move(handler)));
    return h_.Get(name, "/f");
  }

  RouterHarness h_;
  int counter_ = 0;
};

TEST_F(ResponseWriterTest, ValuesBecomeHostRecordsWithEnumerationsByName) {
  RouterResponse shade = Run([] { return Shade::kDark; });
  EXPECT_FALSE(shade.failed);
  EXPECT_EQ(shade.body, "\"DARK\"");
  EXPECT_EQ(shade.status, 0);
  EXPECT_TRUE(shade.status_text_set);
  EXPECT_EQ(shade.status_text, "");
  EXPECT_TRUE(shade.released);
  // A number the enumeration does not name stays a number.
  EXPECT_EQ(Run([] { return Shade::kUnnamed; }).body, "7");
  EXPECT_EQ(Run([] {
              return Item{"a", 2, Shade::kDark};
            }).body,
            R"({"count":2,"name":"a","shade":"DARK"})");
  EXPECT_EQ(Run([] {
              return std::vector<Shade>{Shade::kLight, Shade::kDark};
            }).body,
            R"(["LIGHT","DARK"])");
  BindingProperty any;
  any.MutableField("k").SetUnsigned(1);
  EXPECT_EQ(Run([any] { return any; }).body, R"({"k":1})");
  RouterResponse none = Run([] {});
  EXPECT_FALSE(none.failed);
  EXPECT_EQ(none.body, "");
  EXPECT_EQ(none.error, "");
}

TEST_F(ResponseWriterTest, ErrorsCarryTheirStatusAndText) {
  RouterResponse conflict = Run([]() -> EndpointReply<Item> {
    return EndpointReply<Item>::Error(409, "A login session already exists");
  });
  EXPECT_TRUE(conflict.failed);
  EXPECT_EQ(conflict.error, "A login session already exists");
  EXPECT_EQ(conflict.status, 409);
  EXPECT_EQ(conflict.body, R"({"error":"A login session already exists"})");

  RouterResponse missing = Run([]() -> EndpointReply<void> {
    return Failure{404, "No session currently exists"};
  });
  EXPECT_TRUE(missing.failed);
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.error, "No session currently exists");

  RouterResponse created = Run([]() -> EndpointReply<Item> {
    return EndpointReply<Item>(Item{"n", 1}).Status(201);
  });
  EXPECT_FALSE(created.failed);
  EXPECT_EQ(created.status, 201);
  EXPECT_EQ(created.body, R"({"count":1,"name":"n","shade":"LIGHT"})");
}

TEST_F(ResponseWriterTest, UnconvertibleResultsAnswer400) {
  RouterResponse response = Run([] { return Unregistered{}; });
  EXPECT_TRUE(response.failed);
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(response.error,
            "Couldn't convert native value because it's an unregistered structure.");
}

TEST_F(ResponseWriterTest, ThrowingHandlersAnswer500) {
  RouterResponse response = Run([]() -> int32_t { throw std::runtime_error("boom"); });
  EXPECT_TRUE(response.failed);
  EXPECT_EQ(response.status, 500);
  EXPECT_EQ(response.error, "boom");
  EXPECT_TRUE(response.released);
}

TEST_F(ResponseWriterTest, StatusTextFlagsAndHeaders) {
  RouterResponse response = Run([]() -> EndpointReply<std::string> {
    return EndpointReply<std::string>("x")
        .Status(202)
        .StatusText("Accepted")
        .Header("X-B", "2")
        .Header("X-A", "1")
        .Flags(1, 3);
  });
  EXPECT_EQ(response.status, 202);
  EXPECT_EQ(response.status_text, "Accepted");
  EXPECT_EQ(response.response_flag, 1);
  EXPECT_EQ(response.response_code, 3u);
  EXPECT_EQ(response.headers, (std::map<std::string, std::string>{{"X-A", "1"}, {"X-B", "2"}}));
  // Response codes other than 1 to 3 go out as 0.
  EXPECT_EQ(Run([] { return EndpointReply<void>().Flags(0, 4); }).response_code, 0u);
  EXPECT_EQ(Run([] { return EndpointReply<void>().Flags(0, 1); }).response_code, 1u);
}

class ChunkStream : public ResponseBodyStream {
 public:
  ChunkStream(std::vector<std::string> chunks, bool* closed, bool* deleted)
      : chunks_(std::move(chunks)), closed_(closed), deleted_(deleted) {}
  ~ChunkStream() override { *deleted_ = true; }
  bool Read(char* buffer, uint32_t* size, bool* more) override {
    if (next_ >= chunks_.size()) return false;
    const std::string& chunk = chunks_[next_++];
    uint32_t n = std::min<uint32_t>(*size, static_cast<uint32_t>(chunk.size()));
    std::memcpy(buffer, chunk.data(), n);
    *size = n;
    *more = next_ < chunks_.size();
    return true;
  }
  void Close() override { *closed_ = true; }
  uint32_t SizeHint() const override { return 42; }

 private:
  std::vector<std::string> chunks_;
  size_t next_ = 0;
  bool* closed_;
  bool* deleted_;
};

TEST_F(ResponseWriterTest, BodyStreamsBelongToTheResponse) {
  bool closed = false;
  bool deleted = false;
  CallResult call;
  call.body_stream =
      std::make_unique<ChunkStream>(std::vector<std::string>{"ab", "c"}, &closed, &deleted);
  HostResponse response{};
  WriteCallResult(call, &response, nullptr);
  EXPECT_EQ(call.body_stream, nullptr);
  ASSERT_NE(response.stream_read, nullptr);
  ASSERT_NE(response.stream_close, nullptr);
  EXPECT_EQ(response.stream_size_hint, 42u);
  EXPECT_EQ(response.reserved1, 0u);
  std::string text;
  bool more = true;
  while (more) {
    char buffer[8];
    uint32_t size = sizeof(buffer);
    ASSERT_TRUE(response.stream_read(response.stream_context, buffer, &size, &more));
    text.append(buffer, size);
  }
  EXPECT_EQ(text, "abc");
  response.stream_close(response.stream_context);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(deleted);
  response.release(&response);
  EXPECT_TRUE(deleted);
  EXPECT_EQ(response.stream_context, nullptr);
}

TEST(WriteErrorResponseTest, WritesTheMessageAndStatusOnly) {
  HostResponse response{};
  WriteErrorResponse(&response, "Invalid function", 404);
  EXPECT_EQ(response.failed, 1u);
  EXPECT_STREQ(response.error_text, "Invalid function");
  EXPECT_EQ(response.status_code, 404);
  EXPECT_STREQ(response.status_text, "");
  EXPECT_EQ(response.header_count, 0u);
  EXPECT_EQ(response.headers, nullptr);
  EXPECT_EQ(response.stream_read, nullptr);
  EXPECT_EQ(response.release, &ReleaseRouterResponse);
  response.release(&response);
  EXPECT_EQ(response.error_text, nullptr);
  ReleaseRouterResponse(&response);  // a second release finds nothing to free
}

}  // namespace
}  // namespace Voro
