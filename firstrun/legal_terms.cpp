#include "firstrun/legal_terms.h"

#include <ctime>

#include "base/digest.h"
#include "base/errors.h"
#include "net/private_files.h"

namespace fs = std::filesystem;

namespace halvenor::legal {
namespace {

// A licence text is a few pages; anything larger is not one of ours.
constexpr std::size_t kMaxDocumentBytes = 1024 * 1024;

struct Known {
  const char* title;
  const char* file;
};

// The reading order shown to the person agreeing, and the order of the record.
constexpr Known kDocuments[] = {
    {"Licence terms", "LICENCE-TERMS.txt"},
    {"Safety and data protection notice", "SAFETY-NOTICE.txt"},
};

constexpr char kNotAgreed[] = "Read and agree to the licence terms to continue.";

std::string utc_now_iso8601() {
  std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

Json document_list(const std::vector<LegalDocument>& docs) {
  Json list = Json::array();
  for (const LegalDocument& doc : docs)
    list.push_back(Json{{"name", doc.file.filename().string()}, {"sha256", doc.sha256}});
  return list;
}

}  // namespace

std::vector<LegalDocument> documents(const fs::path& legal_folder) {
  std::vector<LegalDocument> out;
  for (const Known& known : kDocuments) {
    const fs::path file = legal_folder / known.file;
    std::string bytes;
    try {
      bytes = setup::read_file(file, kMaxDocumentBytes);
    } catch (const std::exception&) {
      throw Invalid("The licence terms could not be read (" + file.string() +
                    "). Run setup from a complete copy of the program.");
    }
    out.push_back(LegalDocument{known.title, file, sha256_hex(bytes)});
  }
  return out;
}

Json agreement(const fs::path& legal_folder, bool agreed) {
  if (!agreed) throw Invalid(kNotAgreed);
  return Json{{"accepted", true}, {"documents", document_list(documents(legal_folder))}, {"accepted_at", utc_now_iso8601()}};
}

void validate(const fs::path& legal_folder, const Json& acceptance) {
  if (!acceptance.is_object() || acceptance.value("accepted", Json()) != Json(true)) throw Invalid(kNotAgreed);
  const Json current = document_list(documents(legal_folder));
  auto agreed = acceptance.find("documents");
  if (agreed == acceptance.end() || *agreed != current)
    throw Invalid("The licence terms changed after they were agreed. Read and agree to them again.");
}

void record(const fs::path& legal_folder, const fs::path& into, const Json& acceptance, const std::string& kind) {
  validate(legal_folder, acceptance);
  Json file = {{"kind", kind},
               {"accepted", true},
               {"documents", acceptance["documents"]},
               {"accepted_at", acceptance.value("accepted_at", Json(""))}};
  setup::private_write(into / "legal-acceptance.json", json::indented(file));
}

}  // namespace halvenor::legal
