#include <gtest/gtest.h>

#include <cstdio>
#include <limits>
#include <regex>
#include <string>
#include <sys/stat.h>

#include "net/pipeline/MultipartFormData.h"
#include "platform/net/MIMEType.h"
#include "tests/net/pipeline/PipelineTestSupport.h"
#include "tests/support/TempDir.h"

namespace {

using pipeline::AnyError;
using pipeline::MultipartFormData;
using pipeline::PipelineError;
using Reason = PipelineError::MultipartEncodingFailureReason;

foundation::Data bytes(const std::string& text) { return foundation::Data(text.begin(), text.end()); }
std::string text(const foundation::Data& data) { return std::string(data.begin(), data.end()); }

// The multipart reason inside a thrown or recorded error, or nullptr.
const Reason* reasonOf(const std::optional<AnyError>& error) {
  auto* pipelineError = test::pipelineError(error);
  if (!pipelineError) return nullptr;
  auto* multipart = pipelineError->as<PipelineError::MultipartEncodingFailed>();
  return multipart ? &multipart->reason : nullptr;
}

// The form written into a file through writeEncodedData(url), read back.
std::string writtenToFile(MultipartFormData& form, const test::TempDir& dir) {
  const std::string path = dir.file("body.multipart");
  form.writeEncodedData(net::URL::fileURLWithPath(path));
  return test::readFile(path);
}

TEST(MultipartFormData, GoldenBytesInMemoryAndInAFile) {
  test::TempDir dir;
  const std::string big(2500, 'q');  // more than two read chunks
  ASSERT_TRUE(test::writeFile(dir.file("notes.txt"), big));

  MultipartFormData form;
  form.setBoundary("B");
  form.append(bytes("xyz"), "a");
  form.append(bytes("hello"), "f", "f.txt", "text/plain");
  form.append(net::URL::fileURLWithPath(dir.file("notes.txt")), "file");
  ASSERT_FALSE(form.bodyPartError());

  const std::string golden =
      "--B\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxyz"
      "\r\n--B\r\nContent-Disposition: form-data; name=\"f\"; filename=\"f.txt\"\r\nContent-Type: text/plain\r\n\r\nhello"
      "\r\n--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"notes.txt\"\r\nContent-Type: " +
      net::mimeTypeForPathExtension("txt") + "\r\n\r\n" + big + "\r\n--B--\r\n";
  EXPECT_EQ(text(form.encode()), golden);
  EXPECT_TRUE(form.bodyParts().front()->hasInitialBoundary);
  EXPECT_FALSE(form.bodyParts().front()->hasFinalBoundary);
  EXPECT_TRUE(form.bodyParts().back()->hasFinalBoundary);
  EXPECT_EQ(form.contentLength(), 3u + 5u + 2500u);

  MultipartFormData streamed;
  streamed.setBoundary("B");
  streamed.append(bytes("xyz"), "a");
  streamed.append(bytes("hello"), "f", "f.txt", "text/plain");
  streamed.append(net::URL::fileURLWithPath(dir.file("notes.txt")), "file");
  EXPECT_EQ(writtenToFile(streamed, dir), golden);
}

TEST(MultipartFormData, SinglePartAndEmptyForm) {
  MultipartFormData one;
  one.setBoundary("B");
  one.append(bytes("xyz"), "a", "text/plain");
  EXPECT_EQ(text(one.encode()),
            "--B\r\nContent-Disposition: form-data; name=\"a\"\r\nContent-Type: text/plain\r\n\r\nxyz\r\n--B--\r\n");

  test::TempDir dir;
  MultipartFormData empty;
  EXPECT_TRUE(empty.encode().empty());
  EXPECT_EQ(empty.contentLength(), 0u);
  EXPECT_EQ(writtenToFile(empty, dir), "");
  struct stat info;
  EXPECT_EQ(::stat(dir.file("body.multipart").c_str(), &info), 0);
}

TEST(MultipartFormData, BoundaryContentTypeAndLength) {
  MultipartFormData form;
  EXPECT_TRUE(std::regex_match(form.boundary(), std::regex("pipeline\\.boundary\\.[0-9a-f]{16}")));
  EXPECT_NE(form.boundary(), MultipartFormData().boundary());
  const std::string first = form.contentType();
  EXPECT_EQ(first, "multipart/form-data; boundary=" + form.boundary());
  form.setBoundary("other");
  EXPECT_EQ(form.contentType(), first);  // built once

  form.append(bytes("abc"), "a");
  form.append(bytes("defgh"), "b");
  EXPECT_EQ(form.contentLength(), 8u);
  const auto max = std::numeric_limits<std::uint64_t>::max();
  form.append(net::InputStream::withData({}), max, pipeline::HTTPHeaders{});
  EXPECT_EQ(form.contentLength(), max);  // saturates instead of wrapping
}

TEST(MultipartFormData, FileAppendChecks) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("plain"), "x"));
  ASSERT_TRUE(test::writeFile(dir.file("a.json"), "{}"));
  ASSERT_TRUE(test::writeFile(dir.file("a.qmzzunknown"), "x"));
  ASSERT_EQ(::mkdir(dir.file("folder.d").c_str(), 0755), 0);
  const auto file = [&](const std::string& name) { return net::URL::fileURLWithPath(dir.file(name)); };

  struct Case {
    net::URL url;
    std::size_t reasonIndex;  // position of the expected case in Reason's variant
  };
  const std::vector<Case> cases = {
      {file("plain"), 1},                                   // bodyPartFilenameInvalid: no extension
      {*net::URL::fromString("http://h/a.txt"), 0},         // bodyPartURLInvalid
      {file("missing.txt"), 2},                             // bodyPartFileNotReachable
      {file("plain/inside.txt"), 3},                        // bodyPartFileNotReachableWithError (ENOTDIR)
      {file("folder.d"), 4},                                // bodyPartFileIsDirectory
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url.absoluteString());
    MultipartFormData form;
    form.append(c.url, "f");
    auto* reason = reasonOf(form.bodyPartError());
    ASSERT_TRUE(reason);
    EXPECT_EQ(reason->value.index(), c.reasonIndex);
    EXPECT_TRUE(form.bodyParts().empty());
    EXPECT_EQ(test::pipelineError(form.bodyPartError())->url(), c.url);
  }

  MultipartFormData typed;
  typed.append(file("a.json"), "j");
  typed.append(file("a.qmzzunknown"), "u");
  ASSERT_FALSE(typed.bodyPartError());
  EXPECT_EQ(typed.bodyParts()[0]->headers.at("Content-Type"), net::mimeTypeForPathExtension("json"));
  EXPECT_EQ(typed.bodyParts()[1]->headers.at("Content-Type"), "application/octet-stream");
  EXPECT_EQ(typed.bodyParts()[0]->bodyContentLength, 2u);
}

TEST(MultipartFormData, FirstRecordedErrorWinsAndIsThrownFirst) {
  test::TempDir dir;
  MultipartFormData form;
  form.append(*net::URL::fromString("http://h/a.txt"), "first");
  const auto recorded = *form.bodyPartError();
  form.append(net::URL::fileURLWithPath(dir.file("missing.txt")), "second");
  form.append(bytes("ok"), "valid");
  EXPECT_EQ(*form.bodyPartError(), recorded);
  EXPECT_EQ(form.bodyParts().size(), 1u);  // the valid part still went in

  EXPECT_EQ(test::thrownBy([&] { form.encode(); }), recorded);
  EXPECT_EQ(test::thrownBy([&] { form.writeEncodedData(net::URL::fileURLWithPath(dir.file("out"))); }), recorded);
  struct stat info;
  EXPECT_NE(::stat(dir.file("out").c_str(), &info), 0);  // nothing was written
}

TEST(MultipartFormData, DestinationChecks) {
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("exists"), "keep me"));
  MultipartFormData form;
  form.append(bytes("x"), "a");

  auto existing = test::thrownBy([&] { form.writeEncodedData(net::URL::fileURLWithPath(dir.file("exists"))); });
  ASSERT_TRUE(reasonOf(existing));
  EXPECT_TRUE(reasonOf(existing)->as<Reason::OutputStreamFileAlreadyExists>());
  EXPECT_EQ(test::readFile(dir.file("exists")), "keep me");

  // A web URL is refused as such, even when its path names an existing local file.
  auto web = test::thrownBy([&] { form.writeEncodedData(*net::URL::fromString("http://h" + dir.file("exists"))); });
  ASSERT_TRUE(reasonOf(web));
  EXPECT_TRUE(reasonOf(web)->as<Reason::OutputStreamURLInvalid>());

  // An unopenable destination fails even for a form that would write nothing.
  MultipartFormData empty;
  auto unopenable = test::thrownBy([&] { empty.writeEncodedData(net::URL::fileURLWithPath(dir.file("no/dir/out"))); });
  ASSERT_TRUE(reasonOf(unopenable));
  auto* write = reasonOf(unopenable)->as<Reason::OutputStreamWriteFailed>();
  ASSERT_TRUE(write);
  EXPECT_EQ(write->error.as<foundation::Error>()->code(), ENOENT);
}

// An output stream that claims room but never takes a byte.
class StuckStream final : public foundation::OutputStream {
 public:
  void open() override {}
  void close() override {}
  long write(const std::uint8_t*, std::size_t) override { ++writes; return 0; }
  bool hasSpaceAvailable() const override { return true; }
  Status streamStatus() const override { return Status::Open; }
  std::optional<foundation::Error> streamError() const override { return std::nullopt; }
  int writes = 0;
};

TEST(MultipartFormData, OutputThatStopsTakingBytesFailsInsteadOfTruncating) {
  const auto form = [] {
    auto f = std::make_unique<MultipartFormData>();
    f->setBoundary("B");
    f->append(bytes(std::string(100, 'z')), "a");
    return f;
  };

  auto full = foundation::OutputStream::toBuffer(10);
  full->open();
  auto noRoom = test::thrownBy([&] { form()->writeEncodedData(*full); });
  ASSERT_TRUE(reasonOf(noRoom));
  EXPECT_TRUE(reasonOf(noRoom)->as<Reason::OutputStreamWriteFailed>());

  StuckStream stuck;
  auto noProgress = test::thrownBy([&] { form()->writeEncodedData(stuck); });
  ASSERT_TRUE(reasonOf(noProgress));
  EXPECT_TRUE(reasonOf(noProgress)->as<Reason::OutputStreamWriteFailed>());
  EXPECT_EQ(stuck.writes, 1);

  auto deviceFull = foundation::OutputStream::toFileAtPath("/dev/full", false);
  deviceFull->open();
  auto failed = test::thrownBy([&] { form()->writeEncodedData(*deviceFull); });
  ASSERT_TRUE(reasonOf(failed));
  auto* write = reasonOf(failed)->as<Reason::OutputStreamWriteFailed>();
  ASSERT_TRUE(write);
  EXPECT_EQ(write->error.as<foundation::Error>()->code(), ENOSPC);
}

// An input stream that fails its first read.
class FailingInput final : public net::InputStream {
 public:
  void open() override { status_ = Status::Open; }
  void close() override { status_ = Status::Closed; }
  long read(std::uint8_t*, std::size_t) override {
    status_ = Status::Error;
    error_ = foundation::Error::posix(EIO, "/dev/broken");
    return -1;
  }
  bool hasBytesAvailable() const override { return status_ == Status::Open; }
  Status streamStatus() const override { return status_; }
  std::optional<foundation::Error> streamError() const override { return error_; }

 private:
  Status status_ = Status::NotOpen;
  std::optional<foundation::Error> error_;
};

TEST(MultipartFormData, BodyStreamFailuresAreThrown) {
  MultipartFormData failing;
  auto input = std::make_shared<FailingInput>();
  failing.append(input, 10, "a", "a.bin", "application/octet-stream");
  auto error = test::thrownBy([&] { failing.encode(); });
  ASSERT_TRUE(reasonOf(error));
  auto* read = reasonOf(error)->as<Reason::InputStreamReadFailed>();
  ASSERT_TRUE(read);
  EXPECT_EQ(read->error.as<foundation::Error>()->code(), EIO);
  EXPECT_EQ(input->streamStatus(), net::InputStream::Status::Closed);  // closed on failure too

  // A file that vanished after it was appended fails the encoding instead of giving an empty part.
  test::TempDir dir;
  ASSERT_TRUE(test::writeFile(dir.file("gone.txt"), "data"));
  MultipartFormData vanished;
  vanished.append(net::URL::fileURLWithPath(dir.file("gone.txt")), "f");
  ASSERT_EQ(std::remove(dir.file("gone.txt").c_str()), 0);
  auto missing = test::thrownBy([&] { vanished.encode(); });
  ASSERT_TRUE(reasonOf(missing));
  EXPECT_TRUE(reasonOf(missing)->as<Reason::InputStreamReadFailed>());
}

}  // namespace
