#include "companions/identity/organisation_identity.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/stat.h>

#include <cctype>

#include "base/digest.h"
#include "base/errors.h"
#include "base/text.h"
#include "companions/identity/id_token.h"
#include "companions/identity/provider_client.h"
#include "net/private_files.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {

constexpr std::size_t kRandomBytes = 32;
constexpr std::size_t kMaxClientSecretBytes = 4096;
constexpr std::size_t kMaxProviderErrorLength = 200;
constexpr char kDefaultUserClaim[] = "preferred_username";
constexpr char kDefaultScope[] = "openid profile email";

const Json& section(const Json& doc) { return member_or(doc, "organisation_identity", kEmptyObject); }

bool same_ignoring_case(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool signs_in_through_organisation(const Json& user) {
  const UserView view(user);
  return view.signs_in_through_organisation() && view.active();
}

// The user the claim names: organisation_subject when set, else id.
const Json* user_for_claim(const Json& doc, const std::string& claim) {
  const Json* found = nullptr;
  for (const Json& user : member_or(doc, "users", kEmptyArray)) {
    if (!signs_in_through_organisation(user)) continue;
    const Json& subject = member_or(user, "organisation_subject", kNull);
    const Json& name = subject.is_string() ? subject : member_or(user, "id", kNull);
    if (!name.is_string() || !same_ignoring_case(name.get<std::string>(), claim)) continue;
    if (found) throw IdentityError("Your organisation account matches more than one user here. Ask an administrator to fix the directory.");
    found = &user;
  }
  return found;
}

std::string secret_from(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) throw IdentityError("The organisation sign-in client secret file cannot be read.");
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0)
    throw IdentityError("The organisation sign-in client secret file must be readable by its owner only.");
  try {
    return trim(setup::read_file(path, kMaxClientSecretBytes));
  } catch (const std::runtime_error&) {
    throw IdentityError("The organisation sign-in client secret file cannot be read.");
  }
}

std::string with_query(const std::string& url, const identity::FormFields& fields) {
  std::string out = url + (url.find('?') == std::string::npos ? "?" : "&");
  bool first = true;
  for (const auto& [name, value] : fields) {
    if (!first) out.push_back('&');
    first = false;
    out += identity::url_encode(name) + "=" + identity::url_encode(value);
  }
  return out;
}

// PKCE S256: base64url(SHA-256(verifier)).
std::string challenge_of(const std::string& verifier) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  if (EVP_Digest(verifier.data(), verifier.size(), digest, nullptr, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed");
  return identity::base64url_encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string bounded_printable(const Json& value) {
  std::string text;
  if (value.is_string())
    for (char c : value.get<std::string>().substr(0, kMaxProviderErrorLength))
      text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  return text;
}

}  // namespace

OrganisationIdentity::OrganisationIdentity(Core& core) : core_(core) {
  DbScope scope = core_.db();
  scope.begin_immediate();
  create_schema(scope.conn());
  scope.commit();
}

void OrganisationIdentity::create_schema(Connection& conn) {
  conn.exec(
      "CREATE TABLE IF NOT EXISTS identity_sign_ins(state_hash TEXT PRIMARY KEY, nonce_hash TEXT NOT NULL, "
      "verifier TEXT NOT NULL, redirect_uri TEXT NOT NULL, expires REAL NOT NULL);"
      "CREATE TABLE IF NOT EXISTS identity_sessions(token_hash TEXT PRIMARY KEY, user_id TEXT NOT NULL, "
      "subject TEXT NOT NULL, created REAL NOT NULL, expires REAL NOT NULL);"
      "CREATE INDEX IF NOT EXISTS identity_sessions_by_expiry ON identity_sessions(expires);");
}

OrganisationIdentity::Settings OrganisationIdentity::settings() const {
  ConfigPtr cfg = core_.config();
  const Json& s = section(cfg->doc());
  if (!organisation_sign_in_enabled(cfg->doc()))
    throw IdentityError("Organisation sign-in is not enabled on this server.");
  auto text = [&](const char* key, bool required, const char* fallback = "") {
    const Json& value = member_or(s, key, kNull);
    if (value.is_string() && !value.get_ref<const std::string&>().empty()) return value.get<std::string>();
    if (required)
      throw IdentityError(std::string("Organisation sign-in is not configured completely: \"") + key +
                          "\" is missing.");
    return std::string(fallback);
  };
  Settings out;
  out.issuer = text("issuer", true);
  out.authorization_endpoint = text("authorization_endpoint", true);
  out.token_endpoint = text("token_endpoint", true);
  out.jwks_uri = text("jwks_uri", true);
  out.client_id = text("client_id", true);
  out.redirect_uri = text("redirect_uri", false);
  out.user_claim = text("user_claim", false, kDefaultUserClaim);
  out.scope = text("scope", false, kDefaultScope);
  identity::check_provider_url(out.authorization_endpoint, "authorisation endpoint");
  identity::check_provider_url(out.token_endpoint, "token endpoint");
  identity::check_provider_url(out.jwks_uri, "key set (jwks_uri)");
  std::string secret_file = text("client_secret_file", false);
  if (!secret_file.empty()) out.client_secret = secret_from(secret_file);
  return out;
}

Json OrganisationIdentity::key_set(const std::string& uri, bool refresh) {
  std::lock_guard lock(key_set_mutex_);
  const double now = core_.clock().monotonic();
  if (refresh || uri != key_set_uri_ || key_set_.is_null() || now - key_set_fetched_ > kKeySetCacheSeconds) {
    Json fetched = identity::provider_get_json(uri);
    if (!member_or(fetched, "keys", kNull).is_array())
      throw IdentityError("The organisation's identity provider published no signing keys.");
    key_set_ = std::move(fetched);
    key_set_uri_ = uri;
    key_set_fetched_ = now;
  }
  return key_set_;
}

std::optional<Caller> OrganisationIdentity::authenticate(const std::string& token) {
  // Everything that is not a session credential leaves here, before any
  // shared state is touched: this runs on every request.
  if (token.size() <= sizeof kSessionPrefix - 1 || token.compare(0, sizeof kSessionPrefix - 1, kSessionPrefix) != 0)
    return std::nullopt;
  ConfigPtr cfg = core_.config();
  if (!organisation_sign_in_enabled(cfg->doc())) return std::nullopt;
  std::optional<Json> row;
  {
    DbScope scope(core_.database());
    row = scope->query_one("SELECT user_id, expires FROM identity_sessions WHERE token_hash=?", {sha256_hex(token)});
  }
  if (!row || (*row)["expires"].get<double>() <= core_.clock().now()) return std::nullopt;
  for (const Json& user : member_or(cfg->doc(), "users", kEmptyArray)) {
    if (member_or(user, "id", kNull) != (*row)["user_id"] || !signs_in_through_organisation(user)) continue;
    const Json& role = member_or(user, "role", kNull);
    if (!role.is_string()) return std::nullopt;
    return Caller{user["id"].get<std::string>(), role.get<std::string>()};
  }
  return std::nullopt;
}

Json OrganisationIdentity::start(const std::string& base_url) {
  Settings s = settings();
  const std::string redirect = s.redirect_uri.empty() ? base_url + "/" : s.redirect_uri;
  RandomSource& random = core_.random();
  const std::string state = random_token(random, kRandomBytes);
  const std::string nonce = random_token(random, kRandomBytes);
  const std::string verifier = random_token(random, kRandomBytes);  // 43 characters, as PKCE asks
  const double now = core_.clock().now();
  const double expires = now + kSignInSeconds;
  {
    DbScope scope(core_.database());
    scope.begin_immediate();
    scope->execute("DELETE FROM identity_sign_ins WHERE expires <= ?", {now});
    auto pending = scope->query_one("SELECT COUNT(*) AS n FROM identity_sign_ins");
    if (pending && (*pending)["n"].get<long long>() >= kMaxPendingSignIns)
      throw IdentityError("Too many sign-ins are in progress. Try again in a few minutes.");
    scope->execute(
        "INSERT INTO identity_sign_ins(state_hash, nonce_hash, verifier, redirect_uri, expires) VALUES(?,?,?,?,?)",
        {sha256_hex(state), sha256_hex(nonce), verifier, redirect, expires});
    scope.commit();
  }
  const std::string url = with_query(s.authorization_endpoint, {{"response_type", "code"},
                                                                 {"client_id", s.client_id},
                                                                 {"redirect_uri", redirect},
                                                                 {"scope", s.scope},
                                                                 {"state", state},
                                                                 {"nonce", nonce},
                                                                 {"code_challenge", challenge_of(verifier)},
                                                                 {"code_challenge_method", "S256"}});
  return Json{{"authorization_url", url}, {"state", state}, {"expires", expires}};
}

Json OrganisationIdentity::complete(const Json& request) {
  Settings s = settings();
  if (!request.is_object()) throw IdentityError("Invalid sign-in request");
  const Json& error = member_or(request, "error", kNull);
  if (!error.is_null())
    throw IdentityError("The organisation's sign-in page reported a problem: " + bounded_printable(error) + ".");
  const Json& code = member_or(request, "code", kNull);
  const Json& state = member_or(request, "state", kNull);
  if (!code.is_string() || code.get_ref<const std::string&>().empty() ||
      code.get_ref<const std::string&>().size() > kMaxAuthorizationCodeBytes || !state.is_string() ||
      state.get_ref<const std::string&>().empty() || state.get_ref<const std::string&>().size() > kMaxStateBytes)
    throw IdentityError("The sign-in reply is incomplete. Start the sign-in again.");

  // The state is consumed before anything else, so a replay fails even when
  // the first attempt did not get through.
  const double now = core_.clock().now();
  std::optional<Json> pending;
  {
    DbScope scope(core_.database());
    scope.begin_immediate();
    const std::string state_hash = sha256_hex(state.get<std::string>());
    pending = scope->query_one("SELECT nonce_hash, verifier, redirect_uri, expires FROM identity_sign_ins "
                               "WHERE state_hash=?",
                               {state_hash});
    scope->execute("DELETE FROM identity_sign_ins WHERE state_hash=? OR expires <= ?", {state_hash, now});
    scope.commit();
  }
  if (!pending || (*pending)["expires"].get<double>() <= now)
    throw IdentityError("This sign-in has expired or was already used. Start the sign-in again.");

  identity::FormFields form = {{"grant_type", "authorization_code"},
                               {"code", code.get<std::string>()},
                               {"redirect_uri", (*pending)["redirect_uri"].get<std::string>()},
                               {"client_id", s.client_id},
                               {"code_verifier", (*pending)["verifier"].get<std::string>()}};
  if (!s.client_secret.empty()) form.emplace_back("client_secret", s.client_secret);
  Json tokens = identity::provider_post_form(s.token_endpoint, form);
  const Json& id_token = member_or(tokens, "id_token", kNull);
  if (!id_token.is_string()) throw IdentityError("The organisation's identity provider returned no identity token.");
  const std::string& jwt = id_token.get_ref<const std::string&>();

  Json keys = key_set(s.jwks_uri, false);
  if (!identity::key_set_has_key(keys, identity::id_token_header(jwt))) keys = key_set(s.jwks_uri, true);
  // The nonce is kept only as its hash, and compared in that form.
  Json claims = identity::verify_id_token(
      jwt, keys, {s.issuer, s.client_id, (*pending)["nonce_hash"].get<std::string>(), now});

  const Json& claim = member_or(claims, s.user_claim.c_str(), kNull);
  if (!claim.is_string() || claim.get_ref<const std::string&>().empty())
    throw IdentityError("The organisation's identity token does not name the person (claim \"" + s.user_claim +
                        "\").");
  ConfigPtr cfg = core_.config();
  const Json* user = user_for_claim(cfg->doc(), claim.get<std::string>());
  if (!user || !member_or(*user, "role", kNull).is_string())
    throw IdentityError("Your organisation account is not enrolled for this dashboard. Ask an administrator to add it.");

  const std::string session = kSessionPrefix + random_token(core_.random(), kRandomBytes);
  const std::string user_id = (*user)["id"].get<std::string>();
  const double expires = now + kSessionSeconds;
  {
    DbScope scope(core_.database());
    scope.begin_immediate();
    scope->execute("DELETE FROM identity_sessions WHERE expires <= ?", {now});
    scope->execute("INSERT INTO identity_sessions(token_hash, user_id, subject, created, expires) VALUES(?,?,?,?,?)",
                   {sha256_hex(session), user_id, claim, now, expires});
    core_.audit(scope.conn(), user_id, "identity.signed_in", Json{{"subject", claim}, {"issuer", s.issuer}});
    scope.commit();
  }
  const Json& display = member_or(*user, "display_name", kNull);
  return Json{{"token", session},
              {"expires", expires},
              {"user", {{"id", user_id}, {"display_name", display.is_string() ? display : Json(user_id)},
                        {"role", (*user)["role"]}}}};
}

void OrganisationIdentity::logout(const std::string& token) {
  if (token.size() <= sizeof kSessionPrefix - 1 || token.compare(0, sizeof kSessionPrefix - 1, kSessionPrefix) != 0)
    return;
  DbScope scope(core_.database());
  scope.begin_immediate();
  const std::string hash = sha256_hex(token);
  auto row = scope->query_one("SELECT user_id FROM identity_sessions WHERE token_hash=?", {hash});
  if (!row) return;
  scope->execute("DELETE FROM identity_sessions WHERE token_hash=?", {hash});
  core_.audit(scope.conn(), (*row)["user_id"].get<std::string>(), "identity.signed_out", Json::object());
  scope.commit();
}

}  // namespace halvenor
