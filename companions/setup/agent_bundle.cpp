#include "companions/setup/agent_bundle.h"

#include <zip.h>

#include <ctime>
#include <memory>
#include <stdexcept>
#include <vector>

#include "base/json_text.h"

namespace halvenor::setup {
namespace {

// Owner read/write only, as a regular file, in the Unix attribute layout
// (the upper 16 bits of the external attributes).
constexpr zip_uint32_t kPrivateFileAttributes = (0100600u) << 16;
constexpr zip_uint32_t kPublicFileAttributes = (0100644u) << 16;

std::string home_path(const char* below_home, const char* file) {
  return std::string("%h/") + below_home + (file[0] ? "/" : "") + file;
}

std::string readme(const AgentBundle& b) {
  const std::string settings_dir = std::string("~/") + kAgentSettingsFolder;
  std::string name = b.display_name.empty() ? b.device_id : b.display_name + " (" + b.device_id + ")";
  return "Halvenor Mass Communication - desktop alert agent for " + name +
         "\n"
         "\n"
         "This bundle enrols ONE receiving computer. settings.json holds the computer's access\n"
         "credential: keep the bundle private, install it for the desktop user of this computer\n"
         "only, and delete the downloaded ZIP afterwards. If it is ever exposed, rotate the\n"
         "computer's credential in Administration and download a new bundle.\n"
         "\n"
         "Server: " + b.server_url +
         "\n"
         "Certificate authority SHA-256 fingerprint:\n  " + b.ca_fingerprint +
         "\n"
         "\n"
         "Install on Linux (X11 or Wayland desktop)\n"
         "1. Once per computer, with administrator rights: install the agent program as\n"
         "   " + kAgentProgram +
         "\n"
         "   It needs the Tcl/Tk 8.6 run-time (Debian/Ubuntu: apt install libtk8.6). Optional:\n"
         "   libnss3-tools (certutil, so the agent can add the authority to this user's\n"
         "   browsers when Administration asks) and pulseaudio-utils (paplay, for the alarm\n"
         "   sound of critical alerts; without it the display's bell sounds).\n"
         "2. As the desktop user:\n"
         "     mkdir -p " + settings_dir + " && chmod 700 " + settings_dir +
         "\n"
         "     install -m 600 settings.json " + settings_dir + "/settings.json\n"
         "3. Start the agent with the desktop session, using ONE of these (never both, or\n"
         "   alerts are shown twice):\n"
         "   a) systemd user service (preferred):\n"
         "        mkdir -p ~/.config/systemd/user\n"
         "        cp " + kBundleSystemdUnit + " ~/.config/systemd/user/\n"
         "        systemctl --user daemon-reload\n"
         "        systemctl --user enable --now " + kBundleSystemdUnit +
         "\n"
         "   b) desktop autostart, for desktops without a systemd user session:\n"
         "        mkdir -p ~/.config/autostart\n"
         "        cp " + kBundleAutostart + " ~/.config/autostart/\n"
         "      then sign out and in again.\n"
         "4. Check: within a minute the computer reports in to the server; send it an\n"
         "   EXERCISE alert from the dashboard and acknowledge it on screen.\n"
         "\n"
         "Live incidents\n"
         "settings.json holds \"allow_live_incidents\": true, so this computer also shows live\n"
         "incidents whenever the server and this computer's entry allow them. Set it to\n"
         "false to show exercises only, then restart the agent.\n"
         "\n"
         "Receipts and state\n"
         "The agent keeps receipts that have not reached the server yet, and which alerts\n"
         "were acknowledged here, in ~/" + kAgentStateFolder + " (private to the user). They are\n"
         "sent in order once the server can be reached again; an acknowledged alert is\n"
         "never shown again, even after a restart.\n"
         "\n"
         "Certificate trust\n"
         "The agent trusts only the certificate authority in settings.json (the same one as\n"
         + kBundleCaCertificate +
         "). Compare its fingerprint above with the one shown in\n"
         "Administration before installing. When the server's authority changes, the agent\n"
         "fetches the new one from the server over the connection it already trusts.\n"
         "\n"
         "Removal\n"
         "  systemctl --user disable --now " + kBundleSystemdUnit +
         "   (or delete ~/.config/autostart/" + kBundleAutostart +
         ")\n"
         "  rm -r " + settings_dir + " ~/" + kAgentStateFolder + "\n";
}

std::string systemd_unit() {
  return std::string(
             "[Unit]\n"
             "Description=Halvenor Mass Communication desktop alert agent\n"
             "After=graphical-session.target\n"
             "PartOf=graphical-session.target\n"
             "\n"
             "[Service]\n"
             "ExecStart=") +
         kAgentProgram + " --settings " + home_path(kAgentSettingsFolder, kBundleSettings) + " --state-dir " +
         home_path(kAgentStateFolder, "") +
         "\n"
         "Restart=always\n"
         "RestartSec=5\n"
         "\n"
         "[Install]\n"
         "WantedBy=graphical-session.target\n";
}

// Exec lines do not expand the home folder, so a shell does; "\\$" is the
// desktop-entry escape for a literal "$" inside a quoted argument.
std::string autostart_entry() {
  return std::string(
             "[Desktop Entry]\n"
             "Type=Application\n"
             "Name=Halvenor alert agent\n"
             "Comment=Shows emergency alerts from Halvenor Mass Communication\n"
             "Exec=sh -c \"exec ") +
         kAgentProgram + " --settings \\\\$HOME/" + kAgentSettingsFolder + "/" + kBundleSettings +
         " --state-dir \\\\$HOME/" + kAgentStateFolder +
         "\"\n"
         "Terminal=false\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

struct ZipDeleter {
  void operator()(zip_t* z) const noexcept { zip_discard(z); }
};
struct ZipSourceDeleter {
  void operator()(zip_source_t* s) const noexcept { zip_source_free(s); }
};

// A zip_error_t of our own; zip_error_strerror stores its text inside it.
struct LocalZipError {
  zip_error_t error;
  LocalZipError() { zip_error_init(&error); }
  ~LocalZipError() { zip_error_fini(&error); }
};

[[noreturn]] void fail(const char* what, zip_error_t* error) {
  throw std::runtime_error(std::string("agent bundle: ") + what + ": " + zip_error_strerror(error));
}

}  // namespace

std::string agent_settings_json(const AgentBundle& b) {
  Json settings = {{"server_url", b.server_url},
                   {"device_id", b.device_id},
                   {"token", b.token},
                   {"ca_certificate", b.ca_pem},
                   {"ca_sha256_fingerprint", b.ca_fingerprint},
                   {"allow_live_incidents", true}};
  return json::indented(settings) + "\n";
}

std::string agent_bundle_zip(const AgentBundle& bundle, double unix_now) {
  // The contents must outlive zip_close, which is when libzip reads them.
  const std::vector<std::pair<const char*, std::string>> entries = {
      {kBundleSettings, agent_settings_json(bundle)},
      {kBundleCaCertificate, bundle.ca_pem},
      {kBundleReadme, readme(bundle)},
      {kBundleSystemdUnit, systemd_unit()},
      {kBundleAutostart, autostart_entry()},
  };

  LocalZipError local;
  std::unique_ptr<zip_source_t, ZipSourceDeleter> buffer(zip_source_buffer_create(nullptr, 0, 0, &local.error));
  if (!buffer) fail("no memory", &local.error);
  std::unique_ptr<zip_t, ZipDeleter> archive(zip_open_from_source(buffer.get(), ZIP_TRUNCATE, &local.error));
  if (!archive) fail("cannot start archive", &local.error);
  // The archive now refers to the buffer; keep our own reference to read it back.
  zip_source_keep(buffer.get());

  const time_t stamp = static_cast<time_t>(unix_now);
  for (const auto& [name, content] : entries) {
    zip_source_t* source = zip_source_buffer(archive.get(), content.data(), content.size(), 0);
    if (source == nullptr) fail("cannot add entry", zip_get_error(archive.get()));
    zip_int64_t index = zip_file_add(archive.get(), name, source, ZIP_FL_ENC_UTF_8);
    if (index < 0) {
      zip_source_free(source);
      fail("cannot add entry", zip_get_error(archive.get()));
    }
    const zip_uint64_t at = static_cast<zip_uint64_t>(index);
    const bool secret = std::string_view(name) == kBundleSettings;
    if (zip_file_set_external_attributes(archive.get(), at, 0, ZIP_OPSYS_UNIX,
                                         secret ? kPrivateFileAttributes : kPublicFileAttributes) != 0 ||
        zip_file_set_mtime(archive.get(), at, stamp, 0) != 0)
      fail("cannot set entry attributes", zip_get_error(archive.get()));
  }
  if (zip_close(archive.get()) != 0) fail("cannot finish archive", zip_get_error(archive.get()));
  archive.release();  // zip_close freed it

  if (zip_source_open(buffer.get()) != 0) fail("cannot read archive", zip_source_error(buffer.get()));
  std::string bytes;
  if (zip_source_seek(buffer.get(), 0, SEEK_END) == 0) {
    zip_int64_t size = zip_source_tell(buffer.get());
    if (size > 0 && zip_source_seek(buffer.get(), 0, SEEK_SET) == 0) {
      bytes.resize(static_cast<std::size_t>(size));
      zip_int64_t read = zip_source_read(buffer.get(), bytes.data(), static_cast<zip_uint64_t>(size));
      if (read != size) bytes.clear();
    }
  }
  zip_source_close(buffer.get());
  if (bytes.empty()) fail("cannot read archive", zip_source_error(buffer.get()));
  return bytes;
}

}  // namespace halvenor::setup
