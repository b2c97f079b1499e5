#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/foundation/RunLoop.h"
#include "platform/foundation/Stream.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::Data;
using foundation::InputStream;
using foundation::OutputStream;
using foundation::StreamEvent;
using Status = OutputStream::Status;

long writeText(OutputStream& stream, const std::string& text) {
  return stream.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

TEST(OutputStream, FileStreamTruncatesOrAppends) {
  test::TempDir dir;
  const std::string path = dir.file("out.txt");
  ASSERT_TRUE(test::writeFile(path, "old contents"));

  auto stream = OutputStream::toFileAtPath(path, false);
  EXPECT_EQ(stream->streamStatus(), Status::NotOpen);
  EXPECT_EQ(writeText(*stream, "early"), -1);  // not open yet
  stream->open();
  EXPECT_EQ(stream->streamStatus(), Status::Open);
  EXPECT_TRUE(stream->hasSpaceAvailable());
  EXPECT_EQ(writeText(*stream, "new"), 3);
  stream->close();
  EXPECT_EQ(stream->streamStatus(), Status::Closed);
  EXPECT_EQ(writeText(*stream, "late"), -1);
  EXPECT_EQ(test::readFile(path), "new");

  auto appending = OutputStream::toFileAtPath(path, true);
  appending->open();
  EXPECT_EQ(writeText(*appending, "+more"), 5);
  appending->close();
  EXPECT_EQ(test::readFile(path), "new+more");
  EXPECT_FALSE(appending->dataWrittenToMemory());
}

TEST(OutputStream, FileStreamReportsOpenAndWriteErrors) {
  EXPECT_EQ(OutputStream::toFileAtPath("", false), nullptr);

  test::TempDir dir;
  auto missingFolder = OutputStream::toFileAtPath(dir.file("no/such/file"), false);
  missingFolder->open();
  EXPECT_EQ(missingFolder->streamStatus(), Status::Error);
  EXPECT_FALSE(missingFolder->hasSpaceAvailable());
  ASSERT_TRUE(missingFolder->streamError());
  EXPECT_EQ(missingFolder->streamError()->code(), ENOENT);

  auto full = OutputStream::toFileAtPath("/dev/full", false);
  full->open();
  ASSERT_EQ(full->streamStatus(), Status::Open);
  EXPECT_EQ(writeText(*full, "x"), -1);
  EXPECT_EQ(full->streamStatus(), Status::Error);
  ASSERT_TRUE(full->streamError());
  EXPECT_EQ(full->streamError()->code(), ENOSPC);
}

TEST(OutputStream, MemoryAndBoundedBufferStreams) {
  auto memory = OutputStream::toMemory();
  memory->open();
  EXPECT_EQ(writeText(*memory, "abc"), 3);
  EXPECT_EQ(writeText(*memory, "de"), 2);
  EXPECT_EQ(*memory->dataWrittenToMemory(), (foundation::Data{'a', 'b', 'c', 'd', 'e'}));

  auto buffer = OutputStream::toBuffer(4);
  buffer->open();
  EXPECT_EQ(writeText(*buffer, "abc"), 3);
  EXPECT_EQ(writeText(*buffer, "def"), 1);  // only the room left
  EXPECT_EQ(buffer->streamStatus(), Status::AtEnd);
  EXPECT_FALSE(buffer->hasSpaceAvailable());
  EXPECT_EQ(writeText(*buffer, "g"), 0);
  EXPECT_FALSE(buffer->streamError());
  EXPECT_EQ(*buffer->dataWrittenToMemory(), (foundation::Data{'a', 'b', 'c', 'd'}));
}

// Everything left in `stream`, read `chunk` bytes at a time.
std::string readAll(InputStream& stream, std::size_t chunk) {
  std::string out;
  std::vector<std::uint8_t> buffer(chunk);
  for (;;) {
    const long n = stream.read(buffer.data(), buffer.size());
    if (n <= 0) break;
    out.append(buffer.begin(), buffer.begin() + n);
  }
  return out;
}

TEST(InputStream, DataAndFileStreamsReadToTheEndInAnyChunkSize) {
  test::TempDir dir;
  const std::string text = "line one\nline two\n";
  ASSERT_TRUE(test::writeFile(dir.file("in.txt"), text));
  const std::shared_ptr<InputStream> streams[] = {
      InputStream::withData(Data(text.begin(), text.end())),
      InputStream::withFileAtPath(dir.file("in.txt")),
  };
  for (const auto& stream : streams) {
    for (std::size_t chunk : {1, 3, 4096}) {
      auto fresh = stream->copy();  // each copy starts at the beginning
      ASSERT_TRUE(fresh);
      EXPECT_EQ(fresh->streamStatus(), Status::NotOpen);
      std::uint8_t byte;
      EXPECT_EQ(fresh->read(&byte, 1), -1);  // not open yet
      fresh->open();
      EXPECT_EQ(fresh->streamStatus(), Status::Open);
      EXPECT_EQ(readAll(*fresh, chunk), text) << chunk;
      EXPECT_EQ(fresh->streamStatus(), Status::AtEnd);
      EXPECT_FALSE(fresh->hasBytesAvailable());
      EXPECT_EQ(fresh->read(&byte, 1), 0);
      fresh->close();
      EXPECT_EQ(fresh->read(&byte, 1), -1);
    }
  }
  auto empty = InputStream::withData({});
  empty->open();
  EXPECT_EQ(empty->streamStatus(), Status::AtEnd);
}

TEST(InputStream, AFileThatCannotOpenReportsItThroughTheStatus) {
  test::TempDir dir;
  for (const std::string& path : {dir.file("missing"), dir.path()}) {
    auto stream = InputStream::withFileAtPath(path);
    stream->open();
    std::uint8_t byte;
    const long n = stream->read(&byte, 1);  // a folder opens but cannot be read
    EXPECT_EQ(n, -1) << path;
    EXPECT_EQ(stream->streamStatus(), Status::Error) << path;
    ASSERT_TRUE(stream->streamError()) << path;
    EXPECT_EQ(stream->streamError()->domain(), foundation::kPOSIXErrorDomain);
    EXPECT_FALSE(stream->hasBytesAvailable());
  }
}

// Writes to a file, but never takes more than three bytes a call, as a pipe or socket may.
class TrickleStream final : public OutputStream {
 public:
  explicit TrickleStream(std::shared_ptr<OutputStream> file) : file_(std::move(file)) {}
  void open() override { file_->open(); }
  void close() override { file_->close(); }
  long write(const std::uint8_t* buffer, std::size_t length) override {
    ++calls;
    return file_->write(buffer, std::min<std::size_t>(length, 3));
  }
  bool hasSpaceAvailable() const override { return file_->hasSpaceAvailable(); }
  Status streamStatus() const override { return file_->streamStatus(); }
  std::optional<foundation::Error> streamError() const override { return file_->streamError(); }
  int calls = 0;

 private:
  std::shared_ptr<OutputStream> file_;
};

TEST(OutputStream, WriteAllCopiesAFileThroughAStreamThatTakesAFewBytesACall) {
  test::TempDir dir;
  std::string text;
  for (int i = 0; i < 100; ++i) text += "row " + std::to_string(i) + "\n";
  ASSERT_TRUE(test::writeFile(dir.file("in.txt"), text));

  auto input = InputStream::withFileAtPath(dir.file("in.txt"));
  TrickleStream output(OutputStream::toFileAtPath(dir.file("out.txt"), false));
  input->open();
  output.open();
  std::uint8_t buffer[1024];
  EXPECT_EQ(output.write(buffer, 0), 0);
  while (input->hasBytesAvailable()) {
    const long n = input->read(buffer, sizeof buffer);
    ASSERT_GE(n, 0);
    ASSERT_TRUE(output.writeAll(buffer, static_cast<std::size_t>(n)));
  }
  output.close();
  input->close();
  EXPECT_EQ(test::readFile(dir.file("out.txt")), text);
  EXPECT_GE(output.calls, static_cast<int>(text.size() / 3));

  // A full buffer stops writeAll with false rather than dropping bytes silently.
  auto small = OutputStream::toBuffer(5);
  small->open();
  EXPECT_FALSE(small->writeAll(reinterpret_cast<const std::uint8_t*>("0123456789"), 10));
  EXPECT_EQ(*small->dataWrittenToMemory(), (Data{'0', '1', '2', '3', '4'}));
}

// Reads a scheduled stream four bytes per event, as an event-driven reader does.
class ChunkReader final : public foundation::StreamDelegate {
 public:
  void stream(foundation::Stream& stream, StreamEvent event) override {
    events.push_back(event);
    if (event != StreamEvent::HasBytesAvailable) return;
    std::uint8_t buffer[4];
    const long n = static_cast<InputStream&>(stream).read(buffer, sizeof buffer);
    if (n > 0) text.append(buffer, buffer + n);
  }
  std::vector<StreamEvent> events;
  std::string text;
};

TEST(InputStream, AScheduledStreamTellsItsDelegateOnTheRunLoop) {
  const std::string text = "eleven char";
  auto reader = std::make_shared<ChunkReader>();
  auto stream = InputStream::withData(Data(text.begin(), text.end()));
  stream->setDelegate(reader);
  stream->open();  // not yet scheduled: nothing is posted
  foundation::RunLoop::main().processPending();
  EXPECT_TRUE(reader->events.empty());

  auto scheduled = stream->copy();
  scheduled->setDelegate(reader);
  scheduled->scheduleInRunLoop(foundation::RunLoop::main(), foundation::kRunLoopCommonModes);
  scheduled->open();
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return !reader->events.empty() && reader->events.back() == StreamEvent::EndEncountered; }));
  EXPECT_EQ(reader->text, text);
  EXPECT_EQ(reader->events.front(), StreamEvent::OpenCompleted);

  // Once removed from the loop, events stop.
  auto removed = stream->copy();
  removed->setDelegate(reader);
  removed->scheduleInRunLoop(foundation::RunLoop::main(), foundation::kDefaultRunLoopMode);
  removed->open();
  removed->removeFromRunLoop(foundation::RunLoop::main(), foundation::kDefaultRunLoopMode);
  const std::size_t before = reader->events.size();
  foundation::pumpMainUntil([] { return false; }, 0.1);
  EXPECT_EQ(reader->events.size(), before);
}

}  // namespace
