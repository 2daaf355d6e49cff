#include "agent/windows/certificate_check.h"

#include <ws2tcpip.h>

#include <array>
#include <cctype>

#include "base/sha256.h"

namespace halvenor::agent::win32 {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
constexpr std::string_view kEnd = "-----END CERTIFICATE-----";

std::string base64_lines(const unsigned char* data, std::size_t size) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out, line;
  for (std::size_t i = 0; i < size; i += 3) {
    const unsigned value = (data[i] << 16) | (i + 1 < size ? data[i + 1] << 8 : 0) | (i + 2 < size ? data[i + 2] : 0);
    line += kAlphabet[(value >> 18) & 63];
    line += kAlphabet[(value >> 12) & 63];
    line += i + 1 < size ? kAlphabet[(value >> 6) & 63] : '=';
    line += i + 2 < size ? kAlphabet[value & 63] : '=';
    if (line.size() == 64) {
      out += line + "\n";
      line.clear();
    }
  }
  if (!line.empty()) out += line + "\n";
  return out;
}

// The decoded extension, freed with LocalFree.
template <typename T>
std::unique_ptr<T, decltype(&LocalFree)> decode_extension(const CERT_CONTEXT* cert, const char* oid,
                                                          const char* structure) {
  const CERT_EXTENSION* extension =
      CertFindExtension(oid, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  void* decoded = nullptr;
  DWORD size = 0;
  if (extension == nullptr ||
      !CryptDecodeObjectEx(X509_ASN_ENCODING, structure, extension->Value.pbData, extension->Value.cbData,
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &decoded, &size))
    decoded = nullptr;
  return {static_cast<T*>(decoded), &LocalFree};
}

bool signed_by(const CERT_CONTEXT* subject, const CERT_CONTEXT* issuer) {
  return CertCompareCertificateName(X509_ASN_ENCODING, &subject->pCertInfo->Issuer, &issuer->pCertInfo->Subject) &&
         CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
                                           const_cast<CERT_CONTEXT*>(subject), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
                                           const_cast<CERT_CONTEXT*>(issuer), 0, nullptr);
}

void check_dates(const CERT_CONTEXT* cert, const char* whose) {
  const LONG when = CertVerifyTimeValidity(nullptr, cert->pCertInfo);
  if (when < 0)
    throw CertificateRefused(std::string("The ") + whose +
                             " certificate is not valid yet (check this computer's clock).");
  if (when > 0) throw CertificateRefused(std::string("The ") + whose + " certificate has expired.");
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string narrow(const wchar_t* text) {
  std::string out;
  for (; text != nullptr && *text != 0; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

// A certificate name matches the host as OpenSSL's check does: letters fold
// to lower case, and "*." covers exactly one leftmost label.
bool dns_matches(const std::string& pattern, const std::string& host) {
  const std::string name = lower(pattern);
  if (name == host) return true;
  if (name.rfind("*.", 0) != 0) return false;
  const std::size_t dot = host.find('.');
  return dot != std::string::npos && dot > 0 && host.substr(dot) == name.substr(1);
}

std::vector<unsigned char> address_bytes(const std::string& host) {
  in_addr v4{};
  if (InetPtonA(AF_INET, host.c_str(), &v4) == 1) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&v4);
    return {bytes, bytes + 4};
  }
  in6_addr v6{};
  if (InetPtonA(AF_INET6, host.c_str(), &v6) == 1) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&v6);
    return {bytes, bytes + 16};
  }
  return {};
}

void check_name(const CERT_CONTEXT* cert, const std::string& host, bool host_is_address) {
  auto names = decode_extension<CERT_ALT_NAME_INFO>(cert, szOID_SUBJECT_ALT_NAME2, X509_ALTERNATE_NAME);
  const std::vector<unsigned char> address = host_is_address ? address_bytes(host) : std::vector<unsigned char>{};
  if (names) {
    for (DWORD i = 0; i < names->cAltEntry; ++i) {
      const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
      if (!host_is_address && entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME &&
          dns_matches(narrow(entry.pwszDNSName), lower(host)))
        return;
      if (host_is_address && entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && !address.empty() &&
          entry.IPAddress.cbData == address.size() &&
          std::equal(address.begin(), address.end(), entry.IPAddress.pbData))
        return;
    }
  }
  throw CertificateRefused("The server's certificate is not issued for " + host +
                           " (the address in server_url must be one of the names the certificate carries).");
}

}  // namespace

std::vector<Certificate> load_pem_certificates(std::string_view pem) {
  std::vector<Certificate> out;
  for (std::size_t at = pem.find(kBegin); at != std::string_view::npos; at = pem.find(kBegin, at)) {
    const std::size_t end = pem.find(kEnd, at);
    if (end == std::string_view::npos) throw CertificateRefused("A PEM certificate block is not closed.");
    const std::string block(pem.substr(at, end + kEnd.size() - at));
    at = end + kEnd.size();
    DWORD size = 0;
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                              &size, nullptr, nullptr))
      throw CertificateRefused("A PEM certificate block is not valid base64.");
    std::vector<BYTE> der(size);
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                              der.data(), &size, nullptr, nullptr))
      throw CertificateRefused("A PEM certificate block is not valid base64.");
    const CERT_CONTEXT* cert = CertCreateCertificateContext(kEncoding, der.data(), size);
    if (cert == nullptr) throw CertificateRefused("A PEM block does not hold a readable X.509 certificate.");
    out.emplace_back(cert);
  }
  return out;
}

std::string pem_of(const CERT_CONTEXT* cert) {
  return std::string(kBegin) + "\n" + base64_lines(cert->pbCertEncoded, cert->cbCertEncoded) + std::string(kEnd) +
         "\n";
}

std::string sha256_fingerprint(const CERT_CONTEXT* cert) {
  const auto digest =
      sha256(std::string_view(reinterpret_cast<const char*>(cert->pbCertEncoded), cert->cbCertEncoded));
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char byte : digest) {
    if (!out.empty()) out += ':';
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

bool is_authority(const CERT_CONTEXT* cert) {
  auto constraints =
      decode_extension<CERT_BASIC_CONSTRAINTS2_INFO>(cert, szOID_BASIC_CONSTRAINTS2, X509_BASIC_CONSTRAINTS2);
  return constraints && constraints->fCA;
}

void check_server_certificate(const CERT_CONTEXT* server, const std::vector<Certificate>& authorities,
                              const std::string& host, bool host_is_address) {
  if (server == nullptr) throw CertificateRefused("The server presented no certificate.");
  check_dates(server, "server's");
  check_name(server, host, host_is_address);
  std::vector<Certificate> path;  // intermediates found so far, each issuing the one before
  const CERT_CONTEXT* current = server;
  for (int depth = 0; depth <= kMaxIntermediates; ++depth) {
    for (const Certificate& authority : authorities) {
      if (signed_by(current, authority.get())) {
        check_dates(authority.get(), "trusted authority's");
        return;
      }
    }
    const CERT_CONTEXT* next = nullptr;
    if (server->hCertStore != nullptr) {
      const CERT_CONTEXT* found = nullptr;
      while ((found = CertFindCertificateInStore(server->hCertStore, kEncoding, 0, CERT_FIND_SUBJECT_NAME,
                                                 &current->pCertInfo->Issuer, found)) != nullptr) {
        if (!CertCompareCertificate(kEncoding, found->pCertInfo, current->pCertInfo) && is_authority(found) &&
            signed_by(current, found)) {
          next = CertDuplicateCertificateContext(found);
          CertFreeCertificateContext(found);
          break;
        }
      }
    }
    if (next == nullptr) break;
    path.emplace_back(next);
    check_dates(next, "intermediate authority's");
    current = next;
  }
  throw CertificateRefused(
      "The server's certificate is not issued by the certificate authority this computer trusts for the alert "
      "server.");
}

}  // namespace halvenor::agent::win32
