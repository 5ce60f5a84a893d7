// Synthetic speech and media for tests: flite's slt voice (recognised far
// better than espeak-ng's) and the ffmpeg command-line tool, as 16 kHz mono
// float samples.
#pragma once

#include <cstring>
#include <string>
#include <vector>

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

// The samples of raw 32-bit float bytes (native order), and back.
inline std::vector<float> samplesOf(const std::string& bytes) {
  std::vector<float> samples(bytes.size() / 4);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
  return samples;
}
inline std::string rawBytes(const std::vector<float>& samples) {
  std::string bytes(samples.size() * 4, '\0');
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

// Samples of a media file as 16 kHz mono, decoded by the ffmpeg tool; empty
// when it fails.
inline std::vector<float> decodeWithFfmpegTool(const std::string& path) {
  TempDir dir;
  if (!runFfmpeg({"-i", path, "-ac", "1", "-ar", "16000", "-f", "f32le", dir.file("out.f32")})) return {};
  return samplesOf(readFile(dir.file("out.f32")));
}

// `text` spoken by flite, as 16 kHz mono samples.
inline std::vector<float> spokenSamples(const std::string& text) {
  TempDir dir;
  if (!synthesizeSpeech(text, dir.file("s.wav"))) return {};
  return decodeWithFfmpegTool(dir.file("s.wav"));
}

}  // namespace tavrin::testing
