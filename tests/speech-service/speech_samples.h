// Synthetic speech for smoke tests: flite's slt voice (recognised far better
// than espeak-ng's) turned into 16 kHz mono float samples with the ffmpeg
// command-line tool.
#pragma once

#include <string>
#include <vector>

namespace tavrin::testing {

// Speaks `text` into a WAV file at `wavPath` (16 kHz, as flite makes it).
// Returns false when flite fails.
bool synthesizeSpeech(const std::string& text, const std::string& wavPath);

// Runs the ffmpeg command-line tool with `args` (after "-loglevel error -y").
bool runFfmpeg(const std::vector<std::string>& args);

// Samples of a media file as 16 kHz mono float32, via the ffmpeg tool, with
// `padSeconds` of silence before and after.
std::vector<float> decodeWithFfmpegTool(const std::string& path, double padSeconds = 0);

// Lower-case words of a text, without punctuation.
std::vector<std::string> wordsOf(const std::string& text);

// Fraction of the reference words found by a word-level alignment
// (1 − substitutions+deletions over reference length; insertions ignored).
double wordRecall(const std::string& reference, const std::string& hypothesis);

// Word error rate: (substitutions + deletions + insertions) / reference words.
double wordErrorRate(const std::string& reference, const std::string& hypothesis);

}  // namespace tavrin::testing
