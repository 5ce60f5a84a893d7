#include "apple-llm/testmodel/testmodel.h"

#include <ggml.h>
#include <gguf.h>

#include <cstdio>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

namespace tavrin::llm::testmodel {
namespace {

constexpr int kSpecialTokens = 5;  // <unk> <s> </s> <|im_start|> <|im_end|>
constexpr int kEndOfTurn = 4;

// Token types as llama.cpp's SentencePiece vocabulary reads them.
constexpr int32_t kNormal = 1;
constexpr int32_t kUnknown = 2;
constexpr int32_t kControl = 3;
constexpr int32_t kByte = 6;

enum class Fill { kRandom, kOnes, kEmbedding, kOutput };

constexpr const char* kChatTemplate =
    "{% for message in messages %}{{'<|im_start|>' + message['role'] + '\\n' + message['content'] + '<|im_end|>' + "
    "'\\n'}}{% endfor %}{% if add_generation_prompt %}{{ '<|im_start|>assistant\\n' }}{% endif %}";

struct GgufDeleter {
  void operator()(gguf_context* c) const { gguf_free(c); }
};
struct GgmlDeleter {
  void operator()(ggml_context* c) const { ggml_free(c); }
};

ggml_type toGgml(WeightType t) {
  switch (t) {
    case WeightType::kF32: return GGML_TYPE_F32;
    case WeightType::kQ8_0: return GGML_TYPE_Q8_0;
    case WeightType::kQ4_0: return GGML_TYPE_Q4_0;
  }
  return GGML_TYPE_F32;
}

// Distinct made-up word pieces: "▁" plus letters, then bare letter groups.
std::vector<std::string> wordPieces(int count) {
  std::vector<std::string> pieces;
  const std::string letters = "etaoinshrdlucmfwypvbgkjqxz";
  for (int length = 1; static_cast<int>(pieces.size()) < count; ++length) {
    std::vector<int> index(static_cast<size_t>(length), 0);
    for (;;) {
      std::string word;
      for (int i : index) word += letters[static_cast<size_t>(i)];
      pieces.push_back("\xE2\x96\x81" + word);
      if (static_cast<int>(pieces.size()) == count) return pieces;
      if (length > 1) {
        pieces.push_back(word);
        if (static_cast<int>(pieces.size()) == count) return pieces;
      }
      int pos = length - 1;
      while (pos >= 0 && ++index[static_cast<size_t>(pos)] == static_cast<int>(letters.size())) {
        index[static_cast<size_t>(pos)] = 0;
        --pos;
      }
      if (pos < 0) break;
    }
  }
  return pieces;
}

class Writer {
 public:
  explicit Writer(const Shape& shape) : shape_(shape), rng_(shape.seed) {}

  void write(const std::string& path) {
    const int vocab = kSpecialTokens + 256 + shape_.extraTokens;
    const int headDim = shape_.embedding / shape_.heads;
    const int kvDim = headDim * shape_.kvHeads;
    const ggml_type wtype = toGgml(shape_.weights);

    struct Plan {
      std::string name;
      int64_t ne0, ne1;
      ggml_type type;
      Fill fill;
    };
    std::vector<Plan> plans;
    plans.push_back({"token_embd.weight", shape_.embedding, vocab, wtype, Fill::kEmbedding});
    for (int l = 0; l < shape_.layers; ++l) {
      const std::string b = "blk." + std::to_string(l) + ".";
      plans.push_back({b + "attn_norm.weight", shape_.embedding, 1, GGML_TYPE_F32, Fill::kOnes});
      plans.push_back({b + "attn_q.weight", shape_.embedding, shape_.embedding, wtype, Fill::kRandom});
      plans.push_back({b + "attn_k.weight", shape_.embedding, kvDim, wtype, Fill::kRandom});
      plans.push_back({b + "attn_v.weight", shape_.embedding, kvDim, wtype, Fill::kRandom});
      plans.push_back({b + "attn_output.weight", shape_.embedding, shape_.embedding, wtype, Fill::kRandom});
      plans.push_back({b + "ffn_norm.weight", shape_.embedding, 1, GGML_TYPE_F32, Fill::kOnes});
      plans.push_back({b + "ffn_gate.weight", shape_.embedding, shape_.feedForward, wtype, Fill::kRandom});
      plans.push_back({b + "ffn_up.weight", shape_.embedding, shape_.feedForward, wtype, Fill::kRandom});
      plans.push_back({b + "ffn_down.weight", shape_.feedForward, shape_.embedding, wtype, Fill::kRandom});
    }
    plans.push_back({"output_norm.weight", shape_.embedding, 1, GGML_TYPE_F32, Fill::kOnes});
    plans.push_back({"output.weight", shape_.embedding, vocab, wtype, Fill::kOutput});

    size_t bytes = 0;
    for (const Plan& p : plans) bytes += ggml_row_size(p.type, p.ne0) * static_cast<size_t>(p.ne1) + 64;
    ggml_init_params params{bytes + plans.size() * ggml_tensor_overhead() + 1024 * 1024, nullptr, false};
    std::unique_ptr<ggml_context, GgmlDeleter> ctx(ggml_init(params));
    if (!ctx) throw std::runtime_error("out of memory for the model's tensors");

    std::unique_ptr<gguf_context, GgufDeleter> gguf(gguf_init_empty());
    writeMetadata(gguf.get(), vocab);
    for (const Plan& p : plans) {
      ggml_tensor* t = p.ne1 == 1 ? ggml_new_tensor_1d(ctx.get(), p.type, p.ne0)
                                  : ggml_new_tensor_2d(ctx.get(), p.type, p.ne0, p.ne1);
      ggml_set_name(t, p.name.c_str());
      fill(t, p.fill, p.ne0, p.ne1);
      gguf_add_tensor(gguf.get(), t);
    }
    if (!gguf_write_to_file(gguf.get(), path.c_str(), false)) {
      throw std::runtime_error("cannot write the model to " + path);
    }
  }

 private:
  void writeMetadata(gguf_context* g, int vocab) {
    const uint32_t headDim = static_cast<uint32_t>(shape_.embedding / shape_.heads);
    gguf_set_val_str(g, "general.architecture", "llama");
    gguf_set_val_str(g, "general.name", "tavrin random-weight test model");
    gguf_set_val_u32(g, "general.file_type",
                     shape_.weights == WeightType::kF32    ? 0
                     : shape_.weights == WeightType::kQ8_0 ? 7
                                                           : 2);
    gguf_set_val_u32(g, "llama.context_length", static_cast<uint32_t>(shape_.contextLength));
    gguf_set_val_u32(g, "llama.embedding_length", static_cast<uint32_t>(shape_.embedding));
    gguf_set_val_u32(g, "llama.block_count", static_cast<uint32_t>(shape_.layers));
    gguf_set_val_u32(g, "llama.feed_forward_length", static_cast<uint32_t>(shape_.feedForward));
    gguf_set_val_u32(g, "llama.attention.head_count", static_cast<uint32_t>(shape_.heads));
    gguf_set_val_u32(g, "llama.attention.head_count_kv", static_cast<uint32_t>(shape_.kvHeads));
    gguf_set_val_u32(g, "llama.rope.dimension_count", headDim);
    gguf_set_val_f32(g, "llama.rope.freq_base", 10000.0f);
    gguf_set_val_f32(g, "llama.attention.layer_norm_rms_epsilon", 1e-5f);
    gguf_set_val_u32(g, "llama.vocab_size", static_cast<uint32_t>(vocab));

    std::vector<std::string> tokens = {"<unk>", "<s>", "</s>", "<|im_start|>", "<|im_end|>"};
    std::vector<int32_t> types = {kUnknown, kControl, kControl, kControl, kControl};
    for (int b = 0; b < 256; ++b) {
      char name[8];
      std::snprintf(name, sizeof name, shape_.leadByteTokens || b < 0xF0 ? "<0x%02X>" : "[%02X]", b);
      tokens.push_back(name);
      types.push_back(shape_.leadByteTokens || b < 0xF0 ? kByte : kNormal);
    }
    for (std::string& piece : wordPieces(shape_.extraTokens)) {
      tokens.push_back(std::move(piece));
      types.push_back(kNormal);
    }
    std::vector<float> scores(tokens.size(), 0.0f);
    for (size_t i = kSpecialTokens + 256; i < scores.size(); ++i) scores[i] = -static_cast<float>(i);
    std::vector<const char*> pointers;
    for (const std::string& t : tokens) pointers.push_back(t.c_str());
    gguf_set_val_str(g, "tokenizer.ggml.model", "llama");
    gguf_set_arr_str(g, "tokenizer.ggml.tokens", pointers.data(), pointers.size());
    gguf_set_arr_data(g, "tokenizer.ggml.scores", GGUF_TYPE_FLOAT32, scores.data(), scores.size());
    gguf_set_arr_data(g, "tokenizer.ggml.token_type", GGUF_TYPE_INT32, types.data(), types.size());
    gguf_set_val_u32(g, "tokenizer.ggml.unknown_token_id", 0);
    gguf_set_val_u32(g, "tokenizer.ggml.bos_token_id", 1);
    gguf_set_val_u32(g, "tokenizer.ggml.eos_token_id", kEndOfTurn);
    gguf_set_val_bool(g, "tokenizer.ggml.add_bos_token", true);
    gguf_set_val_bool(g, "tokenizer.ggml.add_eos_token", false);
    gguf_set_val_str(g, "tokenizer.chat_template",
                     shape_.chatTemplate.empty() ? kChatTemplate : shape_.chatTemplate.c_str());
  }

  void fill(ggml_tensor* t, Fill kind, int64_t ne0, int64_t ne1) {
    std::vector<float> values(static_cast<size_t>(ne0 * ne1));
    // Residual dimension 0 is a constant in every embedding, so it survives
    // into the final hidden state; the output rows of '"' and ']' read it,
    // which adds a fixed bias to those tokens' logits: strings and lists end
    // after a few items.
    const float embedConstant = 4.0f;
    const float sigma = ne0 >= 256 ? 0.02f : 0.1f;
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (int64_t r = 0; r < ne1; ++r) {
      for (int64_t c = 0; c < ne0; ++c) {
        float v = 0.0f;
        switch (kind) {
          case Fill::kOnes: v = 1.0f; break;
          case Fill::kEmbedding: v = c == 0 ? embedConstant : normal(rng_); break;
          case Fill::kOutput:
            v = c == 0 ? 0.0f : normal(rng_) * (ne0 >= 256 ? 0.02f : 0.04f);
            if (r == kSpecialTokens + '"' && c == 0) v = shape_.quoteBias / embedConstant;
            if ((r == kSpecialTokens + ']' || r == kSpecialTokens + '{') && c == 0)
              v = shape_.listEndBias / embedConstant;
            break;
          case Fill::kRandom: v = normal(rng_) * sigma;
        }
        values[static_cast<size_t>(r * ne0 + c)] = v;
      }
    }
    if (t->type == GGML_TYPE_F32) {
      std::copy(values.begin(), values.end(), static_cast<float*>(t->data));
    } else {
      ggml_quantize_chunk(t->type, values.data(), t->data, 0, ne1, ne0, nullptr);
    }
  }

  Shape shape_;
  std::mt19937 rng_;

 public:
  void writeHeaderOnly(const std::string& path, uint64_t declaredBytes) {
    ggml_init_params params{ggml_tensor_overhead() * 4, nullptr, /*no_alloc=*/true};
    std::unique_ptr<ggml_context, GgmlDeleter> ctx(ggml_init(params));
    std::unique_ptr<gguf_context, GgufDeleter> gguf(gguf_init_empty());
    writeMetadata(gguf.get(), kSpecialTokens + 256);
    ggml_tensor* t = ggml_new_tensor_2d(ctx.get(), GGML_TYPE_F32, 1024, static_cast<int64_t>(declaredBytes / 4096));
    ggml_set_name(t, "token_embd.weight");
    gguf_add_tensor(gguf.get(), t);
    if (!gguf_write_to_file(gguf.get(), path.c_str(), /*only_meta=*/true)) {
      throw std::runtime_error("cannot write the model to " + path);
    }
  }
};

}  // namespace

Shape tinyShape() {
  Shape s;
  s.contextLength = 8192;  // room for the instructions, one byte token each
  s.quoteBias = 0.8f;
  s.listEndBias = 0.5f;
  return s;
}

Shape benchShape() {
  Shape s;
  s.embedding = 896;
  s.layers = 24;
  s.feedForward = 4864;
  s.heads = 14;
  s.kvHeads = 2;
  s.extraTokens = 32000 - kSpecialTokens - 256;
  s.weights = WeightType::kQ8_0;
  s.contextLength = 32768;
  return s;
}

void writeModel(const std::string& path, const Shape& shape) {
  Writer(shape).write(path);
}

void writeOversizedHeader(const std::string& path, uint64_t declaredBytes) {
  Writer(tinyShape()).writeHeaderOnly(path, declaredBytes);
}

}  // namespace tavrin::llm::testmodel
