// Owning handles for the OpenSSL objects the setup component passes around.
//
// Each handle is a std::unique_ptr whose deleter calls the matching OpenSSL
// free function, so ownership is explicit and nothing leaks on an exception.
// A handle is owned by one thread at a time; OpenSSL's own locking makes
// concurrent read-only use of one certificate or key safe.
#pragma once

#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace halvenor::setup {

struct X509Deleter {
  void operator()(X509* p) const noexcept { X509_free(p); }
};
struct X509ReqDeleter {
  void operator()(X509_REQ* p) const noexcept { X509_REQ_free(p); }
};
struct EvpKeyDeleter {
  void operator()(EVP_PKEY* p) const noexcept { EVP_PKEY_free(p); }
};
struct BioDeleter {
  void operator()(BIO* p) const noexcept { BIO_free_all(p); }
};
struct GeneralNamesDeleter {
  void operator()(GENERAL_NAMES* p) const noexcept { GENERAL_NAMES_free(p); }
};
struct X509ExtensionDeleter {
  void operator()(X509_EXTENSION* p) const noexcept { X509_EXTENSION_free(p); }
};
struct X509ExtensionsDeleter {
  void operator()(STACK_OF(X509_EXTENSION)* p) const noexcept {
    sk_X509_EXTENSION_pop_free(p, X509_EXTENSION_free);
  }
};
struct X509StoreDeleter {
  void operator()(X509_STORE* p) const noexcept { X509_STORE_free(p); }
};
struct X509StoreCtxDeleter {
  void operator()(X509_STORE_CTX* p) const noexcept { X509_STORE_CTX_free(p); }
};

using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using X509ReqPtr = std::unique_ptr<X509_REQ, X509ReqDeleter>;
using EvpKeyPtr = std::unique_ptr<EVP_PKEY, EvpKeyDeleter>;
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using GeneralNamesPtr = std::unique_ptr<GENERAL_NAMES, GeneralNamesDeleter>;
using X509ExtensionPtr = std::unique_ptr<X509_EXTENSION, X509ExtensionDeleter>;
using X509ExtensionsPtr = std::unique_ptr<STACK_OF(X509_EXTENSION), X509ExtensionsDeleter>;
using X509StorePtr = std::unique_ptr<X509_STORE, X509StoreDeleter>;
using X509StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, X509StoreCtxDeleter>;

}  // namespace halvenor::setup
