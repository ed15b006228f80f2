#include "audio/byte_file.h"

#include <sys/stat.h>

#include "tests/audio/audio_test_support.h"

namespace tonvelo::test {
namespace {

using ByteFileTest = AudioTest;

TEST_F(ByteFileTest, ExactCountsAndPositions) {
  FileHandle h;
  ASSERT_TRUE(file_open_write(Path("f"), h));
  ASSERT_TRUE(file_write(h, "abcdefgh", 8));
  EXPECT_EQ(file_tell(h), 8u);
  ASSERT_TRUE(file_seek(h, 2));
  ASSERT_TRUE(file_write(h, "XY", 2));
  EXPECT_EQ(file_size(h), 8u);
  EXPECT_TRUE(file_flush(h));
  EXPECT_TRUE(file_close(h));

  ASSERT_TRUE(file_open_read(Path("f"), h));
  char buf[16] = {};
  ASSERT_TRUE(file_read(h, buf, 5));
  EXPECT_STREQ(buf, "abXYe");
  // A short read at the end is a failure; the available-bytes read is not.
  EXPECT_FALSE(file_read(h, buf, 4));
  ASSERT_TRUE(file_seek(h, 5));
  EXPECT_EQ(file_read_available(h, buf, sizeof buf), 3u);
  EXPECT_EQ(file_read_available(h, buf, sizeof buf), 0u);
  EXPECT_FALSE(file_write(h, "z", 1));
  EXPECT_TRUE(file_close(h));

  // Create-or-truncate.
  ASSERT_TRUE(file_open_write(Path("f"), h));
  EXPECT_EQ(file_size(h), 0u);
  EXPECT_TRUE(file_close(h));
}

TEST_F(ByteFileTest, FailuresAreReportedAndNothingButFilesIsDeleted) {
  FileHandle h = 123;
  EXPECT_FALSE(file_open_read(Path("absent"), h));
  EXPECT_EQ(h, kInvalidFile);
  EXPECT_FALSE(file_open_read(dir_, h));
  EXPECT_FALSE(file_open_write(Path("absent/f"), h));
  char c;
  EXPECT_FALSE(file_read(kInvalidFile, &c, 1));
  EXPECT_FALSE(file_write(kInvalidFile, &c, 1));
  EXPECT_FALSE(file_seek(kInvalidFile, 0));
  EXPECT_FALSE(file_close(kInvalidFile));

  ASSERT_TRUE(file_open_write("/dev/full", h));
  EXPECT_FALSE(file_write(h, "x", 1));
  EXPECT_TRUE(file_close(h));

  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  fs::create_directory(Path("sub"));
  EXPECT_FALSE(file_delete(Path("fifo")));
  EXPECT_FALSE(file_delete(Path("sub")));
  EXPECT_FALSE(file_delete(Path("absent")));
  EXPECT_TRUE(fs::exists(Path("fifo")));
  EXPECT_TRUE(fs::exists(Path("sub")));
  WriteBytes(Path("g"), {1});
  EXPECT_TRUE(file_delete(Path("g")));
  EXPECT_FALSE(fs::exists(Path("g")));
}

}  // namespace
}  // namespace tonvelo::test
