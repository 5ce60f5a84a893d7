#include "speech-service/whisper/testmodel/whisper_testmodel.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace tavrin::speech::testmodel {
namespace {

// xorshift64*: fast, reproducible from the seed.
class Random {
 public:
  explicit Random(uint32_t seed) : state_(0x9E3779B97F4A7C15ull ^ seed) {}
  // Uniform in [-1, 1).
  float next() {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    const uint64_t r = state_ * 0x2545F4914F6CDD1Dull;
    return static_cast<float>(r >> 40) / static_cast<float>(1 << 23) - 1.0f;
  }

 private:
  uint64_t state_;
};

// IEEE half precision, rounded toward zero; enough for random weights.
uint16_t toHalf(float value) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const uint32_t sign = (bits >> 16) & 0x8000u;
  const int exponent = static_cast<int>((bits >> 23) & 0xFF) - 127 + 15;
  if (exponent <= 0) return static_cast<uint16_t>(sign);
  if (exponent >= 31) return static_cast<uint16_t>(sign | 0x7BFFu);
  return static_cast<uint16_t>(sign | (static_cast<uint32_t>(exponent) << 10) | ((bits >> 13) & 0x3FFu));
}

class Writer {
 public:
  explicit Writer(const std::string& path) : out_(path, std::ios::binary | std::ios::trunc), path_(path) {
    if (!out_) throw std::runtime_error("cannot write " + path);
  }
  void int32(int32_t v) { out_.write(reinterpret_cast<const char*>(&v), sizeof v); }
  void bytes(const void* p, size_t n) { out_.write(static_cast<const char*>(p), static_cast<std::streamsize>(n)); }
  void close() {
    out_.close();
    if (!out_) throw std::runtime_error("cannot write " + path_);
  }

 private:
  std::ofstream out_;
  std::string path_;
};

// A short ASCII piece for text token `id`: a blank and letters from the id;
// 220 is the blank itself, as in the published vocabularies (the decoder
// needs it).
std::string tokenText(int id) {
  std::string text = " ";
  if (id == 220) return text;
  do {
    text.push_back(static_cast<char>('a' + id % 26));
    id /= 26;
  } while (id > 0);
  return text;
}

}  // namespace

WhisperHparams whisperTestHparams(WhisperSize size, bool multilingual) {
  const bool tiny = size == WhisperSize::kTiny;
  WhisperHparams h;
  h.nVocab = multilingual ? WhisperHparams::kEnglishVocab + 1 : WhisperHparams::kEnglishVocab;
  h.nAudioCtx = 1500;
  h.nAudioState = tiny ? 384 : 512;
  h.nAudioHead = tiny ? 6 : 8;
  h.nAudioLayer = tiny ? 4 : 6;
  h.nTextCtx = 448;
  h.nTextState = h.nAudioState;
  h.nTextHead = h.nAudioHead;
  h.nTextLayer = h.nAudioLayer;
  h.nMels = 80;
  h.ftype = 1;  // F16
  return h;
}

WhisperHparams whisperMicroHparams() {
  WhisperHparams h = whisperTestHparams(WhisperSize::kTiny, false);
  h.nAudioCtx = 4;
  h.nAudioState = h.nTextState = 8;
  h.nAudioHead = h.nTextHead = 1;
  h.nAudioLayer = h.nTextLayer = 1;
  h.nTextCtx = 4;
  return h;
}

void writeWhisperTestModel(const std::string& path, const WhisperTestModel& model) {
  const WhisperHparams& h = model.hparams;
  Random random(model.seed);
  Writer out(path);
  out.int32(0x67676d6c);
  for (int32_t v : {h.nVocab, h.nAudioCtx, h.nAudioState, h.nAudioHead, h.nAudioLayer, h.nTextCtx, h.nTextState,
                    h.nTextHead, h.nTextLayer, h.nMels, h.ftype}) {
    out.int32(v);
  }
  // Mel filters: small positive weights.
  constexpr int32_t kFftBins = 201;
  out.int32(h.nMels);
  out.int32(kFftBins);
  std::vector<float> filters(static_cast<size_t>(h.nMels) * kFftBins);
  for (float& f : filters) f = 0.01f * (random.next() + 1.0f);
  out.bytes(filters.data(), filters.size() * sizeof(float));
  // Text tokens only; the engine names the special tokens after them itself.
  const int32_t endOfText = h.multilingual() ? 50257 : 50256;
  out.int32(endOfText);
  for (int32_t id = 0; id < endOfText; ++id) {
    const std::string text = tokenText(id);
    out.int32(static_cast<int32_t>(text.size()));
    out.bytes(text.data(), text.size());
  }
  // The decoder's output bias points along this direction; the end-of-text
  // embedding is pushed along it by endBias.
  std::vector<float> direction(static_cast<size_t>(h.nTextState));
  for (float& d : direction) d = random.next() < 0 ? -1.0f : 1.0f;
  const std::optional<std::vector<WhisperTensorLayout>> tensors = whisperTensors(h);
  if (!tensors) throw std::runtime_error("no tensor list for these hyper-parameters");
  std::vector<uint16_t> halves;
  std::vector<float> floats;
  for (const WhisperTensorLayout& t : *tensors) {
    size_t elements = 1;
    for (int32_t e : t.extents) elements *= static_cast<size_t>(e);
    out.int32(static_cast<int32_t>(t.extents.size()));
    out.int32(static_cast<int32_t>(t.name.size()));
    out.int32(t.type);
    for (int32_t e : t.extents) out.int32(e);
    out.bytes(t.name.data(), t.name.size());
    const bool gain = t.name.ends_with("ln.weight") || t.name.ends_with("ln_post.weight");
    const bool outputBias = t.name == "decoder.ln.bias";
    if (t.type == 1) {
      halves.resize(elements);
      for (uint16_t& v : halves) v = toHalf(0.05f * random.next());
      if (t.name == "decoder.token_embedding.weight" && model.endBias != 0.0f) {
        const size_t row = static_cast<size_t>(endOfText) * static_cast<size_t>(h.nTextState);
        for (size_t i = 0; i < direction.size(); ++i) halves[row + i] = toHalf(model.endBias * direction[i] / 100.0f);
      }
      out.bytes(halves.data(), halves.size() * sizeof(uint16_t));
    } else {
      floats.resize(elements);
      for (size_t i = 0; i < elements; ++i) {
        floats[i] = gain                                  ? 1.0f
                    : outputBias && model.endBias != 0.0f ? direction[i % direction.size()]
                                                          : 0.02f * random.next();
      }
      out.bytes(floats.data(), floats.size() * sizeof(float));
    }
  }
  out.close();
}

}  // namespace tavrin::speech::testmodel
