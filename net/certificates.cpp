#include "net/certificates.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <limits>
#include <stdexcept>

#include <openssl/asn1.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>

// inet_pton/inet_ntop: POSIX here; Windows has the same pair in <ws2tcpip.h>.
#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#endif

#include "base/errors.h"

namespace halvenor::setup {
namespace {

constexpr char kHostMessage[] =
    "Enter the server's DNS name or IP address (for example alerts.hospital.example or "
    "10.0.0.5).";
constexpr char kNotPemMessage[] = "The certificate file is not a PEM certificate.";
constexpr char kBadDatesMessage[] = "The certificate's validity dates cannot be read.";
constexpr int kSecondsPerDay = 86400;

struct Asn1StringDeleter {
  void operator()(ASN1_STRING* p) const noexcept { ASN1_STRING_free(p); }
};
struct GeneralNameDeleter {
  void operator()(GENERAL_NAME* p) const noexcept { GENERAL_NAME_free(p); }
};
using Asn1StringPtr = std::unique_ptr<ASN1_STRING, Asn1StringDeleter>;
using GeneralNamePtr = std::unique_ptr<GENERAL_NAME, GeneralNameDeleter>;

// An OpenSSL call failed for a reason no input explains. The thread's error
// queue is emptied so that a stale entry cannot confuse a later call.
[[noreturn]] void openssl_failure(const char* what) {
  std::string detail;
  if (unsigned long code = ERR_peek_last_error(); code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    detail = std::string(": ") + text;
  }
  ERR_clear_error();
  throw std::runtime_error(std::string("OpenSSL ") + what + " failed" + detail);
}

[[noreturn]] void refuse(const std::string& message) {
  ERR_clear_error();
  throw Invalid(message);
}

BioPtr memory_bio_from(std::string_view bytes) {
  // Callers bound the size by kMaxPemBytes, so the int conversion is exact.
  BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
  if (!bio) openssl_failure("BIO_new_mem_buf");
  return bio;
}

BioPtr memory_bio() {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) openssl_failure("BIO_new");
  return bio;
}

std::string bio_text(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return std::string(data, static_cast<std::size_t>(size));
}

void check_pem_size(std::string_view pem) {
  if (pem.size() > kMaxPemBytes) refuse("The certificate file is too large.");
}

bool ascii_iequal(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::string_view asn1_view(const ASN1_STRING* s) {
  return {reinterpret_cast<const char*>(ASN1_STRING_get0_data(s)),
          static_cast<std::size_t>(ASN1_STRING_length(s))};
}

// ---- Host names ----------------------------------------------------------

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::string address_text(const unsigned char* bytes, std::size_t size) {
  char text[INET6_ADDRSTRLEN] = {};
  int family = size == 4 ? AF_INET : AF_INET6;
  if (inet_ntop(family, bytes, text, sizeof text) == nullptr) return {};
  return text;
}

bool parse_address(std::string_view host, HostIdentity& out) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    if (host.find(':') == std::string_view::npos) return false;  // "[10.0.0.5]"
  }
  const std::string text(host);
  unsigned char bytes[16];
  int family = text.find(':') == std::string::npos ? AF_INET : AF_INET6;
  if (inet_pton(family, text.c_str(), bytes) != 1) return false;
  std::size_t size = family == AF_INET ? 4 : 16;
  out.kind = HostIdentity::Ip;
  out.address.assign(bytes, bytes + size);
  out.text = address_text(bytes, size);
  return true;
}

bool valid_dns_label(std::string_view label) {
  if (label.empty() || label.size() > kMaxDnsLabelLength) return false;
  if (label.front() == '-' || label.back() == '-') return false;
  return std::all_of(label.begin(), label.end(),
                     [](char c) { return is_letter(c) || is_digit(c) || c == '-'; });
}

// ---- Names and times -----------------------------------------------------

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

double asn1_time_seconds(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) refuse(kBadDatesMessage);
  long long days = days_from_civil(tm.tm_year + 1900LL, static_cast<unsigned>(tm.tm_mon + 1),
                                   static_cast<unsigned>(tm.tm_mday));
  return static_cast<double>(days * kSecondsPerDay + tm.tm_hour * 3600LL + tm.tm_min * 60LL +
                             tm.tm_sec);
}

void set_time(ASN1_TIME* field, double unix_seconds) {
  if (ASN1_TIME_set(field, static_cast<std::time_t>(std::floor(unix_seconds))) == nullptr)
    openssl_failure("ASN1_TIME_set");
}

bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t extra;
    unsigned min;
    unsigned cp;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { extra = 1; min = 0x80; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { extra = 2; min = 0x800; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { extra = 3; min = 0x10000; cp = c & 0x07; }
    else return false;
    if (extra >= s.size() - i) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

std::string name_text(const X509_NAME* name, unsigned long flags) {
  BioPtr bio = memory_bio();
  if (X509_NAME_print_ex(bio.get(), name, 0, flags) < 0) {
    ERR_clear_error();
    return {};
  }
  return bio_text(bio.get());
}

// RFC 2253 text with characters shown as UTF-8; if the certificate's strings
// do not decode, the fully escaped (pure ASCII) form instead.
std::string display_name(const X509_NAME* name) {
  std::string text = name_text(name, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  if (!text.empty() && valid_utf8(text)) return text;
  return name_text(name, XN_FLAG_RFC2253);
}

// SAN DNS entries are IA5 text in principle, but an imported certificate may
// carry any bytes; show those as \xNN.
std::string printable(std::string_view bytes) {
  std::string out;
  for (char c : bytes) {
    if (c >= 0x20 && c < 0x7F) {
      out += c;
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", static_cast<unsigned char>(c));
      out += esc;
    }
  }
  return out;
}

GeneralNamesPtr subject_alt_names(const X509* cert) {
  // NULL both when absent and when the extension appears twice.
  GeneralNamesPtr names(static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  if (!names) ERR_clear_error();
  return names;
}

bool dns_entry_names(std::string_view entry, std::string_view host) {
  if (ascii_iequal(entry, host)) return true;
  if (entry.size() < 2 || entry.substr(0, 2) != "*.") return false;
  std::string_view base = entry.substr(2);
  // "*.example" would cover a whole top-level domain; browsers refuse it.
  if (base.find('.') == std::string_view::npos || base.find('*') != std::string_view::npos)
    return false;
  std::size_t dot = host.find('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return ascii_iequal(host.substr(dot + 1), base);
}

// ---- Building certificates -------------------------------------------------

const EVP_MD* signing_digest(EVP_PKEY* key) {
  // EdDSA signs the message itself; the other key types sign a SHA-256 hash.
  if (EVP_PKEY_is_a(key, "ED25519") || EVP_PKEY_is_a(key, "ED448")) return nullptr;
  return EVP_sha256();
}

void set_random_serial(X509* cert) {
  unsigned char serial[kSerialBytes];
  if (RAND_bytes(serial, sizeof serial) != 1) openssl_failure("RAND_bytes");
  // Clear the sign bit and set the next one: positive, and always the full
  // length (no leading zero byte to drop).
  serial[0] = static_cast<unsigned char>((serial[0] & 0x7F) | 0x40);
  if (ASN1_STRING_set(X509_get_serialNumber(cert), serial, sizeof serial) != 1)
    openssl_failure("ASN1_STRING_set");
}

void add_common_name(X509_NAME* name, const std::string& common_name) {
  if (X509_NAME_add_entry_by_NID(name, NID_commonName, MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(common_name.data()),
                                 static_cast<int>(common_name.size()), -1, 0) != 1)
    openssl_failure("X509_NAME_add_entry_by_NID");
}

X509ExtensionPtr conf_extension(X509V3_CTX* ctx, int nid, const char* value) {
  X509ExtensionPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
  if (!ext) openssl_failure("X509V3_EXT_conf_nid");
  return ext;
}

void add_extension(X509* cert, X509V3_CTX* ctx, int nid, const char* value) {
  X509ExtensionPtr ext = conf_extension(ctx, nid, value);
  if (X509_add_ext(cert, ext.get(), -1) != 1) openssl_failure("X509_add_ext");
}

void check_host(const HostIdentity& host) {
  bool ok = host.kind == HostIdentity::Dns
                ? !host.text.empty() && host.address.empty()
                : host.address.size() == 4 || host.address.size() == 16;
  if (!ok) throw std::invalid_argument("malformed HostIdentity");
}

GeneralNamesPtr host_names(const HostIdentity& host) {
  check_host(host);
  Asn1StringPtr value;
  int type;
  if (host.kind == HostIdentity::Dns) {
    value.reset(ASN1_IA5STRING_new());
    type = GEN_DNS;
    if (!value || ASN1_STRING_set(value.get(), host.text.data(),
                                  static_cast<int>(host.text.size())) != 1)
      openssl_failure("ASN1_STRING_set");
  } else {
    value.reset(ASN1_OCTET_STRING_new());
    type = GEN_IPADD;
    if (!value || ASN1_OCTET_STRING_set(value.get(), host.address.data(),
                                        static_cast<int>(host.address.size())) != 1)
      openssl_failure("ASN1_OCTET_STRING_set");
  }
  GeneralNamePtr name(GENERAL_NAME_new());
  if (!name) openssl_failure("GENERAL_NAME_new");
  GENERAL_NAME_set0_value(name.get(), type, value.release());
  GeneralNamesPtr names(sk_GENERAL_NAME_new_null());
  if (!names || sk_GENERAL_NAME_push(names.get(), name.get()) == 0)
    openssl_failure("sk_GENERAL_NAME_push");
  name.release();
  return names;
}

std::string server_key_usage(EVP_PKEY* server_key) {
  // RSA key exchange encrypts the premaster secret to the certificate key;
  // an EC key cannot be used that way, so it only signs.
  return EVP_PKEY_is_a(server_key, "RSA") ? "critical,digitalSignature,keyEncipherment"
                                          : "critical,digitalSignature";
}

// The host as subject commonName, for tools that still display it; names
// that do not fit leave the subject empty.
bool set_host_subject(X509_NAME* subject, const HostIdentity& host) {
  if (host.text.size() > kMaxCommonNameLength) return false;
  add_common_name(subject, host.text);
  return true;
}

}  // namespace

// ---- Host identity -----------------------------------------------------------

std::string HostIdentity::san_entry() const {
  return (kind == Ip ? "IP:" : "DNS:") + text;
}

HostIdentity identity(std::string_view host) {
  if (host.empty() || host.find('\0') != std::string_view::npos) throw Invalid(kHostMessage);
  HostIdentity result;
  if (parse_address(host, result)) return result;

  std::string_view name = host;
  if (name.back() == '.') name.remove_suffix(1);
  if (name.empty() || name.size() > kMaxDnsNameLength) throw Invalid(kHostMessage);
  std::string_view last_label;
  for (std::size_t start = 0;;) {
    std::size_t dot = name.find('.', start);
    std::string_view label = name.substr(start, dot == std::string_view::npos ? name.npos
                                                                               : dot - start);
    if (!valid_dns_label(label)) throw Invalid(kHostMessage);
    last_label = label;
    if (dot == std::string_view::npos) break;
    start = dot + 1;
  }
  if (std::all_of(last_label.begin(), last_label.end(), is_digit)) throw Invalid(kHostMessage);

  result.kind = HostIdentity::Dns;
  result.text.assign(name);
  for (char& c : result.text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return result;
}

// ---- Loading ---------------------------------------------------------------

X509Ptr cert_load(std::string_view pem) {
  check_pem_size(pem);
  BioPtr bio = memory_bio_from(pem);
  X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!cert) refuse(kNotPemMessage);
  return cert;
}

std::vector<X509Ptr> cert_chain_load(std::string_view pem) {
  check_pem_size(pem);
  BioPtr bio = memory_bio_from(pem);
  std::vector<X509Ptr> chain;
  for (;;) {
    X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    if (!cert) {
      unsigned long code = ERR_peek_last_error();
      bool end = ERR_GET_LIB(code) == ERR_LIB_PEM && ERR_GET_REASON(code) == PEM_R_NO_START_LINE;
      if (chain.empty()) refuse(kNotPemMessage);
      if (!end) {
        refuse("Certificate " + std::to_string(chain.size() + 1) +
               " in the certificate file is damaged.");
      }
      ERR_clear_error();
      return chain;
    }
    if (chain.size() == kMaxChainCertificates) {
      refuse("The certificate file holds more than " + std::to_string(kMaxChainCertificates) +
             " certificates.");
    }
    chain.push_back(std::move(cert));
  }
}

// ---- Inspecting ----------------------------------------------------------------

bool certificate_names(const X509* cert, const HostIdentity& host) {
  GeneralNamesPtr names = subject_alt_names(cert);
  if (!names) return false;
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (host.kind == HostIdentity::Dns && name->type == GEN_DNS) {
      if (dns_entry_names(asn1_view(name->d.dNSName), host.text)) return true;
    } else if (host.kind == HostIdentity::Ip && name->type == GEN_IPADD) {
      std::string_view bytes = asn1_view(name->d.iPAddress);
      if (bytes.size() == host.address.size() &&
          std::equal(bytes.begin(), bytes.end(), host.address.begin(),
                     [](char a, unsigned char b) { return static_cast<unsigned char>(a) == b; }))
        return true;
    }
  }
  return false;
}

double not_before(const X509* cert) { return asn1_time_seconds(X509_get0_notBefore(cert)); }
double not_after(const X509* cert) { return asn1_time_seconds(X509_get0_notAfter(cert)); }

bool valid_at(const X509* cert, double unix_now) {
  return not_before(cert) <= unix_now && unix_now < not_after(cert);
}

std::string der(const X509* cert) {
  int size = i2d_X509(cert, nullptr);
  if (size <= 0) openssl_failure("i2d_X509");
  std::string bytes(static_cast<std::size_t>(size), '\0');
  auto* out = reinterpret_cast<unsigned char*>(bytes.data());
  if (i2d_X509(cert, &out) != size) openssl_failure("i2d_X509");
  return bytes;
}

std::string pem(const X509* cert) {
  BioPtr bio = memory_bio();
  if (PEM_write_bio_X509(bio.get(), cert) != 1) openssl_failure("PEM_write_bio_X509");
  return bio_text(bio.get());
}

std::string pem(const X509_REQ* request) {
  BioPtr bio = memory_bio();
  if (PEM_write_bio_X509_REQ(bio.get(), request) != 1) openssl_failure("PEM_write_bio_X509_REQ");
  return bio_text(bio.get());
}

std::string sha256_fingerprint(const X509* cert) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(cert, EVP_sha256(), digest, &size) != 1) openssl_failure("X509_digest");
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    if (i > 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0x0F];
  }
  return text;
}

bool issued_by(const X509* cert, const X509* ca) {
  EVP_PKEY* ca_key = X509_get0_pubkey(ca);
  if (ca_key == nullptr ||
      X509_NAME_cmp(X509_get_issuer_name(cert), X509_get_subject_name(ca)) != 0) {
    ERR_clear_error();
    return false;
  }
  // X509_verify only reads the certificate; its parameter is not const.
  bool ok = X509_verify(const_cast<X509*>(cert), ca_key) == 1;
  ERR_clear_error();
  return ok;
}

CertificateInfo describe(const X509* cert) {
  CertificateInfo info;
  info.subject = display_name(X509_get_subject_name(cert));
  info.issuer = display_name(X509_get_issuer_name(cert));
  if (GeneralNamesPtr names = subject_alt_names(cert)) {
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
      const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
      if (name->type == GEN_DNS) {
        info.names.push_back("DNS:" + printable(asn1_view(name->d.dNSName)));
      } else if (name->type == GEN_IPADD) {
        std::string_view bytes = asn1_view(name->d.iPAddress);
        if (bytes.size() == 4 || bytes.size() == 16) {
          info.names.push_back(
              "IP:" + address_text(reinterpret_cast<const unsigned char*>(bytes.data()),
                                   bytes.size()));
        }
      }
    }
  }
  info.not_before = not_before(cert);
  info.not_after = not_after(cert);
  const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
  static constexpr char kHex[] = "0123456789ABCDEF";
  if (ASN1_STRING_type(serial) == V_ASN1_NEG_INTEGER) info.serial_hex = "-";
  for (char c : asn1_view(serial)) {
    auto b = static_cast<unsigned char>(c);
    info.serial_hex += kHex[b >> 4];
    info.serial_hex += kHex[b & 0x0F];
  }
  if (ASN1_STRING_length(serial) == 0) info.serial_hex += '0';
  info.sha256_fingerprint = sha256_fingerprint(cert);
  info.self_signed = issued_by(cert, cert);
  return info;
}

bool key_matches(const X509* cert, EVP_PKEY* key) {
  EVP_PKEY* public_key = X509_get0_pubkey(cert);
  bool ok = public_key != nullptr && key != nullptr && EVP_PKEY_eq(public_key, key) == 1;
  ERR_clear_error();
  return ok;
}

// ---- Keys --------------------------------------------------------------------

EvpKeyPtr generate_ec_p256_key() {
  EvpKeyPtr key(EVP_EC_gen("P-256"));
  if (!key) openssl_failure("EC key generation");
  return key;
}

EvpKeyPtr generate_rsa_key(int bits) {
  if (bits < kMinRsaBits || bits > kMaxRsaBits)
    throw std::invalid_argument("RSA key size out of range: " + std::to_string(bits));
  EvpKeyPtr key(EVP_RSA_gen(static_cast<unsigned int>(bits)));
  if (!key) openssl_failure("RSA key generation");
  return key;
}

std::string private_key_pem(EVP_PKEY* key) {
  // Secure memory BIO: the buffer holding the key text is wiped when freed.
  BioPtr bio(BIO_new(BIO_s_secmem()));
  if (!bio) openssl_failure("BIO_new");
  if (PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    openssl_failure("PEM_write_bio_PrivateKey");
  return bio_text(bio.get());
}

EvpKeyPtr private_key_load(std::string_view pem) {
  if (pem.size() > kMaxPemBytes) refuse("The private key file is too large.");
  BioPtr bio = memory_bio_from(pem);
  // Answer any pass phrase request with failure: a service has nobody to ask.
  pem_password_cb* no_pass_phrase = [](char*, int, int, void*) { return -1; };
  EvpKeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, no_pass_phrase, nullptr));
  if (!key) refuse("The private key file is not an unencrypted PEM private key.");
  return key;
}

// ---- Issuing ---------------------------------------------------------------------

X509Ptr make_ca(EVP_PKEY* key, const std::string& common_name, double now, int days) {
  if (common_name.empty() || common_name.size() > kMaxCommonNameLength)
    throw std::invalid_argument("CA common name must be 1-64 characters");
  if (days < 1) throw std::invalid_argument("CA validity must be at least one day");

  X509Ptr cert(X509_new());
  if (!cert) openssl_failure("X509_new");
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1) openssl_failure("X509_set_version");
  set_random_serial(cert.get());
  add_common_name(X509_get_subject_name(cert.get()), common_name);
  if (X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get())) != 1)
    openssl_failure("X509_set_issuer_name");
  set_time(X509_getm_notBefore(cert.get()), now - kClockSkewSeconds);
  set_time(X509_getm_notAfter(cert.get()), now + static_cast<double>(days) * kSecondsPerDay);
  if (X509_set_pubkey(cert.get(), key) != 1) openssl_failure("X509_set_pubkey");

  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert.get(), cert.get(), nullptr, nullptr, 0);
  add_extension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
  add_extension(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign");
  add_extension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
  add_extension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");

  if (X509_sign(cert.get(), key, signing_digest(key)) <= 0) openssl_failure("X509_sign");
  return cert;
}

X509Ptr issue_server_certificate(const X509* ca, EVP_PKEY* ca_key, EVP_PKEY* server_key,
                                 const HostIdentity& host, double now, int days) {
  if (days < 1) throw std::invalid_argument("certificate validity must be at least one day");
  check_host(host);
  if (!key_matches(ca, ca_key))
    throw Invalid("The certificate authority's key does not match its certificate.");
  if (!valid_at(ca, now))
    throw Invalid("The local certificate authority is expired or not yet valid.");
  days = std::min(days, kMaxServerCertificateDays);
  double end = std::min(now + static_cast<double>(days) * kSecondsPerDay, not_after(ca));

  X509Ptr cert(X509_new());
  if (!cert) openssl_failure("X509_new");
  if (X509_set_version(cert.get(), X509_VERSION_3) != 1) openssl_failure("X509_set_version");
  set_random_serial(cert.get());
  bool has_subject = set_host_subject(X509_get_subject_name(cert.get()), host);
  if (X509_set_issuer_name(cert.get(), X509_get_subject_name(ca)) != 1)
    openssl_failure("X509_set_issuer_name");
  set_time(X509_getm_notBefore(cert.get()), now - kClockSkewSeconds);
  set_time(X509_getm_notAfter(cert.get()), end);
  if (X509_set_pubkey(cert.get(), server_key) != 1) openssl_failure("X509_set_pubkey");

  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  // The context only reads the issuer (for its key identifier).
  X509V3_set_ctx(&ctx, const_cast<X509*>(ca), cert.get(), nullptr, nullptr, 0);
  add_extension(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
  add_extension(cert.get(), &ctx, NID_key_usage, server_key_usage(server_key).c_str());
  add_extension(cert.get(), &ctx, NID_ext_key_usage, "serverAuth");
  add_extension(cert.get(), &ctx, NID_subject_key_identifier, "hash");
  add_extension(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always");
  // With an empty subject the names live only here, and must be critical.
  GeneralNamesPtr names = host_names(host);
  if (X509_add1_ext_i2d(cert.get(), NID_subject_alt_name, names.get(), has_subject ? 0 : 1,
                        X509V3_ADD_DEFAULT) != 1)
    openssl_failure("X509_add1_ext_i2d");

  if (X509_sign(cert.get(), ca_key, signing_digest(ca_key)) <= 0) openssl_failure("X509_sign");
  return cert;
}

X509ReqPtr make_csr(EVP_PKEY* key, const HostIdentity& host) {
  check_host(host);
  X509ReqPtr request(X509_REQ_new());
  if (!request) openssl_failure("X509_REQ_new");
  if (X509_REQ_set_version(request.get(), X509_REQ_VERSION_1) != 1)
    openssl_failure("X509_REQ_set_version");
  X509_NAME* subject = X509_REQ_get_subject_name(request.get());
  bool has_subject = set_host_subject(subject, host);
  if (X509_REQ_set_pubkey(request.get(), key) != 1) openssl_failure("X509_REQ_set_pubkey");

  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, nullptr, nullptr, request.get(), nullptr, 0);
  X509ExtensionsPtr extensions(sk_X509_EXTENSION_new_null());
  if (!extensions) openssl_failure("sk_X509_EXTENSION_new_null");
  auto push = [&](X509ExtensionPtr ext) {
    if (sk_X509_EXTENSION_push(extensions.get(), ext.get()) == 0)
      openssl_failure("sk_X509_EXTENSION_push");
    ext.release();
  };
  push(conf_extension(&ctx, NID_key_usage, server_key_usage(key).c_str()));
  push(conf_extension(&ctx, NID_ext_key_usage, "serverAuth"));
  GeneralNamesPtr names = host_names(host);
  X509ExtensionPtr san(X509V3_EXT_i2d(NID_subject_alt_name, has_subject ? 0 : 1, names.get()));
  if (!san) openssl_failure("X509V3_EXT_i2d");
  push(std::move(san));
  if (X509_REQ_add_extensions(request.get(), extensions.get()) != 1)
    openssl_failure("X509_REQ_add_extensions");

  if (X509_REQ_sign(request.get(), key, signing_digest(key)) <= 0) openssl_failure("X509_REQ_sign");
  return request;
}

// ---- Imported chains ---------------------------------------------------------------

void check_imported_chain(std::string_view chain_pem, EVP_PKEY* pending_key,
                          const HostIdentity& host, double now) {
  std::vector<X509Ptr> chain = cert_chain_load(chain_pem);
  X509* leaf = chain.front().get();
  if (!key_matches(leaf, pending_key)) {
    refuse("The certificate does not match this server's pending key. Import the certificate "
           "issued for the signing request created here.");
  }
  if (!certificate_names(leaf, host))
    refuse("The certificate does not name " + host.text + " in its subject alternative names.");
  if (!valid_at(leaf, now)) refuse("The certificate is expired or not yet valid.");
  if (X509_check_purpose(leaf, X509_PURPOSE_SSL_SERVER, 0) != 1)
    refuse("The certificate's key usage does not allow TLS server authentication.");
  for (std::size_t i = 1; i < chain.size(); ++i) {
    const std::string position = "Certificate " + std::to_string(i + 1) + " in the file";
    if (!issued_by(chain[i - 1].get(), chain[i].get())) {
      refuse(position + " did not issue the one before it. List the server certificate first, "
                        "then each issuing certificate authority in order.");
    }
    if (X509_check_ca(chain[i].get()) == 0) refuse(position + " is not a certificate authority.");
    if (!valid_at(chain[i].get(), now)) refuse(position + " is expired or not yet valid.");
  }
}

}  // namespace halvenor::setup
