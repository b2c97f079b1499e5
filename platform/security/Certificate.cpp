#include "platform/security/Certificate.h"

#include <openssl/pem.h>

#include <cstring>

#include "platform/security/Native.h"

namespace security {

struct Certificate::Impl {
  native::X509Ptr x509;
  foundation::Data der;
};

namespace native {

Certificate makeCertificate(X509Ptr x509) {
  auto impl = std::make_shared<Certificate::Impl>();
  unsigned char* out = nullptr;
  const int length = i2d_X509(x509.get(), &out);
  if (length > 0) {
    impl->der.assign(out, out + length);
    OPENSSL_free(out);
  }
  impl->x509 = std::move(x509);
  return Certificate(std::move(impl));
}

Certificate certificateFromBorrowed(X509* x509) {
  X509_up_ref(x509);
  return makeCertificate(X509Ptr(x509));
}

X509* x509Of(const Certificate& certificate) { return static_cast<X509*>(certificate.nativeHandle()); }

}  // namespace native

Certificate::Certificate(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

std::optional<Certificate> Certificate::createWithData(const foundation::Data& der) {
  if (der.empty()) return std::nullopt;
  const unsigned char* cursor = der.data();
  native::X509Ptr x509(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
  // Bytes after the certificate mean the data is not one certificate; refuse rather than guess.
  if (!x509 || cursor != der.data() + der.size()) return std::nullopt;
  return native::makeCertificate(std::move(x509));
}

std::vector<Certificate> Certificate::createAllWithPEM(std::string_view pem) {
  std::vector<Certificate> certificates;
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  std::size_t position = 0;
  while ((position = pem.find(kBegin, position)) != std::string_view::npos) {
    const std::size_t end = pem.find(kEnd, position);
    if (end == std::string_view::npos) break;
    const std::string_view block = pem.substr(position, end + kEnd.size() - position);
    position = end + kEnd.size();
    BIO* bio = BIO_new_mem_buf(block.data(), static_cast<int>(block.size()));
    if (!bio) continue;
    native::X509Ptr x509(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    if (x509) certificates.push_back(native::makeCertificate(std::move(x509)));
  }
  return certificates;
}

std::optional<Certificate> Certificate::createWithPEM(std::string_view pem) {
  auto all = createAllWithPEM(pem);
  if (all.empty()) return std::nullopt;
  return all.front();
}

foundation::Data Certificate::data() const { return impl_->der; }

namespace {

std::string nameEntry(X509_NAME* name, int nid) {
  const int index = X509_NAME_get_index_by_NID(name, nid, -1);
  if (index < 0) return {};
  ASN1_STRING* value = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
  unsigned char* utf8 = nullptr;
  const int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) return {};
  std::string text(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
  OPENSSL_free(utf8);
  return text;
}

}  // namespace

std::string Certificate::subjectDescription() const {
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return {};
  X509_NAME_print_ex(bio, X509_get_subject_name(impl_->x509.get()), 0,
                     (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB & ~XN_FLAG_SPC_EQ) | ASN1_STRFLGS_UTF8_CONVERT);
  char* bytes = nullptr;
  const long length = BIO_get_mem_data(bio, &bytes);
  std::string text(bytes, static_cast<std::size_t>(length > 0 ? length : 0));
  BIO_free(bio);
  return text;
}

std::string Certificate::subjectSummary() const {
  X509_NAME* subject = X509_get_subject_name(impl_->x509.get());
  for (int nid : {NID_commonName, NID_organizationName}) {
    std::string value = nameEntry(subject, nid);
    if (!value.empty()) return value;
  }
  return subjectDescription();
}

std::optional<PublicKey> Certificate::copyKey() const {
  EVP_PKEY* key = X509_get_pubkey(impl_->x509.get());
  if (!key) return std::nullopt;
  return native::makePublicKey(native::PKeyPtr(key));
}

bool Certificate::operator==(const Certificate& other) const {
  return impl_ == other.impl_ || impl_->der == other.impl_->der;
}

void* Certificate::nativeHandle() const { return impl_->x509.get(); }

}  // namespace security
