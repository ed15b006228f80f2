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

[[nodiscard]] bool file_open_read(const std::filesystem::path& path, FileHandle& handle);
// Creates or truncates.
[[nodiscard]] bool file_open_write(const std::filesystem::path& path, FileHandle& handle);
[[nodiscard]] bool file_read(FileHandle handle, void* buffer, size_t count);
[[nodiscard]] bool file_write(FileHandle handle, const void* buffer, size_t count);
bool file_close(FileHandle handle);
[[nodiscard]] bool file_seek(FileHandle handle, uint32_t position);
uint32_t file_tell(FileHandle handle);
uint32_t file_size(FileHandle handle);
bool file_flush(FileHandle handle);
bool file_delete(const std::filesystem::path& path);

}  // namespace tonvelo
