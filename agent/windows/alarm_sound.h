// The alarm of a critical alert on Windows: one ring each time ring() is
// called (the screens ring every few seconds while a critical alert is up,
// as the Linux desktop rings its bell). A ring plays, in order of preference,
// alarm.wav beside the program (an installation may bundle one), the
// system's "critical stop" sound, or the message beep; a computer without a
// sound device still shows the alert, so no ring is ever an error. Playing
// without waiting reports success even with no sound device at all, so the
// device count decides whether a sound is tried.
#pragma once

#include <filesystem>

namespace halvenor::agent::win32 {

class AlarmSound {
 public:
  enum class Rang { kBundledWave, kSystemSound, kBeep, kNothing };

  AlarmSound();
  ~AlarmSound();
  AlarmSound(const AlarmSound&) = delete;
  AlarmSound& operator=(const AlarmSound&) = delete;

  // Starts one ring without waiting for it; says which sound it started.
  Rang ring();
  // Stops a ring that is still playing.
  void silence();

 private:
  std::filesystem::path wave_;  // empty when none is bundled
};

const char* rang_name(AlarmSound::Rang rang);

}  // namespace halvenor::agent::win32
