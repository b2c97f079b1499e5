#pragma once
// Private to the security layer: the OpenSSL objects behind Certificate and PublicKey, and owning
// pointers for the library's types. Nothing outside platform/security includes this.
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <memory>

#include "platform/foundation/Value.h"
#include "platform/security/Certificate.h"
#include "platform/security/PublicKey.h"

namespace security::native {

struct X509Free { void operator()(X509* x) const { X509_free(x); } };
struct PKeyFree { void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); } };
struct StoreFree { void operator()(X509_STORE* s) const { X509_STORE_free(s); } };
struct StoreCtxFree { void operator()(X509_STORE_CTX* c) const { X509_STORE_CTX_free(c); } };
struct StackFree { void operator()(STACK_OF(X509)* s) const { sk_X509_pop_free(s, X509_free); } };
struct CrlFree { void operator()(X509_CRL* c) const { X509_CRL_free(c); } };

using X509Ptr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;
using StorePtr = std::unique_ptr<X509_STORE, StoreFree>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, StoreCtxFree>;
using StackPtr = std::unique_ptr<STACK_OF(X509), StackFree>;
using CrlPtr = std::unique_ptr<X509_CRL, CrlFree>;

// Wraps a parsed certificate, taking ownership; the DER bytes are kept for data() and equality.
Certificate makeCertificate(X509Ptr x509);
// A Certificate sharing (up-referencing) an X509 the library owns, e.g. one of a verified chain.
Certificate certificateFromBorrowed(X509* x509);
X509* x509Of(const Certificate& certificate);
// The key from a parsed EVP_PKEY, taking ownership; nothing when it cannot be encoded.
std::optional<PublicKey> makePublicKey(PKeyPtr key);

}  // namespace security::native

namespace security::native {

// A new store of roots: `anchors`, plus the system roots (or the roots set for testing) when
// `withSystemRoots`. Owned by the caller; nullptr when the library could not make one.
X509_STORE* newRootStore(const std::vector<Certificate>& anchors, bool withSystemRoots);

}  // namespace security::native
