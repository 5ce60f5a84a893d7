// PocketSphinx on its own, for comparison with `tavrin-apple-speech
// transcribe`: the same model, decoder settings, block size and
// voice-activity segmentation, straight on the C API, reading the same raw
// sample file. Prints one line per utterance and the utterance count.
//
//   bench_pocketsphinx_alone [--real-time [--batch SAMPLES]] FILE.raw [-name value]...
//
// (-name value: extra decoder options.) --real-time feeds the 20 ms blocks
// when their audio would have arrived from capture, in batches of SAMPLES
// (default: one block): the peer of a live channel, whose thread also
// sleeps between batches (which costs the engine cache misses of its own).
#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  const bool realTime = argc > 1 && std::string(argv[1]) == "--real-time";
  if (realTime) {
    --argc;
    ++argv;
  }
  size_t batch = 320;
  if (realTime && argc > 2 && std::string(argv[1]) == "--batch") {
    batch = std::max(1, std::atoi(argv[2]));
    argc -= 2;
    argv += 2;
  }
  if (argc < 2 || argc % 2 != 0) {
    std::cerr << "usage: bench_pocketsphinx_alone [--real-time [--batch SAMPLES]] FILE.raw [-name value]...\n";
    return 1;
  }
  err_set_logfp(nullptr);
  const std::string root = "/usr/share/pocketsphinx/model/en-us";
  std::vector<std::string> args = {"-hmm",
                                   root + "/en-us",
                                   "-lm",
                                   root + "/en-us.lm.bin",
                                   "-dict",
                                   root + "/cmudict-en-us.dict",
                                   "-samprate",
                                   "16000",
                                   "-vad_postspeech",
                                   "40",
                                   "-remove_silence",
                                   "yes",
                                   "-logfn",
                                   "/dev/null"};
  for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
  std::vector<char*> argvs;
  for (std::string& a : args) argvs.push_back(a.data());
  cmd_ln_t* config = cmd_ln_parse_r(nullptr, ps_args(), static_cast<int32>(argvs.size()), argvs.data(), FALSE);
  ps_decoder_t* ps = config ? ps_init(config) : nullptr;
  if (ps == nullptr) {
    std::cerr << "cannot load the model\n";
    return 1;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t frames = bytes.size() / 4;
  std::vector<float> samples(frames);
  std::copy_n(bytes.data(), frames * 4, reinterpret_cast<char*>(samples.data()));
  bytes.clear();
  bytes.shrink_to_fit();

  int utterances = 0;
  auto finish = [&] {
    int32 score = 0;
    const char* hyp = ps_get_hyp(ps, &score);
    if (hyp != nullptr && *hyp != '\0') {
      ++utterances;
      std::cout << hyp << '\n';
    }
  };
  ps_start_stream(ps);
  ps_start_utt(ps);
  bool inUtterance = true;
  bool heard = false;
  std::vector<int16> block(320);
  const auto begin = std::chrono::steady_clock::now();
  for (size_t offset = 0; offset < frames; offset += 320) {
    if (realTime && offset % batch < 320) {
      std::this_thread::sleep_until(begin + std::chrono::microseconds(offset * 1'000'000 / 16000));
    }
    const size_t n = std::min<size_t>(320, frames - offset);
    for (size_t i = 0; i < n; ++i) {
      block[i] = static_cast<int16>(std::lrint(std::clamp(samples[offset + i] * 32767.0f, -32768.0f, 32767.0f)));
    }
    if (!inUtterance) {
      ps_start_utt(ps);
      inUtterance = true;
    }
    ps_process_raw(ps, block.data(), n, FALSE, FALSE);
    const bool speech = ps_get_in_speech(ps) != 0;
    if (speech && !heard) {
      heard = true;
    } else if (!speech && heard) {
      ps_end_utt(ps);
      inUtterance = false;
      heard = false;
      finish();
    }
  }
  if (inUtterance) {
    ps_end_utt(ps);
    finish();
  }
  std::cout << "utterances: " << utterances << '\n';
  ps_free(ps);
  cmd_ln_free_r(config);
  return 0;
}
