#pragma once
// Loading a Pianocorder data file (".pc") as the source of a conversion. Such
// a file carries finished Pianocorder frames and bypasses the music readers;
// the Pianocorder encoder replays it.

#include <filesystem>
#include <functional>
#include <memory>

namespace tonvelo {

struct PianocorderFile;  // the loaded frames, defined with the Pianocorder encoder

// Shared ownership lets the record stay opaque here while its own code frees it.
using PianocorderSource = std::shared_ptr<PianocorderFile>;
using PianocorderLoader = std::function<PianocorderSource(const std::filesystem::path&)>;

// Null when the file is missing, unreadable or not a Pianocorder data file.
// Until the Pianocorder encoder brings its file reader this loads nothing, so
// every ".pc" source is reported as not valid.
PianocorderSource LoadPianocorderSource(const std::filesystem::path& path);

}  // namespace tonvelo
