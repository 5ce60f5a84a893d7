#include "apple-speech/media_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "apple-speech/helper_error.h"
#include "common/output.h"
#include "common/speech_downmix.h"
#include "common/unique_fd.h"

namespace tavrin::apple_speech {
namespace {

constexpr int kOutputRate = 16000;
constexpr int64_t kWriteBlockSamples = 16384;  // 64 KiB per write
// Input rates outside this range are not audio anyone records; a header that
// claims one is damaged or hostile (1 Hz would turn a few kilobytes into
// gigabytes of output).
constexpr int kMinInputRate = 1000;
constexpr int kMaxInputRate = 768000;
// The most output samples one conversion step yields: a frame is fed to the
// resampler in pieces, whatever its size or rate.
constexpr int kPieceSamples = 16384;
// How far (in output samples) the mix may lag behind the most advanced
// track: a track that has not delivered audio that far back is taken as
// silent there. Tracks of a file are interleaved far closer than this.
constexpr int64_t kMaxSkew = 10 * kOutputRate;
// Reading a file without a packet of audio coming out is normal (raw or
// high-rate video between audio packets, hundreds of megabytes of it), but
// a demuxer that keeps what it reads (a parser looking for a frame in
// zeros keeps all of it) is collecting garbage: the file is taken as
// damaged when the memory in use has grown by this much since the last
// audio packet. Checked every kMemoryCheckBytes read.
constexpr size_t kMaxGrowthWithoutAudio = size_t{64} << 20;
constexpr int64_t kMemoryCheckBytes = int64_t{1} << 20;
// A track's first time stamp is believed up to the file's duration, and no
// further than one second per this many bytes of file: beyond, it is taken
// as damaged and the track starts with the time line, so a small file
// cannot claim hours of leading silence.
constexpr int64_t kMinBytesPerSecond = 100;

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

}  // namespace

std::string ffmpegErrorText(int error) {
  if (error == AVERROR_EOF) return "The file ends before its audio does";
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  // Codes the library has no text for (a decoder's own, such as a lost
  // frame sync) are damaged data as far as the user can tell.
  if (av_strerror(error, text, sizeof text) < 0) return "The audio data is damaged or of an unsupported kind";
  return text;
}

namespace {

std::string avErrorText(int error) {
  return ffmpegErrorText(error);
}

// FFmpeg logs to standard error unless told not to; this program's standard
// error carries exactly one line on failure.
void quietLibraries() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

// Demuxers whose files name other files or URLs to read.
bool readsOtherFiles(const AVInputFormat* format) {
  if ((format->flags & AVFMT_NOFILE) != 0) return true;
  static constexpr std::array<std::string_view, 7> kNames = {"hls", "dash",  "concat", "imf", "webm_dash_manifest",
                                                             "sdp", "image2"};
  const std::string_view names = format->name;
  return std::any_of(kNames.begin(), kNames.end(), [&](std::string_view n) {
    for (size_t at = names.find(n); at != std::string_view::npos; at = names.find(n, at + 1)) {
      const bool startsWord = at == 0 || names[at - 1] == ',';
      const bool endsWord = at + n.size() == names.size() || names[at + n.size()] == ',';
      if (startsWord && endsWord) return true;
    }
    return false;
  });
}

// The media file, read through a plain descriptor: no FFmpeg protocol sees
// its name. Reading fails once the memory in use has grown by
// kMaxGrowthWithoutAudio since the last audio packet.
class FileSource {
 public:
  explicit FileSource(const std::string& path) {
    fd_.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_.valid()) throw PlatformError(errnoDescription(errno));
    constexpr int kBufferSize = 1 << 16;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (buffer != nullptr)
      io_ = avio_alloc_context(buffer, kBufferSize, 0, this, &FileSource::read, nullptr, &FileSource::seek);
    if (io_ == nullptr) {
      av_free(buffer);
      throw HelperError::decodeFailed(avErrorText(AVERROR(ENOMEM)));
    }
    struct stat st {};
    if (::fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode))
      io_->seekable = AVIO_SEEKABLE_NORMAL;
    else
      io_->seekable = 0;
  }
  ~FileSource() {
    av_freep(&io_->buffer);
    avio_context_free(&io_);
  }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  AVIOContext* io() const { return io_; }
  void audioPacketTaken() {
    sinceAudio_ = 0;
    memoryAtAudio_ = memoryInUse();
  }

 private:
  static int read(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<FileSource*>(opaque);
    if (self->sinceAudio_ / kMemoryCheckBytes != self->checkedAt_ / kMemoryCheckBytes) {
      self->checkedAt_ = self->sinceAudio_;
      if (memoryInUse() > self->memoryAtAudio_ + kMaxGrowthWithoutAudio) return AVERROR_INVALIDDATA;
    }
    for (;;) {
      const ssize_t n = ::read(self->fd_.get(), buffer, static_cast<size_t>(size));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return AVERROR(errno);
      if (n == 0) return AVERROR_EOF;
      self->sinceAudio_ += n;
      return static_cast<int>(n);
    }
  }
  // Bytes the allocator has handed out (FFmpeg's buffers among them).
  static size_t memoryInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
  }
  static int64_t seek(void* opaque, int64_t offset, int whence) {
    auto* self = static_cast<FileSource*>(opaque);
    if ((whence & AVSEEK_SIZE) != 0) {
      struct stat st {};
      return ::fstat(self->fd_.get(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : AVERROR(ENOSYS);
    }
    const off_t at = ::lseek(self->fd_.get(), offset, whence & ~AVSEEK_FORCE);
    return at < 0 ? AVERROR(errno) : at;
  }

  UniqueFd fd_;
  AVIOContext* io_ = nullptr;
  int64_t sinceAudio_ = 0;
  int64_t checkedAt_ = 0;
  size_t memoryAtAudio_ = memoryInUse();
};

// Every open a demuxer attempts beyond the file itself is refused.
int refuseNestedOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
  return AVERROR(EPERM);
}

// One audio track: its decoder, its converter to 16 kHz mono float, and
// where on the output time line its audio has got to.
struct Track {
  int streamIndex = -1;
  AVRational timeBase{1, 1};
  std::unique_ptr<AVCodecContext, CodecDeleter> codec;
  // Several channels: `downmix` mixes them into the mono float that
  // `resampler` takes. One channel: `resampler` takes the frame as it is.
  std::unique_ptr<SpeechDownmix> downmix;
  std::unique_ptr<SwrContext, ResamplerDeleter> resampler;
  // Input parameters the resampler was made for; a change makes a new one.
  int inRate = 0;
  int inFormat = -1;
  AVChannelLayout inLayout{};
  bool started = false;
  int64_t outputEnd = 0;  // time line position of the next converted sample
  int rejected = 0;       // packets or frames its decoder refused, skipped
  int lastRejection = 0;  // the decoder's code for the last of them

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
    source_ = std::make_unique<FileSource>(path_);
    const AVInputFormat* inputFormat = nullptr;
    int err = av_probe_input_buffer2(source_->io(), &inputFormat, path_.c_str(), nullptr, 0, 0);
    if (err < 0) throw PlatformError(avErrorText(err));
    if (readsOtherFiles(inputFormat)) throw PlatformError(avErrorText(AVERROR_INVALIDDATA));

    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) throw HelperError::decodeFailed(avErrorText(AVERROR(ENOMEM)));
    raw->pb = source_->io();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    raw->io_open = refuseNestedOpen;
    err = avformat_open_input(&raw, path_.c_str(), inputFormat, nullptr);  // frees `raw` on failure
    if (err < 0) throw PlatformError(avErrorText(err));
    format_.reset(raw);
    if (err = avformat_find_stream_info(format_.get(), nullptr); err < 0) throw PlatformError(avErrorText(err));
    source_->audioPacketTaken();

    for (unsigned i = 0; i < format_->nb_streams; ++i) {
      AVStream* stream = format_->streams[i];
      if (stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) {
        stream->discard = AVDISCARD_ALL;  // video, subtitles, data: not even read into packets
        continue;
      }
      auto track = std::make_unique<Track>();
      track->streamIndex = static_cast<int>(i);
      track->timeBase = stream->time_base;
      tracks_.push_back(std::move(track));
    }
    if (tracks_.empty()) throw HelperError::decodeFailed("no audio track in file");
    // The time line starts where the earliest stream (video included) starts.
    if (format_->start_time != AV_NOPTS_VALUE) origin_ = av_rescale(format_->start_time, kOutputRate, AV_TIME_BASE);
    if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0) {
      trustedEnd_ = av_rescale(format_->duration, kOutputRate, AV_TIME_BASE) + kMaxSkew;
    }
    if (const int64_t bytes = avio_size(source_->io()); bytes >= 0) {
      trustedEnd_ = std::min(trustedEnd_, bytes / kMinBytesPerSecond * kOutputRate + kMaxSkew);
    }
    trackOfStream_.assign(format_->nb_streams, nullptr);
    for (auto& track : tracks_) {
      AVStream* stream = format_->streams[track->streamIndex];
      const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
      if (codec == nullptr) throw HelperError::decodeFailed("unsupported audio configuration");
      track->codec.reset(avcodec_alloc_context3(codec));
      if (!track->codec) throw HelperError::decodeFailed(avErrorText(AVERROR(ENOMEM)));
      if (err = avcodec_parameters_to_context(track->codec.get(), stream->codecpar); err < 0) {
        throw HelperError::decodeFailed(avErrorText(err));
      }
      track->codec->pkt_timebase = stream->time_base;
      if (err = avcodec_open2(track->codec.get(), codec, nullptr); err < 0) {
        throw HelperError::decodeFailed(avErrorText(err));
      }
      trackOfStream_[static_cast<size_t>(track->streamIndex)] = track.get();
    }
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) throw HelperError::decodeFailed(avErrorText(AVERROR(ENOMEM)));
  }

  // A file that fails part-way (damaged, cut, or a demuxer collecting
  // garbage) still gives everything decoded before the failure, its tracks'
  // last frames included; then the failure is reported.
  void read() {
    int failure = 0;
    for (;;) {
      const int err = av_read_frame(format_.get(), packet_.get());
      if (err == AVERROR_EOF) break;
      if (err < 0) {
        failure = err;
        break;
      }
      std::unique_ptr<AVPacket, decltype(&av_packet_unref)> unref(packet_.get(), av_packet_unref);
      const auto index = static_cast<size_t>(packet_->stream_index);
      Track* track = index < trackOfStream_.size() ? trackOfStream_[index] : nullptr;
      if (track == nullptr) continue;
      source_->audioPacketTaken();
      decodePacket(*track, packet_.get());
      writeReady(/*draining=*/false);
    }
    for (auto& track : tracks_) {
      decodePacket(*track, nullptr);
      flushResampler(*track);
    }
    // Not one frame decoded, and frames were refused: the audio is there
    // but none of it could be read, which is no success.
    const bool anyAudio = std::any_of(tracks_.begin(), tracks_.end(), [](const auto& t) { return t->started; });
    if (!anyAudio) {
      for (const auto& track : tracks_) {
        if (track->rejected > 0) throw HelperError::decodeFailed(avErrorText(track->lastRejection));
      }
    }
    writeReady(/*draining=*/true);
    if (failure != 0) throw HelperError::decodeFailed(avErrorText(failure));
  }

  // Sends one packet (nullptr: the end) and converts every frame it yields.
  // Whatever the decoder refuses (a damaged frame, whatever code its decoder
  // gives for it) is skipped, as players do; only running out of memory
  // fails the run here. A decoder that refuses everything is reported at
  // the end (see read()).
  void decodePacket(Track& track, AVPacket* packet) {
    int err = avcodec_send_packet(track.codec.get(), packet);
    if (err == AVERROR(ENOMEM)) throw HelperError::decodeFailed(avErrorText(err));
    if (err < 0 && err != AVERROR_EOF) {
      reject(track, err);
      return;
    }
    // A decoder reports each refused frame once; the bound only guards
    // against one that keeps failing without taking input.
    for (int refusals = 0; refusals < kMaxRefusalsPerPacket;) {
      err = avcodec_receive_frame(track.codec.get(), frame_.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return;
      if (err == AVERROR(ENOMEM)) throw HelperError::decodeFailed(avErrorText(err));
      if (err < 0) {
        reject(track, err);
        ++refusals;
        continue;
      }
      std::unique_ptr<AVFrame, decltype(&av_frame_unref)> unref(frame_.get(), av_frame_unref);
      convert(track, frame_.get());
    }
  }

  static void reject(Track& track, int err) {
    ++track.rejected;
    track.lastRejection = err;
  }

  void ensureResampler(Track& track, const AVFrame* frame) {
    if (track.resampler && track.inRate == frame->sample_rate && track.inFormat == frame->format &&
        av_channel_layout_compare(&track.inLayout, &frame->ch_layout) == 0) {
      return;
    }
    if (track.resampler) flushResampler(track);
    const int channels = frame->ch_layout.nb_channels;
    if (channels <= 0) {
      throw HelperError::decodeFailed("unsupported audio configuration");
    }
    const auto format = static_cast<AVSampleFormat>(frame->format);
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    int err = 0;
    track.downmix.reset();
    if (channels > 1) {
      // A layout in FFmpeg's own order names the positions; any other (none,
      // or a custom order) is taken as the default layout for its count.
      const uint64_t mask = frame->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? frame->ch_layout.u.mask : 0;
      track.downmix = SpeechDownmix::create(static_cast<uint32_t>(channels), mask, format, frame->sample_rate);
      if (!track.downmix) err = AVERROR(EINVAL);
    }
    SwrContext* raw = nullptr;
    if (err >= 0) {
      err = swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_FLT, kOutputRate, &mono,
                                channels > 1 ? AV_SAMPLE_FMT_FLT : format, frame->sample_rate, 0, nullptr);
    }
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

  // Places a track's first frame on the time line where its time stamp
  // says; every later frame follows the previous one, whatever its time
  // stamp: a jump (a damaged stamp, a cut) neither inserts silence nor
  // overlaps, as FFmpeg's own tool plays it.
  void place(Track& track, const AVFrame* frame) {
    if (track.started) return;
    track.started = true;
    const int64_t stamp = frame->best_effort_timestamp;
    const int64_t at =
        stamp != AV_NOPTS_VALUE ? av_rescale_q(stamp, track.timeBase, AVRational{1, kOutputRate}) - origin_ : 0;
    const int64_t start = at >= 0 && at <= trustedEnd_ ? at : 0;
    track.outputEnd = start;
  }

  void convert(Track& track, const AVFrame* frame) {
    if (frame->nb_samples <= 0) return;
    if (frame->sample_rate < kMinInputRate || frame->sample_rate > kMaxInputRate) {
      throw HelperError::decodeFailed("unsupported audio configuration");
    }
    place(track, frame);
    ensureResampler(track, frame);
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const int channels = frame->ch_layout.nb_channels;
    const bool planar = av_sample_fmt_is_planar(format) != 0;
    const int planes = planar ? channels : 1;
    const size_t stride =
        static_cast<size_t>(av_get_bytes_per_sample(format)) * (planar ? 1u : static_cast<size_t>(channels));
    // Input samples per piece, so that one piece yields at most about
    // kPieceSamples output samples.
    const int pieceInput =
        static_cast<int>(std::max<int64_t>(1, static_cast<int64_t>(kPieceSamples) * frame->sample_rate / kOutputRate));
    std::vector<const uint8_t*> in(static_cast<size_t>(planes));
    for (int done = 0; done < frame->nb_samples;) {
      const int count = std::min(pieceInput, frame->nb_samples - done);
      for (int p = 0; p < planes; ++p)
        in[static_cast<size_t>(p)] = frame->extended_data[p] + static_cast<size_t>(done) * stride;
      convertPiece(track, in.data(), count);
      done += count;
    }
  }

  void convertPiece(Track& track, const uint8_t** in, int count) {
    const uint8_t* mono = nullptr;
    if (track.downmix) {
      count = track.downmix->mix(in, count);
      if (count < 0) throw HelperError::decodeFailed(avErrorText(count));
      if (count == 0) return;
      mono = reinterpret_cast<const uint8_t*>(track.downmix->mono());
      in = &mono;
    }
    const int capacity = swr_get_out_samples(track.resampler.get(), count);
    if (capacity <= 0) {
      if (swr_convert(track.resampler.get(), nullptr, 0, in, count) < 0)
        throw HelperError::decodeFailed("decoding failed");
      return;
    }
    scratch_.resize(static_cast<size_t>(capacity));
    uint8_t* out = reinterpret_cast<uint8_t*>(scratch_.data());
    const int produced = swr_convert(track.resampler.get(), &out, capacity, in, count);
    if (produced < 0) throw HelperError::decodeFailed(avErrorText(produced));
    add(track, static_cast<size_t>(produced));
  }

  void flushResampler(Track& track) {
    if (!track.resampler) return;
    for (;;) {
      const int capacity = std::max(swr_get_out_samples(track.resampler.get(), 0), 0) + 256;
      scratch_.resize(static_cast<size_t>(capacity));
      uint8_t* out = reinterpret_cast<uint8_t*>(scratch_.data());
      const int produced = swr_convert(track.resampler.get(), &out, capacity, nullptr, 0);
      if (produced <= 0) break;
      add(track, static_cast<size_t>(produced));
    }
  }

  // Adds the first `count` samples of scratch_ to the mix at the track's
  // place. Samples before what has been written already are late and
  // dropped.
  void add(Track& track, size_t count) {
    const int64_t at = track.outputEnd;
    track.outputEnd += static_cast<int64_t>(count);
    int64_t skip = std::max<int64_t>(0, written_ - at);
    if (skip >= static_cast<int64_t>(count)) return;
    // The mix never spans much more than the skew: audio far ahead of the
    // rest pushes the mix forward (a block at a time), and what a lagging
    // track has not delivered by then is silence.
    const int64_t end = track.outputEnd;
    if (end - written_ > kMaxSkew + kWriteBlockSamples) writeUpTo(end - kMaxSkew);
    skip = std::max<int64_t>(0, written_ - at);
    if (skip >= static_cast<int64_t>(count)) return;
    const auto offset = static_cast<size_t>(at + skip - written_);
    const size_t n = count - static_cast<size_t>(skip);
    if (mix_.size() < offset + n) {
      mix_.resize(offset + n, 0.0f);
      tracksAt_.resize(offset + n, 0);
    }
    for (size_t i = 0; i < n; ++i) {
      mix_[offset + i] += scratch_[static_cast<size_t>(skip) + i];
      ++tracksAt_[offset + i];
    }
  }

  // Writes what every track has reached (or all, when draining).
  void writeReady(bool draining) {
    int64_t ready = std::numeric_limits<int64_t>::max();
    int64_t furthest = written_;
    for (const auto& track : tracks_) {
      furthest = std::max(furthest, track->outputEnd);
      ready = std::min(ready, track->started ? track->outputEnd : written_);
    }
    if (draining) ready = furthest;
    if (draining || ready - written_ >= kWriteBlockSamples) writeUpTo(ready);
  }

  // Writes the mix up to time line position `end`: each sample is the
  // average of the tracks that have audio there; where none has, silence.
  void writeUpTo(int64_t end) {
    while (written_ < end) {
      const auto n = static_cast<size_t>(std::min<int64_t>(end - written_, kWriteBlockSamples));
      block_.assign(n, 0.0f);
      const size_t have = std::min(n, mix_.size());
      for (size_t i = 0; i < have; ++i) {
        block_[i] = tracksAt_[i] > 1 ? mix_[i] / static_cast<float>(tracksAt_[i]) : mix_[i];
      }
      mix_.erase(mix_.begin(), mix_.begin() + static_cast<std::ptrdiff_t>(have));
      tracksAt_.erase(tracksAt_.begin(), tracksAt_.begin() + static_cast<std::ptrdiff_t>(have));
      if constexpr (std::endian::native == std::endian::big) {
        for (float& f : block_) f = std::bit_cast<float>(__builtin_bswap32(std::bit_cast<uint32_t>(f)));
      }
      const std::string_view bytes(reinterpret_cast<const char*>(block_.data()), n * sizeof(float));
      if (const int err = sink_(bytes); err != 0) throw PlatformError(errnoDescription(err));
      written_ += static_cast<int64_t>(n);
    }
  }

  static constexpr int64_t kUnknownEnd = std::numeric_limits<int64_t>::max() / 4;
  static constexpr int kMaxRefusalsPerPacket = 64;

  const std::string& path_;
  const ByteSink& sink_;
  std::unique_ptr<FileSource> source_;  // outlives format_, which reads through it
  std::unique_ptr<AVFormatContext, FormatDeleter> format_;
  std::vector<std::unique_ptr<Track>> tracks_;
  std::vector<Track*> trackOfStream_;
  std::unique_ptr<AVFrame, FrameDeleter> frame_;
  std::unique_ptr<AVPacket, PacketDeleter> packet_;
  int64_t origin_ = 0;                // the time line's start, in output samples of the file's clock
  int64_t trustedEnd_ = kUnknownEnd;  // no audio is placed beyond this
  int64_t written_ = 0;               // time line position of the next sample to write
  std::vector<float> mix_;            // sums of the tracks' samples from written_ on
  std::vector<uint16_t> tracksAt_;    // how many tracks added to each of them
  std::vector<float> scratch_;
  std::vector<float> block_;
};

}  // namespace

void decodeMedia(const std::string& path, const ByteSink& sink) {
  Decoder(path, sink).run();
}

}  // namespace tavrin::apple_speech
