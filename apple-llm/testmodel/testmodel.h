// Writes llama-architecture GGUF models with random weights: tiny ones for
// tests and the demo, realistic-sized ones for benchmarks. Speed does not
// depend on the weights' values, and constrained output has the record's
// shape whatever they are.
//
// The vocabulary is SentencePiece-style: <unk>, <s>, </s>, the chat markers
// <|im_start|> and <|im_end|> (the end-of-turn token), one byte token for
// each of the 256 bytes, then `extraTokens` made-up word pieces. The model
// carries a ChatML chat template.
#pragma once

#include <cstdint>
#include <string>

namespace tavrin::llm::testmodel {

enum class WeightType { kF32, kQ8_0, kQ4_0 };

struct Shape {
  int embedding = 64;
  int layers = 2;
  int feedForward = 128;
  int heads = 4;
  int kvHeads = 4;
  int extraTokens = 0;
  int contextLength = 4096;
  WeightType weights = WeightType::kF32;
  uint32_t seed = 1;
  // Added to the logits of the '"' and ']' byte tokens (before temperature),
  // so that generated strings and lists end after a few items instead of
  // running on.
  float quoteBias = 0.0f;
  float listEndBias = 0.0f;
  // Models a helper must refuse: another chat template (empty: ChatML), no
  // byte tokens for 0xF0-0xFF, the lead bytes of emoji and other 4-byte
  // characters (normal tokens "[F0]".."[FF]" instead).
  std::string chatTemplate;
  bool leadByteTokens = true;
};

// A model of a few hundred kilobytes whose strings close quickly.
Shape tinyShape();
// About half a billion parameters, quantized to 8 bits, 32k vocabulary.
Shape benchShape();

// Throws std::runtime_error when the file cannot be written.
void writeModel(const std::string& path, const Shape& shape);

// A GGUF header that declares a tiny model's metadata and one tensor of
// `declaredBytes`, without any tensor data: a model too large for any
// machine this runs on, in a file of a few kilobytes.
void writeOversizedHeader(const std::string& path, uint64_t declaredBytes);

}  // namespace tavrin::llm::testmodel
