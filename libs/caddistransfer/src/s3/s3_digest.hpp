// The digests S3 speaks: MD5 (an ETag is the MD5 of the bytes stored, or for a
// multipart upload the MD5 of the parts' MD5s followed by "-<part count>"), and
// SHA-256 for signed payloads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace caddistransfer::s3 {

using Md5Digest = std::array<uint8_t, 16>;

class Md5 {
 public:
  Md5();
  ~Md5();
  Md5(const Md5&) = delete;
  Md5& operator=(const Md5&) = delete;

  void Reset();
  void Update(const void* data, std::size_t size);
  Md5Digest Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

std::string Hex(const uint8_t* data, std::size_t size);
inline std::string Hex(const Md5Digest& digest) { return Hex(digest.data(), digest.size()); }
std::string Base64(const uint8_t* data, std::size_t size);
std::string Sha256Hex(std::string_view data);
// Decodes standard base64; nullopt when the text is not that.
std::optional<std::string> FromBase64(std::string_view text);

// Hex digests of `length` bytes of a file from `offset` (read with pread; a failed or
// short read throws TransferError naming `name`).
std::string Sha256HexOfRange(int fd, uint64_t offset, uint64_t length, const std::string& name);
std::string Md5HexOfRange(int fd, uint64_t offset, uint64_t length, const std::string& name);

// An ETag without its quotes.
std::string Unquote(std::string_view etag);
// 32 lowercase hex digits: the form an ETag has when it is the MD5 of the object.
bool IsMd5Etag(std::string_view etag);
// The ETag a multipart upload of parts with these (MD5) ETags gets; "" when one is
// not an MD5 ETag.
std::string MultipartEtag(const std::vector<std::string>& part_etags);

}  // namespace caddistransfer::s3
