#include "s3_digest.hpp"

#include <cerrno>
#include <algorithm>
#include <stdexcept>
#include <vector>

#include <openssl/evp.h>
#include <unistd.h>

#include "error.hpp"

namespace caddistransfer::s3 {

struct Md5::State {
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  ~State() { EVP_MD_CTX_free(context); }
};

Md5::Md5() : state_(std::make_unique<State>()) {
  if (state_->context == nullptr) throw std::bad_alloc();
  Reset();
}

Md5::~Md5() = default;

void Md5::Reset() {
  if (EVP_DigestInit_ex(state_->context, EVP_md5(), nullptr) != 1) throw std::runtime_error("MD5 is not available");
}

void Md5::Update(const void* data, std::size_t size) { EVP_DigestUpdate(state_->context, data, size); }

Md5Digest Md5::Finish() {
  Md5Digest digest{};
  unsigned int size = 0;
  EVP_DigestFinal_ex(state_->context, digest.data(), &size);
  Reset();
  return digest;
}

std::string Hex(const uint8_t* data, std::size_t size) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  text.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    text += kHex[data[i] >> 4];
    text += kHex[data[i] & 15];
  }
  return text;
}

std::string Base64(const uint8_t* data, std::size_t size) {
  std::string text(4 * ((size + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), data, static_cast<int>(size));
  text.resize(static_cast<std::size_t>(written));
  return text;
}

std::string Sha256Hex(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 is not available");
  }
  return Hex(digest, size);
}

std::optional<std::string> FromBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes(text.size() / 4 * 3, '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                      reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (decoded < 0) return std::nullopt;
  // EVP_DecodeBlock counts the padding as zero bytes.
  std::size_t size = static_cast<std::size_t>(decoded);
  for (std::size_t i = text.size(); i > 0 && text[i - 1] == '=' && size > 0; --i) --size;
  bytes.resize(size);
  return bytes;
}

namespace {

std::string DigestOfRange(const EVP_MD* kind, int fd, uint64_t offset, uint64_t length, const std::string& name) {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), kind, nullptr) != 1) throw std::bad_alloc();
  std::vector<char> block(1 << 20);
  while (length > 0) {
    const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(length, block.size()));
    const ssize_t got = ::pread(fd, block.data(), want, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) throw TransferError(SystemErrorText("cannot read " + name, errno));
    if (got == 0) throw TransferError(name + " became shorter while it was read");
    EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(got));
    offset += static_cast<uint64_t>(got);
    length -= static_cast<uint64_t>(got);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EVP_DigestFinal_ex(context.get(), digest, &size);
  return Hex(digest, size);
}

}  // namespace

std::string Sha256HexOfRange(int fd, uint64_t offset, uint64_t length, const std::string& name) {
  return DigestOfRange(EVP_sha256(), fd, offset, length, name);
}

std::string Md5HexOfRange(int fd, uint64_t offset, uint64_t length, const std::string& name) {
  return DigestOfRange(EVP_md5(), fd, offset, length, name);
}

std::string Unquote(std::string_view etag) {
  if (etag.size() >= 2 && etag.front() == '"' && etag.back() == '"') etag = etag.substr(1, etag.size() - 2);
  return std::string(etag);
}

bool IsMd5Etag(std::string_view etag) {
  if (etag.size() != 32) return false;
  for (const char c : etag) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string MultipartEtag(const std::vector<std::string>& part_etags) {
  Md5 md5;
  for (const auto& etag : part_etags) {
    if (!IsMd5Etag(etag)) return {};
    uint8_t digest[16];
    for (std::size_t i = 0; i < 16; ++i) digest[i] = static_cast<uint8_t>(std::stoi(etag.substr(2 * i, 2), nullptr, 16));
    md5.Update(digest, sizeof digest);
  }
  return Hex(md5.Finish()) + "-" + std::to_string(part_etags.size());
}

}  // namespace caddistransfer::s3
