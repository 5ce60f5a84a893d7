// Synthetic speech (flite's slt voice, recognised far better than espeak-ng's) and media (the
// ffmpeg tool) for tests, as 16 kHz mono float samples.
#pragma once

#include <string>
#include <vector>

#include "tests/support/samples.h"
#include "tests/support/subprocess.h"

namespace tavrin::testing {

// Runs the ffmpeg command-line tool with `args` (after "-loglevel error -y").
inline bool runFfmpeg(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"/usr/bin/ffmpeg", "-nostdin", "-loglevel", "error", "-y"};
  argv.insert(argv.end(), args.begin(), args.end());
  return runProcess(argv, ProcessOptions{{}, {}, {}, std::chrono::seconds(300)}).exitStatus == 0;
}

// Speaks `text` into a WAV file at `wavPath` (16 kHz). False when flite fails.
inline bool synthesizeSpeech(const std::string& text, const std::string& wavPath) {
  return runProcess({"/usr/bin/flite", "-voice", "slt", "-t", text, "-o", wavPath}).exitStatus == 0;
}

// A media file as 16 kHz mono, decoded by the ffmpeg tool; empty when it fails.
inline std::vector<float> decodeWithFfmpegTool(const std::string& path) {
  TempDir dir;
  if (!runFfmpeg({"-i", path, "-ac", "1", "-ar", "16000", "-f", "f32le", dir.file("out.f32")})) return {};
  return floatSamples(readFile(dir.file("out.f32")));
}

// `text` spoken by flite, as 16 kHz mono samples.
inline std::vector<float> spokenSamples(const std::string& text) {
  TempDir dir;
  if (!synthesizeSpeech(text, dir.file("s.wav"))) return {};
  return decodeWithFfmpegTool(dir.file("s.wav"));
}

}  // namespace tavrin::testing
