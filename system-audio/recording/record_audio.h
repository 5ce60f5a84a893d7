// The `record` command: records system audio into the raw sample file until
// a number of seconds has passed or a stop signal comes, and returns the
// statistics.
//
// Two paths, chosen by the process-tap gate: recordAudioViaTap (the
// SystemAudioTap, converted to 16 kHz mono float by a LiveAudioConverter on a
// consumer thread, written by a TapRecordingWriter) and
// recordAudioViaScreenCapture (a screen-capture stream configured for 16 kHz
// mono, decoded and clamped by an AudioRecordingOutput). Both write the same
// file, start file and statistics.
//
// Failures: outputUnavailable when the file cannot be opened; the tap's
// CoreAudioError / SystemAudioError; streamStopped with the server's reason
// when the capture stream dies on either path (the wait ends at once); the
// screen-capture service's PlatformError, noDisplay; and, when appending to the file
// fails (a full disk), the platform's description of that failure as a
// PlatformError: the recording ends at once and no statistics are returned.
// On every exit after the file was opened the file is closed and keeps what
// was written.
#pragma once

#include <functional>

#include "system-audio/base/requests.h"
#include "system-audio/base/system_env.h"
#include "system-audio/recording/recording_output.h"
#include "system-audio/sound-server/sound_server.h"
#include "system-audio/sources/screen_capture.h"

namespace tavrin::system_audio {

struct RecordingPlatform {
  SystemEnv& env;
  PlatformGates& gates;
  SoundServer& server;  // for the tap
  ScreenCaptureService& screenCapture;
  std::function<double()> wallClock = wallClockSeconds;
};

// The longest wait `--seconds` can ask for: the wait is measured in unsigned
// 64-bit nanoseconds, so larger values are capped here.
constexpr uint64_t kMaxRecordSeconds = UINT64_MAX / 1'000'000'000ull;  // 18446744073

AudioRecordingStats recordAudio(const RecordRequest& request, RecordingPlatform& platform);
// The two paths, writing to the output recordAudio opened.
AudioRecordingStats recordAudioViaTap(const RecordRequest& request, OutputFile& file, RecordingPlatform& platform);
AudioRecordingStats recordAudioViaScreenCapture(const RecordRequest& request, OutputFile& file,
                                                RecordingPlatform& platform);

// Waits for the recording's end: `seconds` (capped at kMaxRecordSeconds) when
// given, otherwise a stop signal. Ends early when `watcher` holds an error
// or a held termination signal comes.
void waitForRecordingEnd(const RecordRequest& request, const StreamDeathWatcher& watcher, SystemEnv& env);

}  // namespace tavrin::system_audio
