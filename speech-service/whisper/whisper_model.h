// Whisper models in whisper.cpp's ggml file format: what a file says about
// itself, whether it is whole, and where the installed ones are.
//
// File layout (all integers little-endian 32-bit):
//   magic "ggml" (0x67676d6c)
//   hyper-parameters: n_vocab, n_audio_ctx, n_audio_state, n_audio_head,
//     n_audio_layer, n_text_ctx, n_text_state, n_text_head, n_text_layer,
//     n_mels, ftype
//   mel filters: n_mel, n_fft, then n_mel × n_fft floats
//   vocabulary: a count, then per token a byte length and the bytes
//   tensors to the end of the file: n_dims, name length, type, n_dims
//     extents, the name, the data
//
// Nothing here loads the engine: these are reads of the file itself, so a
// damaged file is reported by us, in one line, before the engine sees it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "speech-service/models/model_catalog.h"

namespace tavrin::speech {

struct WhisperHparams {
  int32_t nVocab = 0;
  int32_t nAudioCtx = 0;
  int32_t nAudioState = 0;
  int32_t nAudioHead = 0;
  int32_t nAudioLayer = 0;
  int32_t nTextCtx = 0;
  int32_t nTextState = 0;
  int32_t nTextHead = 0;
  int32_t nTextLayer = 0;
  int32_t nMels = 0;
  int32_t ftype = 0;  // weight type (ggml_ftype), plus 1000 × quantisation version

  // whisper.cpp's own rule: the English-only vocabulary has 51 864 tokens,
  // the multilingual ones more (51 865, or 51 866 with 100 languages).
  bool multilingual() const { return nVocab >= kEnglishVocab + 1; }
  static constexpr int32_t kEnglishVocab = 51864;
};

// The ggml tensor types a Whisper file may hold (ggml_type numbering).
enum class WhisperTensorType : int32_t {
  kF32 = 0,
  kF16 = 1,
  kQ4_0 = 2,
  kQ4_1 = 3,
  kQ5_0 = 6,
  kQ5_1 = 7,
  kQ8_0 = 8,
  kQ2_K = 10,
  kQ3_K = 11,
  kQ4_K = 12,
  kQ5_K = 13,
  kQ6_K = 14,
  kBF16 = 30,
};

// Bytes of `elements` elements of ggml type `type` (a whole number of
// blocks); nothing for a type this format does not use, or a count that is
// not a whole number of its blocks.
std::optional<uint64_t> whisperTensorBytes(int32_t type, uint64_t elements);

// One tensor the engine's loader expects: name, extents (ne0 first) and type.
struct WhisperTensorLayout {
  std::string name;
  std::vector<int32_t> extents;
  int32_t type = 0;
};

// Every tensor whisper.cpp's loader makes for these hyper-parameters, in its
// order (encoder, then decoder, each layer's tensors together). Nothing when
// the weight type is one the loader rejects.
std::optional<std::vector<WhisperTensorLayout>> whisperTensors(const WhisperHparams& hparams);

// The hyper-parameters at the start of `path`; nothing when the file cannot
// be read or does not start with the ggml magic (it is not a ggml model).
std::optional<WhisperHparams> readWhisperHparams(const std::string& path);

// Why the file at `path` is not a whole Whisper model: hyper-parameters out
// of the engine's range, a mel-filter, vocabulary or tensor table that runs
// past the end of the file, a vocabulary without the blank token the
// decoder needs, a tensor the engine does not know, misses or has
// twice, a tensor of the wrong shape or type, bytes after the last tensor.
// Reads the tables, skips the data. Nothing when the file is whole.
std::optional<std::string> whisperModelDamage(const std::string& path);

// An installed Whisper model.
struct WhisperModel {
  std::string path;
  bool multilingual = false;
};

// The Whisper models under <data dir>/tavrin/speech/whisper/*.bin, for the
// data dirs of `paths` in order ($XDG_DATA_HOME first), each directory's
// files in name order. A file that does not start with the ggml magic is not
// a model and is passed over; one that does is listed by what its header
// says and checked whole only when it is used.
std::vector<WhisperModel> findWhisperModels(const ModelSearchPaths& paths);

}  // namespace tavrin::speech
