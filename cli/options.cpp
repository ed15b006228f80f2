#include "cli/options.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "audio/audio_libraries.h"
#include "pipeline/catalogue.h"

namespace tonvelo {

namespace {

enum class Option {
  kFormat,
  kMp3,
  kWav,
  kFlac,
  kPrefix,
  kOutputDir,
  kRate,
  kVelocityProfile,
  kSynthPedaling,
  kSustainOffset,
  kDiagnostic,
  kDiscard,
  kSeed,
  kJobs,
  kListFormats,
  kHelp,
  kVersion,
};

struct OptionInfo {
  const char* name;
  Option option;
  bool takesValue;
};

// clang-format off
constexpr std::array<OptionInfo, 17> kOptions{{
  //  name                 option                     value
  {"--format",           Option::kFormat,           true},
  {"--mp3",              Option::kMp3,              false},
  {"--wav",              Option::kWav,              false},
  {"--flac",             Option::kFlac,             false},
  {"--prefix",           Option::kPrefix,           false},
  {"--output-dir",       Option::kOutputDir,        true},
  {"--rate",             Option::kRate,             true},
  {"--velocity-profile", Option::kVelocityProfile,  true},
  {"--synth-pedaling",   Option::kSynthPedaling,    false},
  {"--sustain-offset",   Option::kSustainOffset,    true},
  {"--diagnostic",       Option::kDiagnostic,       false},
  {"--discard",          Option::kDiscard,          false},
  {"--seed",             Option::kSeed,             true},
  {"--jobs",             Option::kJobs,             true},
  {"--list-formats",     Option::kListFormats,      false},
  {"--help",             Option::kHelp,             false},
  {"--version",          Option::kVersion,          false},
}};
// clang-format on

const OptionInfo* FindOption(std::string_view name) {
  for (const OptionInfo& info : kOptions) {
    if (name == info.name) return &info;
  }
  return nullptr;
}

// Decimal integer with an optional sign; false for anything else or for a
// value too long to be meaningful here.
bool ParseInt(std::string_view text, int& value) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 9) return false;
  int v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  value = negative ? -v : v;
  return true;
}

bool ApplyValue(Option option, const std::string& value, CliOptions& options, std::string& error) {
  ConversionSettings& s = options.settings;
  int number = 0;
  switch (option) {
    case Option::kFormat:
      if (!ParseFormat(value, s.outputFormat)) {
        error = "unknown format '" + value + "' (see --list-formats)";
        return false;
      }
      return true;
    case Option::kOutputDir:
      if (value.empty()) {
        error = "--output-dir needs a folder";
        return false;
      }
      s.outputPathMode = 1;
      s.customOutputFolder = value;
      return true;
    case Option::kRate:
      if (ParseInt(value, number) && value[0] != '-' && value[0] != '+' &&
          (number == static_cast<int>(kSampleRate44100) ||
           number == static_cast<int>(kSampleRate48000))) {
        s.sampleRateChoice = number == static_cast<int>(kSampleRate48000) ? 1 : 0;
        return true;
      }
      error = "--rate must be " + std::to_string(kSampleRate44100) + " or " +
              std::to_string(kSampleRate48000) + ", not '" + value + "'";
      return false;
    case Option::kVelocityProfile:
      if (value == "full" || value == "disklavier") {
        s.velocityProfile = value == "full" ? kVelocityProfileFull : kVelocityProfileDisklavier;
        return true;
      }
      error = "--velocity-profile must be full or disklavier, not '" + value + "'";
      return false;
    case Option::kSustainOffset:
      if (ParseInt(value, number) && number >= kSustainOffsetMin && number <= kSustainOffsetMax) {
        s.sustainTimingOffset = number;
        return true;
      }
      error = "--sustain-offset must be a whole number from " + std::to_string(kSustainOffsetMin) +
              " to " + std::to_string(kSustainOffsetMax) + ", not '" + value + "'";
      return false;
    case Option::kSeed:
      if (ParseInt(value, number) && number >= 0) {
        options.seed = static_cast<uint32_t>(number);
        return true;
      }
      error = "--seed must be a whole number from 0 to 999999999, not '" + value + "'";
      return false;
    case Option::kJobs:
      if (ParseInt(value, number) && number >= 1 && number <= kMaxJobs) {
        options.jobs = static_cast<unsigned>(number);
        return true;
      }
      error = "--jobs must be a whole number from 1 to " + std::to_string(kMaxJobs) + ", not '" +
              value + "'";
      return false;
    default:
      return true;
  }
}

void ApplyFlag(Option option, CliOptions& options) {
  ConversionSettings& s = options.settings;
  switch (option) {
    case Option::kMp3:
      s.audioFileType = kAudioFileMp3;
      break;
    case Option::kWav:
      s.audioFileType = kAudioFileWav;
      break;
    case Option::kFlac:
      s.audioFileType = kAudioFileFlac;
      break;
    case Option::kPrefix:
      s.prependFormatKey = 1;
      break;
    case Option::kSynthPedaling:
      s.synthPropPedaling = 1;
      break;
    case Option::kDiagnostic:
      options.diagnosticOutput = true;
      break;
    case Option::kDiscard:
      options.discardOutput = true;
      break;
    case Option::kListFormats:
      options.listFormats = true;
      break;
    case Option::kHelp:
      options.help = true;
      break;
    case Option::kVersion:
      options.version = true;
      break;
    default:
      break;
  }
}

}  // namespace

bool ParseFormat(const std::string& text, int& formatId) {
  int id = 0;
  const FormatInfo* format = nullptr;
  if (!text.empty() && text[0] >= '0' && text[0] <= '9' && ParseInt(text, id)) {
    format = FindFormatById(id);
  } else {
    format = FindFormatByKey(text);
  }
  if (format == nullptr) return false;
  formatId = format->id;
  return true;
}

bool ParseArguments(const std::vector<std::string>& args, CliOptions& options, std::string& error) {
  bool optionsEnded = false;
  // "convert" is the default command and may be named; a music file of that
  // name is given as "./convert".
  const size_t first = !args.empty() && args[0] == "convert" ? 1 : 0;
  for (size_t i = first; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      options.paths.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    // Both "--rate 48000" and "--rate=48000".
    const size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    const OptionInfo* info = arg.compare(0, 2, "--") == 0 ? FindOption(name) : nullptr;
    if (info == nullptr) {
      error = "unknown option '" + name + "'";
      return false;
    }
    if (!info->takesValue) {
      if (equals != std::string::npos) {
        error = "option '" + name + "' takes no value";
        return false;
      }
      ApplyFlag(info->option, options);
      continue;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (i + 1 < args.size()) {
      value = args[++i];
    } else {
      error = "option '" + name + "' needs a value";
      return false;
    }
    if (!ApplyValue(info->option, value, options, error)) return false;
  }
  return true;
}

std::string UsageText() {
  return "Usage: tonvelo [convert] [options] PATH...\n"
         "       tonvelo verify [--against SONG] TRACK...\n"
         "       tonvelo decode [-o OUT.mid|OUT.pc] TRACK\n"
         "\n"
         "Commands:\n"
         "  convert   convert music files (MIDI, ESEQ, Pianocorder) into player-piano audio\n"
         "            tracks; the default command\n"
         "  verify    read tracks back and report what their data signal carries\n"
         "  decode    recover the music of a track as a Standard MIDI File\n"
         "\n"
         "PATH is a music file or a folder; folders are searched recursively for\n"
         "*.mid, *.fil, *.esq, *.evt and *.pc files.\n"
         "\n"
         "Options of convert:\n"
         "  --format KEY|ID          output format (default lx); see --list-formats\n"
         "  --wav, --mp3, --flac     output file type (default WAV; FLAC is lossless\n"
         "                           and about half the size)\n"
         "  --prefix                 start output names with the format key\n"
         "  --output-dir DIR         write into DIR, mirroring searched folders\n"
         "                           (default: beside each source)\n"
         "  --rate 44100|48000       output sample rate (default 44100)\n"
         "  --velocity-profile full|disklavier\n"
         "                           velocity range the sources use (default full)\n"
         "  --synth-pedaling         always synthesise proportional pedaling\n"
         "  --sustain-offset N       sustain timing offset, -200..200 (default 0)\n"
         "  --diagnostic             write diagnostic side files\n"
         "  --discard                compute everything, write no audio\n"
         "                           (LX family: write the byte stream to a .bit file)\n"
         "  --seed N                 LX scrambler seed, for reproducible output\n"
         "                           (default: the time of day)\n"
         "  --jobs N                 convert N files at once (default: one per\n"
         "                           processor; 1 converts them one after another)\n"
         "  --list-formats           print the output formats and exit\n"
         "  --help                   print this help and exit\n"
         "  --version                print the version and exit\n"
         "\n"
         "The last lines count the files converted, failed and skipped and name\n"
         "those that failed. The exit status is 0 when every file converted, else\n"
         "the first failing file's result: 2 cancelled, 3 a source could not be\n"
         "read, 4 an output could not be written, 5 out of memory, 6 data\n"
         "formatting error; 64 a usage error.\n"
         "\n"
         "verify reads WAV, FLAC or MP3 tracks of every format back and reports, per\n"
         "track, the format, rate, data channel, span of the data, messages and errors\n"
         "with their times and the notes found; --against compares the notes and\n"
         "pedals with the song's under the format's rules. decode writes the track's\n"
         "music as a MIDI file (default: the track's name with .mid, never over an\n"
         "existing file), or a Pianocorder track's frames as a Pianocorder data file\n"
         "when OUT ends in .pc. Both exit 0 only when every track decoded without an\n"
         "error, else 3 (unreadable) or 6 (data).\n"
         "  tonvelo verify --against song.mid disklavier_song.wav\n"
         "  tonvelo decode -o recovered.mid cd_track_01.wav\n"
         "  tonvelo decode -o song.pc pianocorder_song.wav\n";
}

std::string VersionText() {
  return std::string("tonvelo ") + TONVELO_VERSION + "\n" + audio_library_versions() + "\n";
}

std::string FormatListText() {
  std::string text;
  for (const FormatInfo& row : kFormatCatalogue) {
    if (row.displayName == nullptr) break;
    char line[256];
    std::snprintf(line, sizeof line, "%2d  %-16s  %s\n", row.id, row.key, row.displayName);
    text += line;
  }
  return text;
}

}  // namespace tonvelo
