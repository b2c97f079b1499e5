#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>

#include "net/callbacks/RLHTTPRequestSerializer.h"
#include "net/callbacks/RLStreamingMultipartFormData.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/RunLoop.h"
#include "platform/net/MIMEType.h"
#include "tests/net/callbacks/CallbacksTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::Data;
using test::bytes;

// A form over POST http://h/upload with a temporary folder of files and a known MIME table.
class MultipartTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test::writeFile(dir.file("mime.types"), "text/plain txt\nimage/png png\n"));
    net::setMIMETypesFileForTesting(dir.file("mime.types"));
    ASSERT_TRUE(test::writeFile(dir.file("notes.txt"), "file body"));
    request = net::URLRequest(*net::URL::fromString("http://h/upload"));
    request.setHTTPMethod("POST");
  }

  net::URL fileURL(const std::string& name) const { return net::URL::fileURLWithPath(dir.file(name)); }

  test::TempDir dir;
  net::URLRequest request;
};

std::string readStream(const std::shared_ptr<foundation::InputStream>& stream, std::size_t chunk = 4096) {
  auto body = test::readAll(*stream, chunk);
  EXPECT_TRUE(body) << "the stream failed";
  return body.value_or("<failed>");
}

TEST_F(MultipartTest, GoldenBodyInAnyReadSize) {
  RLStreamingMultipartFormData form(request, RLStringEncoding::UTF8, "B");
  ASSERT_TRUE(form.appendPartWithFormData(bytes("xyz"), "a"));
  ASSERT_TRUE(form.appendPartWithFileData(bytes("hello"), "f", "f.txt", "text/plain"));
  ASSERT_TRUE(form.appendPartWithFileURL(fileURL("notes.txt"), "file"));
  ASSERT_TRUE(form.appendPartWithInputStream(foundation::InputStream::withData(bytes("streamed")), "s", "s.bin", 8,
                                             "application/x-s"));
  net::HTTPHeaderFields raw{{"X-Custom", "1"}, {"Content-Type", "text/csv"}};
  ASSERT_TRUE(form.appendPartWithHeaders(raw, bytes("r,a,w")));

  const std::string golden =
      "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxyz"
      "\r\n--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"f.txt\"\r\nContent-Type: text/plain\r\n\r\nhello"
      "\r\n--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"notes.txt\"\r\nContent-Type: text/plain"
      "\r\n\r\nfile body"
      "\r\n--B\r\nContent-Disposition: form-data; name=\"s\"; filename=\"s.bin\"\r\nContent-Type: application/x-s"
      "\r\n\r\nstreamed"
      "\r\n--B\r\nX-Custom: 1\r\nContent-Type: text/csv\r\n\r\nr,a,w\r\n--B--\r\n";

  const net::URLRequest finished = form.requestByFinalizingMultipartFormData();
  EXPECT_EQ(finished.valueForHTTPHeaderField("Content-Type"), "multipart/form-data; boundary=B");
  EXPECT_EQ(finished.valueForHTTPHeaderField("Content-Length"), std::to_string(golden.size()));
  ASSERT_EQ(finished.httpBodyStream(), form.bodyStream());
  EXPECT_FALSE(finished.httpBody());

  // Each copy replays the body; reads of 1 and 7 bytes cross every phase edge.
  for (std::size_t chunk : {std::size_t{1}, std::size_t{7}}) {
    EXPECT_EQ(readStream(form.bodyStream()->copy(), chunk), golden) << chunk;
  }
  EXPECT_EQ(readStream(form.bodyStream()), golden);
}

TEST_F(MultipartTest, BoundaryMarksAndTheEmptyForm) {
  request.setValue("text/x-mine", "Content-Type");
  RLStreamingMultipartFormData empty(request, RLStringEncoding::UTF8);
  const auto untouched = empty.requestByFinalizingMultipartFormData();
  EXPECT_FALSE(untouched.httpBodyStream());
  EXPECT_EQ(untouched.valueForHTTPHeaderField("Content-Type"), "text/x-mine");
  EXPECT_FALSE(untouched.valueForHTTPHeaderField("Content-Length"));

  RLStreamingMultipartFormData one(request, RLStringEncoding::UTF8, "B");
  one.appendPartWithFormData(bytes("1"), "a");
  one.requestByFinalizingMultipartFormData();
  EXPECT_TRUE(one.bodyStream()->HTTPBodyParts()[0]->hasInitialBoundary());
  EXPECT_TRUE(one.bodyStream()->HTTPBodyParts()[0]->hasFinalBoundary());
  EXPECT_EQ(readStream(one.bodyStream()), "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--B--\r\n");

  RLStreamingMultipartFormData three(request, RLStringEncoding::UTF8);
  for (const char* name : {"a", "b", "c"}) three.appendPartWithFormData(bytes(name), name);
  three.requestByFinalizingMultipartFormData();
  const auto& parts = three.bodyStream()->HTTPBodyParts();
  EXPECT_EQ(std::vector<bool>({parts[0]->hasInitialBoundary(), parts[1]->hasInitialBoundary(), parts[2]->hasInitialBoundary()}),
            std::vector<bool>({true, false, false}));
  EXPECT_EQ(std::vector<bool>({parts[0]->hasFinalBoundary(), parts[1]->hasFinalBoundary(), parts[2]->hasFinalBoundary()}),
            std::vector<bool>({false, false, true}));
  EXPECT_EQ(three.boundary().size(), 25u);  // "Boundary+" and 16 hex digits
  EXPECT_EQ(three.boundary().rfind("Boundary+", 0), 0u);
  EXPECT_EQ(three.boundary().find_first_not_of("0123456789ABCDEF", 9), std::string::npos);
}

TEST_F(MultipartTest, FileAppendsCheckTheFile) {
  ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
  struct Case {
    net::URL url;
    const char* reason;
  } cases[] = {
      {*net::URL::fromString("http://h/notes.txt"), "Expected URL to be a file URL"},
      {fileURL("missing.txt"), "File URL not reachable."},
      {fileURL("folder"), "File URL points to a folder."},
  };
  RLStreamingMultipartFormData form(request, RLStringEncoding::UTF8, "B");
  for (const auto& c : cases) {
    foundation::Error error;
    EXPECT_FALSE(form.appendPartWithFileURL(c.url, "f", &error)) << c.reason;
    EXPECT_EQ(error.domain(), "com.relay.error.serialization.request");
    EXPECT_EQ(error.code(), -1000);
    EXPECT_EQ(error.localizedFailureReason(), c.reason);
  }
  EXPECT_TRUE(form.bodyStream()->isEmpty());
  EXPECT_EQ(form.appendError()->localizedFailureReason(), "Expected URL to be a file URL");  // the first one

  // The builder stays usable; an unknown extension is octet-stream, and a link counts the size
  // of what it leads to.
  ASSERT_TRUE(test::writeFile(dir.file("data.unknownext"), "0123456789"));
  ASSERT_EQ(::symlink(dir.file("data.unknownext").c_str(), dir.file("link.png").c_str()), 0);
  ASSERT_TRUE(form.appendPartWithFileURL(fileURL("data.unknownext"), "d"));
  ASSERT_TRUE(form.appendPartWithFileURL(fileURL("link.png"), "l"));
  const auto finished = form.requestByFinalizingMultipartFormData();
  const std::string body = readStream(form.bodyStream());
  EXPECT_NE(body.find("filename=\"data.unknownext\"\r\nContent-Type: application/octet-stream\r\n\r\n0123456789"),
            std::string::npos);
  EXPECT_NE(body.find("filename=\"link.png\"\r\nContent-Type: image/png\r\n\r\n0123456789\r\n--B--"), std::string::npos);
  EXPECT_EQ(finished.valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
}

TEST_F(MultipartTest, NamesThatWouldForgeHeadersAreRefused) {
  RLStreamingMultipartFormData form(request, RLStringEncoding::UTF8, "B");
  const auto stream = foundation::InputStream::withData(bytes("x"));
  struct Case {
    const char* label;
    std::function<bool(foundation::Error*)> append;
  } cases[] = {
      {"quote in a field name", [&](auto* e) { return form.appendPartWithFormData(bytes("x"), "a\"; name=\"b", e); }},
      {"line feed in a field name", [&](auto* e) { return form.appendPartWithFormData(bytes("x"), "a\nX: y", e); }},
      {"carriage return in a file name",
       [&](auto* e) { return form.appendPartWithFileData(bytes("x"), "f", "a\r.txt", "text/plain", e); }},
      {"quote in a file name",
       [&](auto* e) { return form.appendPartWithInputStream(stream, "f", "a\".txt", 1, "text/plain", e); }},
      {"quote in a file URL's part name",
       [&](auto* e) { return form.appendPartWithFileURL(fileURL("notes.txt"), "n\"", e); }},
      {"line break in a MIME type",
       [&](auto* e) { return form.appendPartWithFileData(bytes("x"), "f", "f", "text/plain\r\nX: y", e); }},
      {"line break in a raw header",
       [&](auto* e) { return form.appendPartWithHeaders(net::HTTPHeaderFields{{"X-A", "1\r\n\r\nforged"}}, bytes("x"), e); }},
      {"negative stream length", [&](auto* e) { return form.appendPartWithInputStream(stream, "f", "f", -1, "a/b", e); }},
      {"no stream", [&](auto* e) { return form.appendPartWithInputStream(nullptr, "f", "f", 0, "a/b", e); }},
  };
  for (const auto& c : cases) {
    foundation::Error error;
    EXPECT_FALSE(c.append(&error)) << c.label;
    EXPECT_EQ(error.domain(), "com.relay.error.serialization.request") << c.label;
    EXPECT_EQ(error.code(), -1000) << c.label;
  }
  EXPECT_TRUE(form.bodyStream()->isEmpty());

  // Text the form's encoding cannot write is refused too, rather than dropped from the wire.
  RLStreamingMultipartFormData ascii(request, RLStringEncoding::ASCII, "B");
  EXPECT_FALSE(ascii.appendPartWithFormData(bytes("x"), "städte"));
  EXPECT_TRUE(ascii.appendPartWithFormData(bytes("ü"), "plain"));  // bodies are bytes, not text
}

TEST_F(MultipartTest, ThrottledReadsGiveOnePacketAndPauseAfterEachChunk) {
  RLStreamingMultipartFormData form(request, RLStringEncoding::UTF8, "B");
  form.appendPartWithFormData(bytes(std::string(40, 'x')), "a");
  form.throttleBandwidthWithPacketSize(10, 0.02);
  form.requestByFinalizingMultipartFormData();
  const auto stream = form.bodyStream();
  const std::uint64_t length = stream->contentLength();

  stream->open();
  std::string body;
  std::uint8_t buffer[4096];
  int reads = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long count; (count = stream->read(buffer, sizeof buffer)) > 0; ++reads) {
    EXPECT_LE(count, 10);
    body.append(reinterpret_cast<char*>(buffer), static_cast<std::size_t>(count));
  }
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(body.size(), length);
  EXPECT_EQ(reads, static_cast<int>((length + 9) / 10));
  EXPECT_GE(elapsed, reads * 0.02);  // at least one pause per chunk
}

TEST_F(MultipartTest, OpenCloseAndReadOrder) {
  RLStreamingMultipartFormData form(request, RLStringEncoding::UTF8, "B");
  form.appendPartWithFormData(bytes("0123456789"), "a");
  form.requestByFinalizingMultipartFormData();
  const auto stream = form.bodyStream();
  std::uint8_t buffer[8];
  EXPECT_EQ(stream->read(buffer, sizeof buffer), -1);  // not open yet
  stream->open();
  ASSERT_EQ(stream->read(buffer, 3), 3);
  stream->open();  // already open: no restart
  ASSERT_EQ(stream->read(buffer, 2), 2);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "\r\n");
  EXPECT_TRUE(stream->hasBytesAvailable());
  stream->close();
  EXPECT_EQ(stream->read(buffer, sizeof buffer), 0);
  EXPECT_FALSE(stream->hasBytesAvailable());
  EXPECT_EQ(stream->streamStatus(), foundation::Stream::Status::Closed);
  stream->open();  // spent: failing beats reading as an empty body
  EXPECT_EQ(stream->read(buffer, sizeof buffer), -1);
  EXPECT_TRUE(stream->streamError());
}

// A stream that reports itself open and never gives a byte.
class StallingStream final : public foundation::InputStream {
 public:
  void open() override { status_ = Status::Open; }
  void close() override { status_ = Status::Closed; }
  Status streamStatus() const override { return status_; }
  std::optional<foundation::Error> streamError() const override { return std::nullopt; }
  long read(std::uint8_t*, std::size_t) override { return 0; }
  bool hasBytesAvailable() const override { return status_ == Status::Open; }

 private:
  Status status_ = Status::NotOpen;
};

TEST_F(MultipartTest, APartThatFailsFailsTheWholeRead) {
  struct Case {
    const char* label;
    std::function<void(RLStreamingMultipartFormData&)> append;
    std::function<void()> afterAppend;
  } cases[] = {
      {"file removed after the append",
       [&](auto& form) { ASSERT_TRUE(form.appendPartWithFileURL(fileURL("notes.txt"), "f")); },
       [&] { ASSERT_EQ(::unlink(dir.file("notes.txt").c_str()), 0); }},
      {"file cut short after the append",
       [&](auto& form) { ASSERT_TRUE(form.appendPartWithFileURL(fileURL("notes.txt"), "f")); },
       [&] { ASSERT_TRUE(test::writeFile(dir.file("notes.txt"), "file")); }},
      {"stream shorter than declared",
       [&](auto& form) {
         ASSERT_TRUE(form.appendPartWithInputStream(foundation::InputStream::withData(bytes("abc")), "s", "s", 4, "a/b"));
       },
       [] {}},
      {"stream that stalls",
       [&](auto& form) { ASSERT_TRUE(form.appendPartWithInputStream(std::make_shared<StallingStream>(), "s", "s", 4, "a/b")); },
       [] {}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(test::writeFile(dir.file("notes.txt"), "file body"));
    RLStreamingMultipartFormData form(request, RLStringEncoding::UTF8, "B");
    form.appendPartWithFormData(bytes("before"), "a");
    c.append(form);
    form.appendPartWithFormData(bytes("after"), "z");
    form.requestByFinalizingMultipartFormData();
    c.afterAppend();

    const auto stream = form.bodyStream();
    stream->open();
    std::uint8_t buffer[16];
    long count = 0;
    int reads = 0;
    while ((count = stream->read(buffer, sizeof buffer)) > 0 && reads < 1000) ++reads;
    EXPECT_EQ(count, -1) << c.label;
    EXPECT_EQ(stream->streamStatus(), foundation::Stream::Status::Error) << c.label;
    EXPECT_TRUE(stream->streamError()) << c.label;
  }
}

TEST_F(MultipartTest, AStreamLongerThanDeclaredSendsOnlyTheDeclaredBytes) {
  RLStreamingMultipartFormData form(request, RLStringEncoding::UTF8, "B");
  ASSERT_TRUE(form.appendPartWithInputStream(foundation::InputStream::withData(bytes("abcdef")), "s", "s", 3, "a/b"));
  const auto finished = form.requestByFinalizingMultipartFormData();
  const std::string body = readStream(form.bodyStream());
  EXPECT_NE(body.find("\r\n\r\nabc\r\n--B--\r\n"), std::string::npos) << body;
  EXPECT_EQ(finished.valueForHTTPHeaderField("Content-Length"), std::to_string(body.size()));
}

TEST_F(MultipartTest, ReadingOffTheMainThreadNeverWaitsForIt) {
  RLStreamingMultipartFormData form(request, RLStringEncoding::UTF8, "B");
  form.appendPartWithFormData(bytes("a"), "a");
  form.appendPartWithFileURL(fileURL("notes.txt"), "f");
  form.requestByFinalizingMultipartFormData();
  // The main thread waits here without serving its queue, as a caller blocked on an upload would.
  auto body = std::async(std::launch::async, [stream = form.bodyStream()] { return test::readAll(*stream, 3); });
  ASSERT_EQ(body.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_NE(body.get().value_or("").find("file body"), std::string::npos);
}

TEST_F(MultipartTest, SerializerPutsParametersBeforeTheCallersParts) {
  RLHTTPRequestSerializer serializer;
  const foundation::Value parameters = foundation::Dictionary{
      {"user", foundation::Dictionary{{"name", "Zoë"}}}, {"ids", foundation::Array{2, 1}},
      {"blob", Data{0, 1}}, {"none", foundation::Value()}};
  foundation::Error error;
  auto built = serializer.multipartFormRequestWithMethod(
      "POST", "http://h/upload", parameters,
      [&](RLMultipartFormData& form) { ASSERT_TRUE(form.appendPartWithFileURL(fileURL("notes.txt"), "file")); }, &error);
  ASSERT_TRUE(built) << error.description();

  const std::string contentType = built->valueForHTTPHeaderField("Content-Type").value_or("");
  const std::string prefix = "multipart/form-data; boundary=";
  ASSERT_EQ(contentType.rfind(prefix, 0), 0u);
  const std::string B = contentType.substr(prefix.size());
  auto field = [&](const std::string& name, const std::string& value) {
    return "\r\n--" + B + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value;
  };
  std::string golden = field("blob", std::string("\0\1", 2)) + field("ids[]", "2") + field("ids[]", "1") +
                       field("none", "") + field("user[name]", "Zoë") + "\r\n--" + B +
                       "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"notes.txt\"\r\n"
                       "Content-Type: text/plain\r\n\r\nfile body\r\n--" + B + "--\r\n";
  golden.erase(0, 2);  // the first boundary has no CRLF before it
  EXPECT_EQ(readStream(built->httpBodyStream()), golden);
  EXPECT_EQ(built->valueForHTTPHeaderField("Content-Length"), std::to_string(golden.size()));
  EXPECT_FALSE(built->httpBody());
  EXPECT_TRUE(built->valueForHTTPHeaderField("User-Agent"));
}

TEST_F(MultipartTest, SerializerBuildsNoRequestWhenAPartIsRefused) {
  RLHTTPRequestSerializer serializer;
  struct Case {
    const char* label;
    foundation::Value parameters;
    RLHTTPRequestSerializer::MultipartFormDataBlock block;
    long code;
  } cases[] = {
      {"missing file in the block", foundation::Value(),
       [&](RLMultipartFormData& form) { form.appendPartWithFileURL(fileURL("missing.bin"), "f"); }, -1000},
      {"quote in a parameter name", foundation::Dictionary{{"a\"b", 1}}, nullptr, -1000},
      {"parameters that are no dictionary", foundation::Array{1}, nullptr, -1016},
  };
  for (const auto& c : cases) {
    foundation::Error error;
    EXPECT_FALSE(serializer.multipartFormRequestWithMethod("POST", "http://h/", c.parameters, c.block, &error))
        << c.label;
    EXPECT_EQ(error.domain(), "com.relay.error.serialization.request") << c.label;
    EXPECT_EQ(error.code(), c.code) << c.label;
  }
}

TEST_F(MultipartTest, WritingTheBodyToAFile) {
  RLHTTPRequestSerializer serializer;
  const net::URLRequest built = *serializer.multipartFormRequestWithMethod(
      "POST", "http://h/", foundation::Dictionary{{"a", "1"}},
      [&](RLMultipartFormData& form) { form.appendPartWithFileURL(fileURL("notes.txt"), "f"); });
  // Each write gets a fresh copy of the one body.
  auto make = [&] {
    net::URLRequest request = built;
    request.setHTTPBodyStream(built.httpBodyStream()->copy());
    return request;
  };
  const std::string golden = readStream(make().httpBodyStream());

  struct Case {
    const char* label;
    net::URL destination;
    bool succeeds;
  } cases[] = {
      {"file", fileURL("out.multipart"), true},
      {"missing folder", fileURL("no/such/out.multipart"), false},
      {"not a file URL", *net::URL::fromString("http://h/out"), false},
  };
  for (const auto& c : cases) {
    std::optional<std::optional<foundation::Error>> result;
    bool onMain = false;
    const auto copy = serializer.requestWithMultipartFormRequest(make(), c.destination, [&](auto error) {
      onMain = dispatch::Queue::isMainThread();
      result = std::move(error);
    });
    EXPECT_FALSE(copy.httpBodyStream());
    EXPECT_TRUE(copy.valueForHTTPHeaderField("Content-Length"));
    ASSERT_TRUE(foundation::pumpMainUntil([&] { return result.has_value(); })) << c.label;
    EXPECT_TRUE(onMain);
    EXPECT_EQ(!result->has_value(), c.succeeds) << c.label;
    if (c.succeeds) {
      EXPECT_EQ(test::readFile(dir.file("out.multipart")), golden);
    }
  }

  // A body whose file went missing reports the failure instead of leaving a short file.
  const net::URLRequest broken = make();
  ASSERT_EQ(::unlink(dir.file("notes.txt").c_str()), 0);
  std::optional<std::optional<foundation::Error>> result;
  serializer.requestWithMultipartFormRequest(broken, fileURL("broken.multipart"), [&](auto error) { result = error; });
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return result.has_value(); }));
  EXPECT_TRUE(result->has_value());
}

}  // namespace
