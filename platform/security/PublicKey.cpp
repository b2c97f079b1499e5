#include "platform/security/PublicKey.h"

#include "platform/security/Native.h"

namespace security {

struct PublicKey::Impl {
  native::PKeyPtr key;
  foundation::Data spki;
};

namespace native {

std::optional<PublicKey> makePublicKey(PKeyPtr key) {
  unsigned char* out = nullptr;
  const int length = i2d_PUBKEY(key.get(), &out);
  if (length <= 0) return std::nullopt;
  auto impl = std::make_shared<PublicKey::Impl>();
  impl->spki.assign(out, out + length);
  OPENSSL_free(out);
  impl->key = std::move(key);
  return PublicKey(std::move(impl));
}

}  // namespace native

PublicKey::PublicKey(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

std::optional<PublicKey> PublicKey::createWithSubjectPublicKeyInfo(const foundation::Data& der) {
  if (der.empty()) return std::nullopt;
  const unsigned char* cursor = der.data();
  native::PKeyPtr key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())));
  if (!key || cursor != der.data() + der.size()) return std::nullopt;
  return native::makePublicKey(std::move(key));
}

const foundation::Data& PublicKey::subjectPublicKeyInfo() const { return impl_->spki; }

std::string PublicKey::algorithmName() const {
  const char* name = EVP_PKEY_get0_type_name(impl_->key.get());
  return name ? name : "";
}

int PublicKey::bitSize() const { return EVP_PKEY_get_bits(impl_->key.get()); }

bool PublicKey::operator==(const PublicKey& other) const {
  return impl_ == other.impl_ || impl_->spki == other.impl_->spki;
}

}  // namespace security
