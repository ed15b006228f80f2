// `tonvelo verify` and `tonvelo decode` through the built binary: a song made
// into tracks of four formats (through WAV, MP3 and FLAC) is reported and
// compared; the MIDI file that decode writes, read by mido, holds the notes
// and pedals that verify counts; a Pianocorder track's frames written as a
// .pc file load back as the frames decoded; a music-only track fails with "no
// data signal".

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "decoders/pianocorder_decoder.h"
#include "pipeline/track_check.h"
#include "readers/pianocorder_source.h"
#include "tests/support/midi_builder.h"
#include "tests/support/wav_builder.h"

namespace tonvelo {
namespace {

namespace fs = std::filesystem;

// Runs a shell line; returns its exit status and stdout.
int Shell(const std::string& line, std::string& out) {
  out.clear();
  FILE* p = ::popen(line.c_str(), "r");
  char buf[512];
  while (p && std::fgets(buf, sizeof buf, p)) out += buf;
  const int status = p ? ::pclose(p) : -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(VerifyCommand, ReportsComparesAndDecodesToMidiThatMidoReads) {
  const fs::path dir = fs::temp_directory_path() / ("tonvelo_verify_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  test::MidiBuilder midi(0, 480);
  auto& t = midi.AddTrack().Tempo(0, 500000).Control(0, 0, 64, 127);
  for (int k = 0; k < 12; ++k) t.NoteOn(k ? 120 : 0, 0, 60 + k, 50 + 5 * k).NoteOff(120, 0, 60 + k);
  t.Control(0, 0, 64, 0).End();
  midi.Write(dir / "song.mid");
  std::vector<int16_t> music;
  for (int n = 0; n < 44100 * 2; ++n)
    music.insert(music.end(), {int16_t(n * 37 % 9000), int16_t(n * 53 % 7000)});
  test::WriteBytes(dir / "music.wav", test::BuildWav16(44100, 2, music));
  const std::string cli = "cd '" + dir.string() + "' && '" TONVELO_CLI_PATH "' ";
  std::string out;
  ASSERT_EQ(Shell(cli + "--format disklavier --prefix song.mid 2>&1", out), 0) << out;
  ASSERT_EQ(Shell(cli + "convert --format pianomation --mp3 --prefix song.mid 2>&1", out), 0)
      << out;
  ASSERT_EQ(Shell(cli + "--format cc3b --flac --prefix song.mid && " + cli +
                      "--format spirio --seed 1 --prefix song.mid 2>&1",
                  out),
            0)
      << out;
  // Twins are named together; a signal starting on the first sample starts at 0.
  ASSERT_EQ(Shell(cli + "verify --against song.mid cc3b_song.flac spirio_song.wav", out), 0) << out;
  EXPECT_NE(out.find("(Ampico B) (id 10 or 11), 44100 Hz, data on the left channel\n  data from "
                     "0.000 s"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("(Silver) (id 0 or 9), 44100 Hz, data on the right channel\n  data from "
                     "0.000 s"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("differ"), std::string::npos) << out;

  ASSERT_EQ(Shell(cli + "verify --against song.mid disklavier_song.wav pianomation_song.mp3", out),
            0);
  EXPECT_NE(out.find("disklavier_song.wav: Yamaha Disklavier (PianoSoft Plus Audio) (id 8), "
                     "44100 Hz, data on the right channel\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("0 errors, 12 notes\n  against song.mid: agree, 26 of 26 notes and pedals"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("(id 7), 44100 Hz, data on the left channel"), std::string::npos) << out;
  EXPECT_EQ(Shell(cli + "verify music.wav disklavier_song.wav", out), 6);
  EXPECT_EQ(out.substr(0, out.find('\n')), "music.wav: 44100 Hz, no data signal");
  EXPECT_EQ(Shell(cli + "verify --against 2>&1", out), 64);
  EXPECT_EQ(out, "tonvelo: option '--against' needs a value (see tonvelo --help)\n");
  EXPECT_EQ(Shell(cli + "decode disklavier_song.wav 2>&1", out), 0);  // beside it, as .mid
  EXPECT_TRUE(fs::exists(dir / "disklavier_song.mid"));
  EXPECT_EQ(Shell(cli + "decode disklavier_song.wav 2>&1", out), 64);  // never over a file

  ASSERT_EQ(Shell(cli + "decode -o back.mid pianomation_song.mp3 2>&1", out), 0) << out;
  const char* python = std::getenv("TONVELO_PYTHON");
  const std::string script =
      "import mido\n"
      "m = mido.MidiFile('back.mid')\n"
      "notes = [(e.note, e.velocity) for e in m.tracks[0] if e.type == 'note_on' and e.velocity]\n"
      "pedals = [e.value for e in m.tracks[0] if e.type == 'control_change' and e.control == 64]\n"
      "print(len(notes), notes[0], notes[-1], pedals)\n";
  ASSERT_EQ(Shell("cd '" + dir.string() + "' && " + (python ? python : "python3") + " -c \"" +
                      script + "\"",
                  out),
            0);
  // Velocities 50 and 105 come back as the middle of their 4-bit codes.
  EXPECT_EQ(out, "12 (60, 52) (71, 108) [127, 0]\n");

  ASSERT_EQ(Shell(cli + "--format pianocorder --prefix song.mid 2>&1", out), 0) << out;
  ASSERT_EQ(Shell(cli + "decode -o back.pc pianocorder_song.wav 2>&1", out), 0) << out;
  TrackAudio audio;
  std::string error;
  ASSERT_TRUE(LoadTrack(dir / "pianocorder_song.wav", audio, error)) << error;
  DecodedFrames frames;
  (void)DecodePianocorder(audio.right.data(), audio.right.size(), audio.sampleRateHz, &frames);
  PianocorderSource pc;
  ASSERT_EQ(LoadPianocorderSource(dir / "back.pc", pc), OpenResult::kOpened);
  EXPECT_EQ(pc->speed, 4500);
  ASSERT_EQ(pc->frameCount, frames.frames.size());
  ASSERT_GT(pc->frameCount, 100u);
  for (uint32_t i = 0; i < pc->frameCount; ++i) {
    ASSERT_TRUE(std::equal(frames.frames[i].bytes, frames.frames[i].bytes + 16, pc->Frame(i))) << i;
  }
  EXPECT_EQ(Shell(cli + "decode -o no.pc disklavier_song.wav 2>&1", out), 6);
  EXPECT_EQ(out,
            "error: 'disklavier_song.wav' is not a Pianocorder track (it carries Yamaha "
            "Disklavier (PianoSoft Plus Audio) (id 8)); only Pianocorder frames can be written "
            "as .pc\n");
  EXPECT_FALSE(fs::exists(dir / "no.pc"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tonvelo
