#pragma once
// Byte-file functions: the one place that touches the operating system's file
// API. Every call reports plain success; a short read or write is a failure,
// and callers use a short read as their end-of-file signal.

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace tonvelo {

using FileHandle = int;
constexpr FileHandle kInvalidFile = -1;

// Opens an existing regular file for reading; a folder fails with EISDIR,
// a pipe, device or socket with ENOTSUP, without waiting.
[[nodiscard]] bool file_open_read(const std::filesystem::path& path, FileHandle& handle);
// Creates or truncates.
[[nodiscard]] bool file_open_write(const std::filesystem::path& path, FileHandle& handle);
// Exactly count bytes, or failure (also at the end of the file).
[[nodiscard]] bool file_read(FileHandle handle, void* buffer, size_t count);
// Up to count bytes; returns how many arrived (0 at the end of the file or on
// an error). For read-ahead buffers that must not fail on a file's last bytes.
[[nodiscard]] size_t file_read_available(FileHandle handle, void* buffer, size_t count);
[[nodiscard]] bool file_write(FileHandle handle, const void* buffer, size_t count);
bool file_close(FileHandle handle);
// Absolute position from the file's start.
[[nodiscard]] bool file_seek(FileHandle handle, uint32_t position);
// 0xFFFFFFFF on failure.
uint32_t file_tell(FileHandle handle);
// Low 32 bits of the length; 0xFFFFFFFF on failure.
uint32_t file_size(FileHandle handle);
// Flushes to the device. Files that cannot be synchronised (devices, pipes)
// count as flushed.
bool file_flush(FileHandle handle);
// Deletes a regular file (or a symbolic link); never a folder or a device node.
bool file_delete(const std::filesystem::path& path);
// Puts a finished file in its place: flushes `written` to the device, renames
// it to `final` (replacing an older file of that name in one step) and
// flushes the folder, so that after a crash either the old file or the whole
// new one is there. Refuses to replace anything but a regular file or a link.
// On failure errno tells why and `written` is left as it was.
[[nodiscard]] bool file_commit(const std::filesystem::path& written,
                               const std::filesystem::path& final);

}  // namespace tonvelo
