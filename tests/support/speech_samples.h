// Synthetic speech for smoke tests: flite's slt voice (recognised far better
// than espeak-ng's) turned into 16 kHz mono float samples with the ffmpeg
// command-line tool, and raw sample files of them.
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

// Samples of a media file as 16 kHz mono float32, with `padSeconds` of
// silence before and after; empty when ffmpeg fails.
inline std::vector<float> decodeWithFfmpegTool(const std::string& path, double padSeconds = 0) {
  TempDir dir;
  std::vector<std::string> args = {"-i", path};
  if (padSeconds > 0) {
    const std::string ms = std::to_string(static_cast<int>(padSeconds * 1000));
    args.insert(args.end(), {"-af", "adelay=" + ms + ",apad=pad_dur=" + std::to_string(padSeconds)});
  }
  args.insert(args.end(), {"-ac", "1", "-ar", "16000", "-f", "f32le", dir.file("out.f32")});
  if (!runFfmpeg(args)) return {};
  const std::string bytes = readFile(dir.file("out.f32"));
  std::vector<float> samples(bytes.size() / 4);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 4);
  return samples;
}

// `text` spoken by flite, as 16 kHz mono samples.
inline std::vector<float> spokenSamples(const std::string& text) {
  TempDir dir;
  if (!synthesizeSpeech(text, dir.file("s.wav"))) return {};
  return decodeWithFfmpegTool(dir.file("s.wav"));
}

// The bytes of a raw sample file (32-bit float, native order) holding `samples`.
inline std::string rawBytes(const std::vector<float>& samples) {
  std::string bytes(samples.size() * 4, '\0');
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

}  // namespace tavrin::testing
