#include "audio/byte_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tonvelo {

bool file_open_read(const std::filesystem::path& path, FileHandle& handle) {
  handle = kInvalidFile;
  int fd;
  // Not blocking: a named pipe called "song.mid" would otherwise hold the
  // open, and the whole batch with it, until someone writes to the pipe.
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  // A folder, a pipe or a device opens for reading on POSIX but is no file
  // to read: it has no size to trust and may never end.
  struct stat st;
  const bool known = ::fstat(fd, &st) == 0;
  if (!known || !S_ISREG(st.st_mode)) {
    const int why = !known ? errno : S_ISDIR(st.st_mode) ? EISDIR : ENOTSUP;
    ::close(fd);
    errno = why;
    return false;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  handle = fd;
  return true;
}

bool file_open_write(const std::filesystem::path& path, FileHandle& handle) {
  handle = kInvalidFile;
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  handle = fd;
  return true;
}

bool file_read(FileHandle handle, void* buffer, size_t count) {
  return file_read_available(handle, buffer, count) == count;
}

size_t file_read_available(FileHandle handle, void* buffer, size_t count) {
  if (handle < 0) return 0;
  auto* p = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(handle, p + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return 0;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool file_write(FileHandle handle, const void* buffer, size_t count) {
  if (handle < 0) return false;
  const auto* p = static_cast<const uint8_t*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(handle, p + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool file_close(FileHandle handle) {
  if (handle < 0) return false;
  // After EINTR the descriptor is already released on Linux; retrying could
  // close a descriptor another thread has just been given.
  return ::close(handle) == 0 || errno == EINTR;
}

bool file_seek(FileHandle handle, uint32_t position) {
  if (handle < 0) return false;
  return ::lseek(handle, static_cast<off_t>(position), SEEK_SET) != static_cast<off_t>(-1);
}

uint32_t file_tell(FileHandle handle) {
  if (handle < 0) return 0xFFFFFFFFu;
  const off_t pos = ::lseek(handle, 0, SEEK_CUR);
  if (pos < 0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(pos);
}

uint32_t file_size(FileHandle handle) {
  struct stat st;
  if (handle < 0 || ::fstat(handle, &st) != 0) return 0xFFFFFFFFu;
  return static_cast<uint32_t>(static_cast<uint64_t>(st.st_size));
}

bool file_flush(FileHandle handle) {
  if (handle < 0) return false;
  if (::fsync(handle) == 0) return true;
  return errno == EINVAL || errno == EROFS;
}

bool file_delete(const std::filesystem::path& path) {
  // Callers delete the outputs they created; refusing anything but a regular
  // file keeps an output path such as /dev/null from ever being unlinked.
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) return false;
  return ::unlink(path.c_str()) == 0;
}

namespace {

bool SyncPath(const std::filesystem::path& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
  const int savedErrno = errno;
  ::close(fd);
  errno = savedErrno;
  return synced;
}

}  // namespace

bool file_commit(const std::filesystem::path& written, const std::filesystem::path& final) {
  struct stat st;
  if (::lstat(final.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
    return false;
  }
  if (!SyncPath(written, O_RDONLY)) return false;
  if (::rename(written.c_str(), final.c_str()) != 0) return false;
  // The new name is only durable once the folder itself is on the device.
  const std::filesystem::path folder = final.parent_path().empty() ? "." : final.parent_path();
  (void)SyncPath(folder, O_RDONLY | O_DIRECTORY);
  return true;
}

}  // namespace tonvelo
