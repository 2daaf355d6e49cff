#include "companions/identity/id_token.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <vector>

#include "base/digest.h"
#include "base/errors.h"
#include "server/core/config_snapshot.h"

namespace halvenor::identity {
namespace {

constexpr std::size_t kEs256SignatureBytes = 64;
constexpr std::size_t kP256CoordinateBytes = 32;
constexpr std::size_t kMaxJwkFieldBytes = 2048;

[[noreturn]] void refuse(const std::string& why) {
  throw IdentityError("Organisation sign-in was refused: " + why);
}

struct BnDeleter {
  void operator()(BIGNUM* p) const noexcept { BN_free(p); }
};
struct ParamBldDeleter {
  void operator()(OSSL_PARAM_BLD* p) const noexcept { OSSL_PARAM_BLD_free(p); }
};
struct ParamDeleter {
  void operator()(OSSL_PARAM* p) const noexcept { OSSL_PARAM_free(p); }
};
struct PkeyCtxDeleter {
  void operator()(EVP_PKEY_CTX* p) const noexcept { EVP_PKEY_CTX_free(p); }
};
struct PkeyDeleter {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* p) const noexcept { EVP_MD_CTX_free(p); }
};
struct EcdsaSigDeleter {
  void operator()(ECDSA_SIG* p) const noexcept { ECDSA_SIG_free(p); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnDeleter>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyDeleter>;

int value_of(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return -1;
}

std::string jwk_bytes(const Json& jwk, const char* key) {
  const Json& value = member_or(jwk, key, kNull);
  if (!value.is_string() || value.get_ref<const std::string&>().size() > kMaxJwkFieldBytes) return {};
  try {
    return base64url_decode(value.get_ref<const std::string&>());
  } catch (const IdentityError&) {
    return {};
  }
}

PkeyPtr key_from(OSSL_PARAM_BLD* builder, const char* type) {
  std::unique_ptr<OSSL_PARAM, ParamDeleter> params(OSSL_PARAM_BLD_to_param(builder));
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxDeleter> ctx(EVP_PKEY_CTX_new_from_name(nullptr, type, nullptr));
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    return nullptr;
  return PkeyPtr(key);
}

// The public key a JWK describes, or null when it is unusable for `alg`.
PkeyPtr public_key(const Json& jwk, const std::string& alg) {
  std::unique_ptr<OSSL_PARAM_BLD, ParamBldDeleter> builder(OSSL_PARAM_BLD_new());
  if (!builder) return nullptr;
  if (alg == "RS256" && member_or(jwk, "kty", kNull) == "RSA") {
    std::string n = jwk_bytes(jwk, "n"), e = jwk_bytes(jwk, "e");
    if (n.empty() || e.empty()) return nullptr;
    BnPtr bn_n(BN_bin2bn(reinterpret_cast<const unsigned char*>(n.data()), static_cast<int>(n.size()), nullptr));
    BnPtr bn_e(BN_bin2bn(reinterpret_cast<const unsigned char*>(e.data()), static_cast<int>(e.size()), nullptr));
    if (!bn_n || !bn_e || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, bn_n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, bn_e.get()) != 1)
      return nullptr;
    PkeyPtr key = key_from(builder.get(), "RSA");
    if (key && EVP_PKEY_get_bits(key.get()) < kMinRsaKeyBits) return nullptr;
    return key;
  }
  if (alg == "ES256" && member_or(jwk, "kty", kNull) == "EC" && member_or(jwk, "crv", kNull) == "P-256") {
    std::string x = jwk_bytes(jwk, "x"), y = jwk_bytes(jwk, "y");
    if (x.size() != kP256CoordinateBytes || y.size() != kP256CoordinateBytes) return nullptr;
    std::string point = "\x04" + x + y;  // uncompressed point
    static char kGroup[] = "prime256v1";
    if (OSSL_PARAM_BLD_push_utf8_string(builder.get(), OSSL_PKEY_PARAM_GROUP_NAME, kGroup, 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(builder.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size()) != 1)
      return nullptr;
    return key_from(builder.get(), "EC");
  }
  return nullptr;
}

// ES256 signatures are r || s; OpenSSL verifies the DER form.
std::string ecdsa_der(const std::string& raw) {
  if (raw.size() != kEs256SignatureBytes) return {};
  std::unique_ptr<ECDSA_SIG, EcdsaSigDeleter> sig(ECDSA_SIG_new());
  const auto* bytes = reinterpret_cast<const unsigned char*>(raw.data());
  BIGNUM* r = BN_bin2bn(bytes, kP256CoordinateBytes, nullptr);
  BIGNUM* s = BN_bin2bn(bytes + kP256CoordinateBytes, kP256CoordinateBytes, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return {};
  }
  int length = i2d_ECDSA_SIG(sig.get(), nullptr);
  if (length <= 0) return {};
  std::string der(static_cast<std::size_t>(length), '\0');
  auto* out = reinterpret_cast<unsigned char*>(der.data());
  i2d_ECDSA_SIG(sig.get(), &out);
  return der;
}

bool signature_verifies(EVP_PKEY* key, std::string_view signed_part, const std::string& signature) {
  std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1) return false;
  return EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                          reinterpret_cast<const unsigned char*>(signed_part.data()), signed_part.size()) == 1;
}

Json decode_part(std::string_view part) {
  try {
    Json value = json::parse_text(base64url_decode(part));
    if (value.is_object()) return value;
  } catch (const RequestError&) {
  } catch (const IdentityError&) {
  }
  refuse("the identity token is malformed.");
}

bool audience_matches(const Json& claims, const std::string& client_id) {
  const Json& aud = member_or(claims, "aud", kNull);
  const Json& azp = member_or(claims, "azp", kNull);
  if (!azp.is_null() && azp != client_id) return false;
  if (aud.is_string()) return aud == client_id;
  if (!aud.is_array()) return false;
  bool listed = false;
  for (const Json& a : aud) listed = listed || a == client_id;
  // A token for several audiences must say which one it was issued to.
  return listed && (aud.size() == 1 || azp == client_id);
}

}  // namespace

std::string base64url_encode(std::string_view bytes) { return base64url(bytes); }

std::string base64url_decode(std::string_view text) {
  if (text.size() % 4 == 1) refuse("the identity token is malformed.");
  std::string out;
  unsigned int buffer = 0;
  int bits = 0;
  for (char c : text) {
    int v = value_of(c);
    if (v < 0) refuse("the identity token is malformed.");
    buffer = (buffer << 6) | static_cast<unsigned int>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
    }
  }
  return out;
}

Json id_token_header(std::string_view token) {
  if (token.size() > kMaxIdTokenBytes) refuse("the identity token is too large.");
  auto dot = token.find('.');
  if (dot == std::string_view::npos) refuse("the identity token is malformed.");
  return decode_part(token.substr(0, dot));
}

bool key_set_has_key(const Json& key_set, const Json& header) {
  const Json& kid = member_or(header, "kid", kNull);
  for (const Json& jwk : member_or(key_set, "keys", kEmptyArray))
    if (kid.is_null() || member_or(jwk, "kid", kNull) == kid) return true;
  return false;
}

Json verify_id_token(std::string_view token, const Json& key_set, const IdTokenExpectations& expect) {
  Json header = id_token_header(token);
  const auto first = token.find('.');
  const auto second = token.find('.', first + 1);
  if (second == std::string_view::npos || token.find('.', second + 1) != std::string_view::npos)
    refuse("the identity token is malformed.");

  const Json& alg = member_or(header, "alg", kNull);
  if (alg != "RS256" && alg != "ES256") refuse("the identity token uses an algorithm this server does not accept.");
  const std::string algorithm = alg.get<std::string>();
  std::string signature = base64url_decode(token.substr(second + 1));
  if (algorithm == "ES256") signature = ecdsa_der(signature);
  if (signature.empty()) refuse("the identity token's signature is not valid.");

  const std::string_view signed_part = token.substr(0, second);
  const Json& kid = member_or(header, "kid", kNull);
  bool known_key = false;
  bool verified = false;
  for (const Json& jwk : member_or(key_set, "keys", kEmptyArray)) {
    if (!kid.is_null() && member_or(jwk, "kid", kNull) != kid) continue;
    if (member_or(jwk, "use", kNull).is_string() && member_or(jwk, "use", kNull) != "sig") continue;
    if (member_or(jwk, "alg", kNull).is_string() && member_or(jwk, "alg", kNull) != alg) continue;
    PkeyPtr key = public_key(jwk, algorithm);
    if (!key) continue;
    known_key = true;
    if ((verified = signature_verifies(key.get(), signed_part, signature))) break;
  }
  if (!known_key) refuse("the identity token was signed with a key the provider does not publish.");
  if (!verified) refuse("the identity token's signature is not valid.");

  Json claims = decode_part(token.substr(first + 1, second - first - 1));
  if (member_or(claims, "iss", kNull) != expect.issuer) refuse("the identity token comes from another issuer.");
  if (!audience_matches(claims, expect.client_id)) refuse("the identity token was issued for another application.");
  const Json& exp = member_or(claims, "exp", kNull);
  if (!exp.is_number()) refuse("the identity token has no expiry.");
  if (exp.get<double>() <= expect.now - kIdTokenClockSkewSeconds) refuse("the identity token has expired.");
  for (const char* key : {"nbf", "iat"}) {
    const Json& t = member_or(claims, key, kNull);
    if (!t.is_null() && (!t.is_number() || t.get<double>() > expect.now + kIdTokenClockSkewSeconds))
      refuse("the identity token is not valid yet; check this server's clock.");
  }
  const Json& nonce = member_or(claims, "nonce", kNull);
  if (!nonce.is_string() || !constant_time_equal(sha256_hex(nonce.get_ref<const std::string&>()), expect.nonce_sha256))
    refuse("the identity token does not belong to this sign-in.");
  return claims;
}

}  // namespace halvenor::identity
