// The licence documents a person agrees to before the first install, and the
// record of that agreement kept with the installation.
//
// The agreement names each document by file name and SHA-256 so that a later
// change to the documents is visible as a mismatch, not silently accepted.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "base/json_text.h"

namespace halvenor::legal {

struct LegalDocument {
  std::string title;
  std::filesystem::path file;
  std::string sha256;
};

// The documents in their fixed reading order; throws when one is unreadable.
std::vector<LegalDocument> documents(const std::filesystem::path& legal_folder);

// The acceptance value; throws when not agreed or a document is unreadable.
Json agreement(const std::filesystem::path& legal_folder, bool agreed);

// Throws unless `acceptance` (Json null = absent) accepts the current documents.
void validate(const std::filesystem::path& legal_folder, const Json& acceptance);

// Writes <into>/legal-acceptance.json as a private file.
void record(const std::filesystem::path& legal_folder, const std::filesystem::path& into,
            const Json& acceptance, const std::string& kind);

inline constexpr char kAgreementLabel[] = "I have read and agree to the licence terms above";  // check box text

}  // namespace halvenor::legal
