#include "agent/windows/alarm_sound.h"

#include <windows.h>
#include <mmsystem.h>

#include <system_error>
#include <vector>

namespace halvenor::agent::win32 {
namespace {

std::filesystem::path bundled_wave() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      const std::filesystem::path wave =
          std::filesystem::path(std::wstring(buffer.data(), length)).parent_path() / L"alarm.wav";
      std::error_code missing;
      return std::filesystem::is_regular_file(wave, missing) ? wave : std::filesystem::path();
    }
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

AlarmSound::AlarmSound() : wave_(bundled_wave()) {}

AlarmSound::~AlarmSound() { silence(); }

AlarmSound::Rang AlarmSound::ring() {
  // SND_NODEFAULT: a missing sound must fall through to the next choice here
  // instead of Windows quietly substituting its default ding.
  if (waveOutGetNumDevs() > 0) {
    if (!wave_.empty() && PlaySoundW(wave_.c_str(), nullptr, SND_FILENAME | SND_ASYNC | SND_NODEFAULT))
      return Rang::kBundledWave;
    if (PlaySoundW(L"SystemHand", nullptr, SND_ALIAS | SND_ASYNC | SND_NODEFAULT)) return Rang::kSystemSound;
  }
  if (MessageBeep(MB_ICONHAND)) return Rang::kBeep;
  return Rang::kNothing;
}

void AlarmSound::silence() { PlaySoundW(nullptr, nullptr, 0); }

const char* rang_name(AlarmSound::Rang rang) {
  switch (rang) {
    case AlarmSound::Rang::kBundledWave:
      return "bundled alarm.wav";
    case AlarmSound::Rang::kSystemSound:
      return "system sound SystemHand";
    case AlarmSound::Rang::kBeep:
      return "message beep";
    case AlarmSound::Rang::kNothing:
      break;
  }
  return "nothing";
}

}  // namespace halvenor::agent::win32
