#pragma once
// Certificate stands in for the platform's certificate object: one parsed X.509 certificate.
// It is an immutable value; copies share the parsed certificate, so they are cheap and may be
// used from any thread.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

namespace security {

class PublicKey;

class Certificate {
 public:
  // Parses DER bytes (SecCertificateCreateWithData). Answers nothing when the bytes are not exactly
  // one DER certificate (trailing bytes count as bad data).
  static std::optional<Certificate> createWithData(const foundation::Data& der);
  // Parses the first "CERTIFICATE" block of PEM text. Answers nothing when there is none.
  static std::optional<Certificate> createWithPEM(std::string_view pem);
  // Every "CERTIFICATE" block of PEM text, in order; blocks that do not parse are skipped.
  static std::vector<Certificate> createAllWithPEM(std::string_view pem);

  // The DER bytes the certificate was made from (SecCertificateCopyData).
  foundation::Data data() const;
  // A short human-readable name: the subject's common name, else its first organisation, else the
  // whole subject in one-line form (SecCertificateCopySubjectSummary).
  std::string subjectSummary() const;
  // The subject as one line ("CN=localhost, O=Quillmere Test"), for diagnostics.
  std::string subjectDescription() const;
  // The certificate's public key (SecCertificateCopyKey); nothing when the key cannot be read.
  std::optional<PublicKey> copyKey() const;

  // Equal when the DER bytes are equal.
  bool operator==(const Certificate& other) const;

  // The parsed certificate, for the rest of this layer (an OpenSSL X509*); owned by the Certificate.
  void* nativeHandle() const;

  struct Impl;
  explicit Certificate(std::shared_ptr<const Impl> impl);

 private:
  std::shared_ptr<const Impl> impl_;
};

}  // namespace security
