#include "speech-service/whisper/whisper_model.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

namespace tavrin::speech {
namespace {

constexpr uint32_t kGgmlMagic = 0x67676d6c;
constexpr int32_t kLargestVocab = 51866;
constexpr int32_t kMelFftBins = 201;  // 1 + 400 / 2: the engine's FFT size
constexpr int32_t kLongestToken = 1024;
constexpr int32_t kLongestTensorName = 256;

// Weight type of each file type the format uses (ggml_ftype → ggml_type).
std::optional<int32_t> weightType(int32_t ftype) {
  switch (ftype % 1000) {
    case 0: return 0;    // F32
    case 1: return 1;    // F16
    case 2: return 2;    // Q4_0
    case 3: return 3;    // Q4_1
    case 7: return 8;    // Q8_0
    case 8: return 6;    // Q5_0
    case 9: return 7;    // Q5_1
    case 10: return 10;  // Q2_K
    case 11: return 11;  // Q3_K
    case 12: return 12;  // Q4_K
    case 13: return 13;  // Q5_K
    case 14: return 14;  // Q6_K
    case 24: return 30;  // BF16
    default: return std::nullopt;
  }
}

bool headsDivide(int32_t state, int32_t heads) {
  return heads >= 1 && heads <= state && state % heads == 0;
}

bool inRange(const WhisperHparams& h) {
  return h.nVocab >= WhisperHparams::kEnglishVocab && h.nVocab <= kLargestVocab && h.nAudioCtx >= 1 &&
         h.nAudioCtx <= 1500 && h.nAudioState >= 1 && h.nAudioState <= 8192 &&
         headsDivide(h.nAudioState, h.nAudioHead) && h.nAudioLayer >= 1 && h.nAudioLayer <= 64 && h.nTextCtx >= 1 &&
         h.nTextCtx <= 448 && h.nTextState == h.nAudioState && headsDivide(h.nTextState, h.nTextHead) &&
         h.nTextLayer >= 1 && h.nTextLayer <= 64 && (h.nMels == 80 || h.nMels == 128) && h.ftype >= 0 &&
         h.ftype / 1000 <= 10;
}

// Sequential reads of a file of known size; every read past the end fails.
class FileReader {
 public:
  // Only a regular file is opened: a FIFO at a model's path would block.
  explicit FileReader(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    in_.open(path, std::ios::binary);
    size_ = static_cast<uint64_t>(st.st_size);
  }
  bool open() const { return static_cast<bool>(in_); }
  uint64_t remaining() const { return size_ - position_; }

  bool int32(int32_t& value) { return bytes(&value, sizeof value); }
  bool bytes(void* into, uint64_t n) {
    if (n > remaining()) return false;
    in_.read(static_cast<char*>(into), static_cast<std::streamsize>(n));
    if (static_cast<uint64_t>(in_.gcount()) != n) return false;
    position_ += n;
    return true;
  }
  bool skip(uint64_t n) {
    if (n > remaining()) return false;
    if (n <= sizeof scratch_) return bytes(scratch_, n);  // within the stream's buffer: no seek
    position_ += n;
    in_.seekg(static_cast<std::streamoff>(position_));
    return static_cast<bool>(in_);
  }

 private:
  std::ifstream in_;
  uint64_t size_ = 0;
  uint64_t position_ = 0;
  char scratch_[4096];
};

bool readHparams(FileReader& file, WhisperHparams& h) {
  int32_t magic = 0;
  if (!file.int32(magic) || static_cast<uint32_t>(magic) != kGgmlMagic) return false;
  for (int32_t* field : {&h.nVocab, &h.nAudioCtx, &h.nAudioState, &h.nAudioHead, &h.nAudioLayer, &h.nTextCtx,
                         &h.nTextState, &h.nTextHead, &h.nTextLayer, &h.nMels, &h.ftype}) {
    if (!file.int32(*field)) return false;
  }
  return true;
}

std::string layerName(const char* pattern, int layer) {
  char name[128];
  std::snprintf(name, sizeof name, pattern, layer);
  return name;
}

}  // namespace

std::optional<uint64_t> whisperTensorBytes(int32_t type, uint64_t elements) {
  uint64_t block = 1;
  uint64_t blockBytes = 0;
  switch (type) {
    case 0: blockBytes = 4; break;
    case 1:
    case 30: blockBytes = 2; break;
    case 2:
      block = 32;
      blockBytes = 18;
      break;
    case 3:
      block = 32;
      blockBytes = 20;
      break;
    case 6:
      block = 32;
      blockBytes = 22;
      break;
    case 7:
      block = 32;
      blockBytes = 24;
      break;
    case 8:
      block = 32;
      blockBytes = 34;
      break;
    case 10:
      block = 256;
      blockBytes = 84;
      break;
    case 11:
      block = 256;
      blockBytes = 110;
      break;
    case 12:
      block = 256;
      blockBytes = 144;
      break;
    case 13:
      block = 256;
      blockBytes = 176;
      break;
    case 14:
      block = 256;
      blockBytes = 210;
      break;
    default: return std::nullopt;
  }
  if (elements % block != 0) return std::nullopt;
  return elements / block * blockBytes;
}

std::optional<std::vector<WhisperTensorLayout>> whisperTensors(const WhisperHparams& h) {
  const std::optional<int32_t> w = weightType(h.ftype);
  if (!w) return std::nullopt;
  const int32_t f32 = 0;
  const int32_t conv = *w == 0 ? 0 : 1;  // convolutions: F32 with F32 weights, else F16
  const int32_t as = h.nAudioState;
  const int32_t ts = h.nTextState;
  std::vector<WhisperTensorLayout> t;
  t.push_back({"encoder.positional_embedding", {as, h.nAudioCtx}, f32});
  t.push_back({"encoder.conv1.weight", {3, h.nMels, as}, conv});
  t.push_back({"encoder.conv1.bias", {1, as}, f32});
  t.push_back({"encoder.conv2.weight", {3, as, as}, conv});
  t.push_back({"encoder.conv2.bias", {1, as}, f32});
  t.push_back({"encoder.ln_post.weight", {as}, f32});
  t.push_back({"encoder.ln_post.bias", {as}, f32});
  // One attention block's tensors: layer norm, query (with bias), key (none),
  // value and output (with bias).
  const auto attention = [&](const std::string& prefix, int32_t state) {
    t.push_back({prefix + "_ln.weight", {state}, f32});
    t.push_back({prefix + "_ln.bias", {state}, f32});
    t.push_back({prefix + ".query.weight", {state, state}, *w});
    t.push_back({prefix + ".query.bias", {state}, f32});
    t.push_back({prefix + ".key.weight", {state, state}, *w});
    t.push_back({prefix + ".value.weight", {state, state}, *w});
    t.push_back({prefix + ".value.bias", {state}, f32});
    t.push_back({prefix + ".out.weight", {state, state}, *w});
    t.push_back({prefix + ".out.bias", {state}, f32});
  };
  const auto mlp = [&](const std::string& block, int32_t state) {
    t.push_back({block + ".mlp_ln.weight", {state}, f32});
    t.push_back({block + ".mlp_ln.bias", {state}, f32});
    t.push_back({block + ".mlp.0.weight", {state, 4 * state}, *w});
    t.push_back({block + ".mlp.0.bias", {4 * state}, f32});
    t.push_back({block + ".mlp.2.weight", {4 * state, state}, *w});
    t.push_back({block + ".mlp.2.bias", {state}, f32});
  };
  for (int i = 0; i < h.nAudioLayer; ++i) {
    const std::string block = layerName("encoder.blocks.%d", i);
    mlp(block, as);
    attention(block + ".attn", as);
  }
  t.push_back({"decoder.positional_embedding", {ts, h.nTextCtx}, f32});
  t.push_back({"decoder.token_embedding.weight", {ts, h.nVocab}, *w});
  t.push_back({"decoder.ln.weight", {ts}, f32});
  t.push_back({"decoder.ln.bias", {ts}, f32});
  for (int i = 0; i < h.nTextLayer; ++i) {
    const std::string block = layerName("decoder.blocks.%d", i);
    mlp(block, ts);
    attention(block + ".attn", ts);
    attention(block + ".cross_attn", ts);
  }
  return t;
}

std::optional<WhisperHparams> readWhisperHparams(const std::string& path) {
  FileReader file(path);
  WhisperHparams h;
  if (!file.open() || !readHparams(file, h)) return std::nullopt;
  return h;
}

std::optional<std::string> whisperModelDamage(const std::string& path) {
  FileReader file(path);
  if (!file.open()) return "it cannot be read";
  WhisperHparams h;
  if (!readHparams(file, h)) return "it is not a ggml model file";
  if (!inRange(h)) return "its hyper-parameters are out of range";
  const std::optional<std::vector<WhisperTensorLayout>> layouts = whisperTensors(h);
  if (!layouts) return "its weight type is not supported";

  int32_t nMel = 0;
  int32_t nFft = 0;
  if (!file.int32(nMel) || !file.int32(nFft)) return "it ends early";
  if (nMel != h.nMels || nFft != kMelFftBins) return "its mel filters are malformed";
  if (!file.skip(uint64_t{4} * static_cast<uint64_t>(nMel) * static_cast<uint64_t>(nFft))) return "it ends early";

  int32_t tokens = 0;
  if (!file.int32(tokens)) return "it ends early";
  if (tokens < 0 || tokens > h.nVocab) return "its vocabulary is malformed";
  // The decoder looks up the blank token by its text and cannot do without
  // it (the engine ends the process when it is missing).
  bool blank = false;
  for (int32_t i = 0; i < tokens; ++i) {
    int32_t length = 0;
    if (!file.int32(length)) return "it ends early";
    if (length < 0 || length > kLongestToken) return "its vocabulary is malformed";
    if (length == 1) {
      char c = 0;
      if (!file.bytes(&c, 1)) return "it ends early";
      blank = blank || c == ' ';
    } else if (!file.skip(static_cast<uint64_t>(length))) {
      return "it ends early";
    }
  }
  if (!blank) return "its vocabulary has no blank token";

  std::map<std::string, const WhisperTensorLayout*> expected;
  for (const WhisperTensorLayout& layout : *layouts) expected[layout.name] = &layout;
  size_t loaded = 0;
  while (file.remaining() > 0) {
    int32_t dims = 0;
    int32_t nameLength = 0;
    int32_t type = 0;
    if (!file.int32(dims) || !file.int32(nameLength) || !file.int32(type)) return "it ends early";
    if (dims < 1 || dims > 4 || nameLength < 1 || nameLength > kLongestTensorName)
      return "its tensor table is malformed";
    std::vector<int32_t> extents(static_cast<size_t>(dims));
    for (int32_t& extent : extents) {
      if (!file.int32(extent)) return "it ends early";
    }
    std::string name(static_cast<size_t>(nameLength), '\0');
    if (!file.bytes(name.data(), name.size())) return "it ends early";
    const auto found = expected.find(name);
    if (found == expected.end()) return "it holds a tensor the engine does not know";
    if (found->second == nullptr) return "it holds a tensor twice";
    const WhisperTensorLayout& layout = *found->second;
    // The engine compares extents padded with ones, as ggml stores them.
    std::vector<int32_t> wanted = layout.extents;
    extents.resize(4, 1);
    wanted.resize(4, 1);
    if (extents != wanted || type != layout.type) return "a tensor has the wrong shape or type";
    uint64_t elements = 1;
    for (int32_t extent : extents) {
      if (extent < 1) return "its tensor table is malformed";
      elements *= static_cast<uint64_t>(extent);
    }
    const std::optional<uint64_t> bytes = whisperTensorBytes(type, elements);
    if (!bytes) return "a tensor has the wrong shape or type";
    if (!file.skip(*bytes)) return "it ends early";
    found->second = nullptr;
    ++loaded;
  }
  if (loaded != layouts->size()) return "it ends early";
  return std::nullopt;
}

std::vector<WhisperModel> findWhisperModels(const ModelSearchPaths& paths) {
  std::vector<std::string> bases;
  if (!paths.dataHome.empty()) bases.push_back(paths.dataHome);
  bases.insert(bases.end(), paths.dataDirs.begin(), paths.dataDirs.end());
  std::vector<WhisperModel> models;
  for (const std::string& base : bases) {
    const std::string dir = base + "/tavrin/speech/whisper";
    const std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), &::closedir);
    if (!listing) continue;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing.get())) {
      const std::string name = entry->d_name;
      if (name.size() > 4 && name.ends_with(".bin")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      const std::string path = dir + "/" + name;
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
      if (const std::optional<WhisperHparams> h = readWhisperHparams(path)) {
        models.push_back({path, h->multilingual()});
      }
    }
  }
  return models;
}

}  // namespace tavrin::speech
