#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/Stream.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::OutputStream;
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

}  // namespace
