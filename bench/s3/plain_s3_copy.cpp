#include "plain_s3_copy.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plain_s3 {
namespace {

struct Response {
  long status = 0;
  std::string body;
  std::string etag;
};

struct Source {
  int fd;
  uint64_t offset;
  uint64_t left;
};

size_t KeepBody(char* data, size_t size, size_t count, void* user) {
  static_cast<Response*>(user)->body.append(data, size * count);
  return size * count;
}

size_t KeepEtag(char* data, size_t size, size_t count, void* user) {
  std::string line(data, size * count);
  if (line.size() > 5 && strncasecmp(line.c_str(), "etag:", 5) == 0) {
    line = line.substr(5);
    line.erase(std::remove_if(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\r' || c == '\n'; }),
               line.end());
    static_cast<Response*>(user)->etag = line;
  }
  return size * count;
}

size_t ReadPart(char* buffer, size_t size, size_t count, void* user) {
  auto& source = *static_cast<Source*>(user);
  const auto want = static_cast<size_t>(std::min<uint64_t>(size * count, source.left));
  const ssize_t got = ::pread(source.fd, buffer, want, static_cast<off_t>(source.offset));
  if (got <= 0) return want == 0 ? 0 : CURL_READFUNC_ABORT;
  source.offset += static_cast<uint64_t>(got);
  source.left -= static_cast<uint64_t>(got);
  return static_cast<size_t>(got);
}

struct WriteTarget {
  int fd;
  uint64_t offset;
};

size_t WritePart(char* data, size_t size, size_t count, void* user) {
  auto& target = *static_cast<WriteTarget*>(user);
  const ssize_t written = ::pwrite(target.fd, data, size * count, static_cast<off_t>(target.offset));
  if (written != static_cast<ssize_t>(size * count)) return 0;
  target.offset += size * count;
  return size * count;
}

// One handle per thread, reused so connections stay open.
class Session {
 public:
  explicit Session(const Target& target) : target_(target), handle_(curl_easy_init()) {}
  ~Session() { curl_easy_cleanup(handle_); }

  Response Send(const char* method, const std::string& query, Source* body, WriteTarget* sink,
                const std::string& range = {}, const std::string* post = nullptr) {
    curl_easy_reset(handle_);
    Response response;
    const std::string url = target_.endpoint + "/" + target_.bucket + "/" + target_.key + (query.empty() ? "" : "?" + query);
    const std::string scope = "aws:amz:" + target_.region + ":s3";
    curl_slist* headers = curl_slist_append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    if (!range.empty()) headers = curl_slist_append(headers, ("Range: bytes=" + range).c_str());
    curl_easy_setopt(handle_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(handle_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(handle_, CURLOPT_USERNAME, target_.access_key.c_str());
    curl_easy_setopt(handle_, CURLOPT_PASSWORD, target_.secret_key.c_str());
    curl_easy_setopt(handle_, CURLOPT_AWS_SIGV4, scope.c_str());
    curl_easy_setopt(handle_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(handle_, CURLOPT_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(handle_, CURLOPT_UPLOAD_BUFFERSIZE, 256L * 1024);
    curl_easy_setopt(handle_, CURLOPT_HEADERFUNCTION, KeepEtag);
    curl_easy_setopt(handle_, CURLOPT_HEADERDATA, &response);
    curl_easy_setopt(handle_, CURLOPT_WRITEFUNCTION, sink != nullptr ? WritePart : KeepBody);
    curl_easy_setopt(handle_, CURLOPT_WRITEDATA, sink != nullptr ? static_cast<void*>(sink) : &response);
    if (body != nullptr) {
      curl_easy_setopt(handle_, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(handle_, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(body->left));
      curl_easy_setopt(handle_, CURLOPT_READFUNCTION, ReadPart);
      curl_easy_setopt(handle_, CURLOPT_READDATA, body);
    } else if (post != nullptr) {
      curl_easy_setopt(handle_, CURLOPT_POSTFIELDS, post->c_str());
      curl_easy_setopt(handle_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post->size()));
    } else if (std::string(method) == "HEAD") {
      curl_easy_setopt(handle_, CURLOPT_NOBODY, 1L);
    }
    if (std::string(method) != "GET" && std::string(method) != "HEAD" && body == nullptr) {
      curl_easy_setopt(handle_, CURLOPT_CUSTOMREQUEST, method);
    }
    if (curl_easy_perform(handle_) == CURLE_OK) curl_easy_getinfo(handle_, CURLINFO_RESPONSE_CODE, &response.status);
    if (std::string(method) == "HEAD") {
      curl_off_t length = -1;
      curl_easy_getinfo(handle_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      response.body = std::to_string(length);
    }
    curl_slist_free_all(headers);
    return response;
  }

 private:
  const Target& target_;
  CURL* handle_;
};

std::string Between(const std::string& text, const std::string& open, const std::string& close) {
  const auto begin = text.find(open);
  if (begin == std::string::npos) return {};
  const auto end = text.find(close, begin + open.size());
  return end == std::string::npos ? std::string() : text.substr(begin + open.size(), end - begin - open.size());
}

// Runs work(part) for parts 0..count-1 on `parallel` threads, each with its own session.
std::string ForEachPart(const Target& target, uint64_t count, int parallel,
                        const std::function<std::string(Session&, uint64_t)>& work) {
  std::atomic<uint64_t> next{0};
  std::mutex mutex;
  std::string failure;
  std::vector<std::thread> threads;
  for (int t = 0; t < parallel; ++t) {
    threads.emplace_back([&] {
      Session session(target);
      for (uint64_t part = next++; part < count; part = next++) {
        std::string error = work(session, part);
        if (!error.empty()) {
          std::lock_guard lock(mutex);
          failure = error;
          return;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return failure;
}

}  // namespace

std::string Upload(const Target& target, const std::string& path, uint64_t part_size, int parallel) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat status {};
  if (fd < 0 || ::fstat(fd, &status) != 0) return "cannot open " + path;
  const auto size = static_cast<uint64_t>(status.st_size);
  const uint64_t count = std::max<uint64_t>(1, (size + part_size - 1) / part_size);

  Session session(target);
  const std::string empty;
  const Response started = session.Send("POST", "uploads=", nullptr, nullptr, {}, &empty);
  const std::string id = Between(started.body, "<UploadId>", "</UploadId>");
  if (started.status != 200 || id.empty()) return "initiate: HTTP " + std::to_string(started.status);

  std::vector<std::string> etags(count);
  const std::string failure = ForEachPart(target, count, parallel, [&](Session& part_session, uint64_t part) {
    Source source{fd, part * part_size, std::min(part_size, size - part * part_size)};
    const Response sent = part_session.Send(
        "PUT", "partNumber=" + std::to_string(part + 1) + "&uploadId=" + id, &source, nullptr);
    if (sent.status != 200) return "part " + std::to_string(part + 1) + ": HTTP " + std::to_string(sent.status);
    etags[part] = sent.etag;
    return std::string();
  });
  ::close(fd);
  if (!failure.empty()) {
    session.Send("DELETE", "uploadId=" + id, nullptr, nullptr);
    return failure;
  }
  std::string document = "<CompleteMultipartUpload>";
  for (uint64_t part = 0; part < count; ++part) {
    document += "<Part><PartNumber>" + std::to_string(part + 1) + "</PartNumber><ETag>" + etags[part] + "</ETag></Part>";
  }
  document += "</CompleteMultipartUpload>";
  const Response completed = session.Send("POST", "uploadId=" + id, nullptr, nullptr, {}, &document);
  if (completed.status != 200 || completed.body.find("<Error>") != std::string::npos) {
    return "complete: HTTP " + std::to_string(completed.status);
  }
  return {};
}

std::string Download(const Target& target, const std::string& path, uint64_t part_size, int parallel) {
  Session session(target);
  const Response head = session.Send("HEAD", {}, nullptr, nullptr);
  if (head.status != 200) return "head: HTTP " + std::to_string(head.status);
  const uint64_t size = std::stoull(head.body);
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return "cannot create " + path;
  const uint64_t count = (size + part_size - 1) / part_size;
  const std::string failure = ForEachPart(target, count, parallel, [&](Session& part_session, uint64_t part) {
    WriteTarget sink{fd, part * part_size};
    const uint64_t last = std::min(size, (part + 1) * part_size) - 1;
    const Response got = part_session.Send("GET", {}, nullptr, &sink,
                                           std::to_string(part * part_size) + "-" + std::to_string(last));
    if (got.status != 206) return "range " + std::to_string(part) + ": HTTP " + std::to_string(got.status);
    return std::string();
  });
  ::close(fd);
  return failure;
}

}  // namespace plain_s3
