// Writes Whisper models in whisper.cpp's ggml format with random weights, of
// the tiny and base sizes, with the English-only or the multilingual
// vocabulary size: the engine loads and runs them like downloaded models, at
// the same speed, so tests and benchmarks exercise the real loading and
// decoding code. What they transcribe is noise.
//
// The tensor list is the one the engine's loader expects (whisperTensors);
// weights are F16 like the published models, layer-norm gains 1 and biases
// small. The vocabulary's text tokens are short ASCII pieces, so whatever
// the model says is valid UTF-8.
#pragma once

#include <cstdint>
#include <string>

#include "speech-service/whisper/whisper_model.h"

namespace tavrin::speech::testmodel {

enum class WhisperSize { kTiny, kBase };

struct WhisperTestModel {
  WhisperHparams hparams;  // any the engine accepts; the sizes below are the usual ones
  uint32_t seed = 1;
  // Added to the end-of-text token's embedding along the decoder's output
  // bias, so that decoding stops after a few tokens instead of running to
  // the context's end (0: plain random weights).
  float endBias = 0.0f;
};

// The published models' hyper-parameters for `size` (F16 weights).
WhisperHparams whisperTestHparams(WhisperSize size, bool multilingual);
// Hyper-parameters the engine accepts with the fewest bytes (about 1.5 MB,
// nearly all vocabulary): for tests of the file itself.
WhisperHparams whisperMicroHparams();

// Writes the model to `path`. Throws std::runtime_error when it cannot.
void writeWhisperTestModel(const std::string& path, const WhisperTestModel& model);

}  // namespace tavrin::speech::testmodel
