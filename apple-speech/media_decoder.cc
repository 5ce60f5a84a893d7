#include "apple-speech/media_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "apple-speech/helper_error.h"
#include "common/output.h"

namespace tavrin::apple_speech {
namespace {

constexpr int kOutputRate = 16000;
constexpr size_t kWriteBlockSamples = 16384;  // 64 KiB per write

struct FormatDeleter {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ResamplerDeleter {
  void operator()(SwrContext* s) const { swr_free(&s); }
};

std::string avErrorText(int error) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(error, text, sizeof text);
  return text;
}

// FFmpeg logs to standard error unless told not to; this program's standard
// error carries exactly one line on failure.
void quietLibraries() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// One audio track: its decoder, its converter to 16 kHz mono float, and the
// converted samples not yet mixed.
struct Track {
  int streamIndex = -1;
  std::unique_ptr<AVCodecContext, CodecDeleter> codec;
  std::unique_ptr<SwrContext, ResamplerDeleter> resampler;
  // Input parameters the resampler was made for; a change makes a new one.
  int inRate = 0;
  int inFormat = -1;
  AVChannelLayout inLayout{};
  std::vector<float> pending;
  bool ended = false;

  ~Track() { av_channel_layout_uninit(&inLayout); }
};

class Decoder {
 public:
  Decoder(const std::string& path, const ByteSink& sink) : path_(path), sink_(sink) {}

  void run() {
    quietLibraries();
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) throw HelperError::decodeFailed("file not found");
    open();
    read();
  }

 private:
  void open() {
    AVFormatContext* raw = nullptr;
    if (const int err = avformat_open_input(&raw, path_.c_str(), nullptr, nullptr); err < 0) {
      throw PlatformError(avErrorText(err));
    }
    format_.reset(raw);
    if (const int err = avformat_find_stream_info(format_.get(), nullptr); err < 0) {
      throw PlatformError(avErrorText(err));
    }
    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      AVStream* stream = format_->streams[i];
      if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
        stream->discard = AVDISCARD_ALL;  // video, subtitles, data: not even read into packets
        continue;
      }
      auto track = std::make_unique<Track>();
      track->streamIndex = static_cast<int>(i);
      tracks_.push_back(std::move(track));
    }
    if (tracks_.empty()) throw HelperError::decodeFailed("no audio track in file");
    trackOfStream_.assign(format_->nb_streams, nullptr);
    for (auto& track : tracks_) {
      AVStream* stream = format_->streams[track->streamIndex];
      const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
      if (codec == nullptr) throw HelperError::decodeFailed("unsupported audio configuration");
      track->codec.reset(avcodec_alloc_context3(codec));
      if (!track->codec) throw HelperError::decodeFailed(avErrorText(AVERROR(ENOMEM)));
      if (const int err = avcodec_parameters_to_context(track->codec.get(), stream->codecpar); err < 0) {
        throw HelperError::decodeFailed(avErrorText(err));
      }
      track->codec->pkt_timebase = stream->time_base;
      if (const int err = avcodec_open2(track->codec.get(), codec, nullptr); err < 0) {
        throw HelperError::decodeFailed(avErrorText(err));
      }
      trackOfStream_[static_cast<size_t>(track->streamIndex)] = track.get();
    }
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) throw HelperError::decodeFailed(avErrorText(AVERROR(ENOMEM)));
  }

  void read() {
    for (;;) {
      const int err = av_read_frame(format_.get(), packet_.get());
      if (err == AVERROR_EOF) break;
      if (err < 0) throw HelperError::decodeFailed(avErrorText(err));
      std::unique_ptr<AVPacket, decltype(&av_packet_unref)> unref(packet_.get(), av_packet_unref);
      const auto index = static_cast<size_t>(packet_->stream_index);
      Track* track = index < trackOfStream_.size() ? trackOfStream_[index] : nullptr;
      if (track == nullptr) continue;
      decodePacket(*track, packet_.get());
      mix(/*draining=*/false);
    }
    for (auto& track : tracks_) {
      decodePacket(*track, nullptr);
      flushResampler(*track);
      track->ended = true;
    }
    mix(/*draining=*/true);
    flushOutput();
  }

  // Sends one packet (nullptr: the end) and converts every frame it yields.
  // A damaged packet is skipped, as players do; other errors fail the run.
  void decodePacket(Track& track, AVPacket* packet) {
    int err = avcodec_send_packet(track.codec.get(), packet);
    if (err == AVERROR_INVALIDDATA) return;
    if (err < 0 && err != AVERROR_EOF) throw HelperError::decodeFailed(avErrorText(err));
    for (;;) {
      err = avcodec_receive_frame(track.codec.get(), frame_.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      if (err == AVERROR_INVALIDDATA) continue;
      if (err < 0) throw HelperError::decodeFailed(avErrorText(err));
      std::unique_ptr<AVFrame, decltype(&av_frame_unref)> unref(frame_.get(), av_frame_unref);
      convert(track, frame_.get());
    }
  }

  void ensureResampler(Track& track, const AVFrame* frame) {
    if (track.resampler && track.inRate == frame->sample_rate && track.inFormat == frame->format &&
        av_channel_layout_compare(&track.inLayout, &frame->ch_layout) == 0) {
      return;
    }
    if (track.resampler) flushResampler(track);
    // A frame without a channel order is taken as the default layout for
    // its channel count.
    AVChannelLayout inLayout{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels == 0) {
      av_channel_layout_default(&inLayout, std::max(frame->ch_layout.nb_channels, 1));
    } else if (av_channel_layout_copy(&inLayout, &frame->ch_layout) < 0) {
      throw HelperError::decodeFailed("unsupported audio configuration");
    }
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* raw = nullptr;
    int err = swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_FLT, kOutputRate, &inLayout,
                                  static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    track.resampler.reset(raw);
    if (err >= 0) err = swr_init(track.resampler.get());
    if (err < 0) throw HelperError::decodeFailed("unsupported audio configuration");
    av_channel_layout_uninit(&track.inLayout);
    if (av_channel_layout_copy(&track.inLayout, &frame->ch_layout) < 0) {
      throw HelperError::decodeFailed("unsupported audio configuration");
    }
    track.inRate = frame->sample_rate;
    track.inFormat = frame->format;
  }

  void convert(Track& track, const AVFrame* frame) {
    if (frame->nb_samples <= 0 || frame->sample_rate <= 0) return;
    ensureResampler(track, frame);
    const int capacity = swr_get_out_samples(track.resampler.get(), frame->nb_samples);
    if (capacity <= 0) return;
    scratch_.resize(static_cast<size_t>(capacity));
    uint8_t* out = reinterpret_cast<uint8_t*>(scratch_.data());
    const int produced = swr_convert(track.resampler.get(), &out, capacity,
                                     const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (produced < 0) throw HelperError::decodeFailed(avErrorText(produced));
    take(track, static_cast<size_t>(produced));
  }

  void flushResampler(Track& track) {
    if (!track.resampler) return;
    for (;;) {
      const int capacity = std::max(swr_get_out_samples(track.resampler.get(), 0), 0) + 256;
      scratch_.resize(static_cast<size_t>(capacity));
      uint8_t* out = reinterpret_cast<uint8_t*>(scratch_.data());
      const int produced = swr_convert(track.resampler.get(), &out, capacity, nullptr, 0);
      if (produced <= 0) break;
      take(track, static_cast<size_t>(produced));
    }
  }

  // Converted samples of one track: a lone track goes straight to the
  // output; with several, they wait to be mixed.
  void take(Track& track, size_t count) {
    if (tracks_.size() == 1) {
      output_.insert(output_.end(), scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(count));
      if (output_.size() >= kWriteBlockSamples) flushOutput();
      return;
    }
    track.pending.insert(track.pending.end(), scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(count));
  }

  // Moves the samples every track has reached into the output, each the sum
  // of the tracks' samples. A track that has ended counts as silence, so
  // when draining everything left is mixed.
  void mix(bool draining) {
    if (tracks_.size() == 1) return;
    size_t ready = SIZE_MAX;
    size_t longest = 0;
    for (const auto& track : tracks_) {
      longest = std::max(longest, track->pending.size());
      if (!track->ended) ready = std::min(ready, track->pending.size());
    }
    if (draining || ready == SIZE_MAX) ready = longest;
    if (ready == 0) return;
    const size_t base = output_.size();
    output_.resize(base + ready, 0.0f);
    for (auto& track : tracks_) {
      const size_t n = std::min(ready, track->pending.size());
      for (size_t i = 0; i < n; ++i) output_[base + i] += track->pending[i];
      track->pending.erase(track->pending.begin(), track->pending.begin() + static_cast<std::ptrdiff_t>(n));
    }
    if (output_.size() >= kWriteBlockSamples) flushOutput();
  }

  void flushOutput() {
    if (output_.empty()) return;
    if constexpr (std::endian::native == std::endian::big) {
      for (float& f : output_) f = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(f)));
    }
    const std::string_view bytes(reinterpret_cast<const char*>(output_.data()), output_.size() * sizeof(float));
    if (const int err = sink_(bytes); err != 0) throw PlatformError(errnoDescription(err));
    output_.clear();
  }

  const std::string& path_;
  const ByteSink& sink_;
  std::unique_ptr<AVFormatContext, FormatDeleter> format_;
  std::vector<std::unique_ptr<Track>> tracks_;
  std::vector<Track*> trackOfStream_;
  std::unique_ptr<AVFrame, FrameDeleter> frame_;
  std::unique_ptr<AVPacket, PacketDeleter> packet_;
  std::vector<float> scratch_;
  std::vector<float> output_;
};

}  // namespace

void decodeMedia(const std::string& path, const ByteSink& sink) {
  Decoder(path, sink).run();
}

}  // namespace tavrin::apple_speech
