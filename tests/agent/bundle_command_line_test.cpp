// The installation bundle and the agent agree: the bundle's settings are
// accepted as they are, and the systemd unit and the autostart entry start
// the agent with a command line it accepts, naming the bundle's paths.
#include <gtest/gtest.h>
#include <zip.h>

#include <map>
#include <sstream>

#include "agent/agent_options.h"
#include "agent/agent_settings.h"
#include "companions/setup/agent_bundle.h"
#include "net/certificates.h"

namespace halvenor::agent {
namespace {

std::map<std::string, std::string> unzip(const std::string& bytes) {
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
  std::map<std::string, std::string> entries;
  for (zip_int64_t i = 0; archive != nullptr && i < zip_get_num_entries(archive, 0); ++i) {
    const auto at = static_cast<zip_uint64_t>(i);
    zip_stat_t st;
    zip_stat_index(archive, at, 0, &st);
    std::string content(st.size, '\0');
    zip_file_t* file = zip_fopen_index(archive, at, 0);
    zip_fread(file, content.data(), st.size);
    zip_fclose(file);
    entries[zip_get_name(archive, at, 0)] = content;
  }
  if (archive != nullptr) zip_close(archive);
  zip_error_fini(&error);
  return entries;
}

std::string line_starting(const std::string& text, const std::string& prefix) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind(prefix, 0) == 0) return line.substr(prefix.size());
  return "";
}

std::vector<std::string> words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> out;
  for (std::string word; in >> word;) out.push_back(word);
  return out;
}

TEST(BundleCommandLineTest, BundleSettingsAndStartersMatchTheAgent) {
  auto key = setup::generate_ec_p256_key();
  auto ca = setup::make_ca(key.get(), "Bundle Authority", 1.7e9);
  setup::AgentBundle bundle{"ward-pc-7", "Ward 7", "https://alerts.hospital.example:8443",
                            "device-token-0123456789", setup::pem(ca.get()), setup::sha256_fingerprint(ca.get())};
  auto entries = unzip(setup::agent_bundle_zip(bundle, 1.7e9));
  ASSERT_EQ(entries.size(), setup::kBundleEntries.size());

  AgentSettings settings = parse_agent_settings(json::parse_text(entries[setup::kBundleSettings]));
  EXPECT_EQ(settings.device_id, "ward-pc-7");
  EXPECT_TRUE(settings.allow_live_incidents);
  EXPECT_NE(entries[setup::kBundleReadme].find("\"allow_live_incidents\": true"), std::string::npos);

  const std::string settings_path = std::string(setup::kAgentSettingsFolder) + "/" + setup::kBundleSettings;
  // systemd expands %h to the home folder.
  auto unit = words(line_starting(entries[setup::kBundleSystemdUnit], "ExecStart="));
  ASSERT_FALSE(unit.empty());
  EXPECT_EQ(unit.front(), setup::kAgentProgram);
  AgentOptions from_unit = parse_agent_options({unit.begin() + 1, unit.end()});
  EXPECT_EQ(from_unit.settings, "%h/" + settings_path);
  EXPECT_EQ(from_unit.state_dir, std::string("%h/") + setup::kAgentStateFolder);
  EXPECT_FALSE(from_unit.headless);

  // Exec=sh -c "exec PROGRAM ARGS": after the desktop-entry unescaping the
  // shell sees $HOME.
  std::string exec = line_starting(entries[setup::kBundleAutostart], "Exec=sh -c \"exec ");
  ASSERT_FALSE(exec.empty());
  ASSERT_EQ(exec.back(), '"');
  exec.pop_back();
  for (std::size_t at; (at = exec.find("\\\\$")) != std::string::npos;) exec.replace(at, 3, "$");
  auto autostart = words(exec);
  EXPECT_EQ(autostart.front(), setup::kAgentProgram);
  AgentOptions from_entry = parse_agent_options({autostart.begin() + 1, autostart.end()});
  EXPECT_EQ(from_entry.settings, "$HOME/" + settings_path);
  EXPECT_EQ(from_entry.state_dir, std::string("$HOME/") + setup::kAgentStateFolder);
}

}  // namespace
}  // namespace halvenor::agent
