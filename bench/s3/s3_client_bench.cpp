// Upload and download MB/s of the S3 client (every part either signed with its SHA-256,
// which the server checks, as S3 storages send them, or checked by its MD5 against its
// ETag; the completed object checked by size and ETag) next to a plain libcurl multipart copy
// of the same file to the same server, alternating in the same run, with the CPU time
// each spent in this process. The server comes from TARN_S3_TEST_ENV, as for the tests.
//
// s3_client_bench [--mib N] [--parallel P] [--rounds R]
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_setup.hpp"
#include "plain_s3_copy.hpp"
#include "s3/s3_client.hpp"
#include "s3/s3_digest.hpp"
#include "s3/s3_storage_entry.hpp"

namespace fs = std::filesystem;
namespace s3 = caddistransfer::s3;
using Clock = std::chrono::steady_clock;
using s3_bench::CpuSeconds;
using s3_bench::Figure;
using s3_bench::SameContent;

namespace {

constexpr uint64_t kPartSize = 8 << 20;

template <class Work>
Figure Measure(const char* what, Work&& work) {
  const auto start = Clock::now();
  const double cpu = CpuSeconds();
  const std::string failure = work();
  if (!failure.empty()) {
    std::fprintf(stderr, "%s failed: %s\n", what, failure.c_str());
    std::exit(1);
  }
  return {std::chrono::duration<double>(Clock::now() - start).count(), CpuSeconds() - cpu};
}

template <class Work>
std::string Parallel(uint64_t count, int parallel, Work&& work) {
  std::atomic<uint64_t> next{0};
  std::string failure;
  std::mutex mutex;
  std::vector<std::thread> threads;
  for (int t = 0; t < parallel; ++t) {
    threads.emplace_back([&] {
      for (uint64_t part = next++; part < count; part = next++) {
        try {
          work(part);
        } catch (const std::exception& error) {
          std::lock_guard lock(mutex);
          failure = error.what();
          return;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return failure;
}

std::string ClientUpload(s3::Client& client, const std::string& bucket, const std::string& key, const fs::path& path,
                         int parallel, bool sha256) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const uint64_t size = fs::file_size(path);
  const uint64_t count = (size + kPartSize - 1) / kPartSize;
  const std::string id = client.CreateMultipartUpload(bucket, key);
  std::vector<s3::UploadedPart> parts(count);
  const std::string failure = Parallel(count, parallel, [&](uint64_t part) {
    const uint64_t offset = part * kPartSize;
    s3::RequestBody body{fd, offset, std::min(kPartSize, size - offset), {}, path.string()};
    if (sha256) body.sha256 = s3::Sha256HexOfRange(fd, offset, body.length, body.name);
    parts[part] = client.UploadPart(bucket, key, id, static_cast<int>(part + 1), body);
  });
  ::close(fd);
  if (!failure.empty()) return failure;
  client.CompleteMultipartUpload(bucket, key, id, parts);
  return {};
}

std::string ClientDownload(s3::Client& client, const std::string& bucket, const std::string& key,
                           const fs::path& path, int parallel) {
  const auto info = client.Head(bucket, key);
  if (!info) return "no object";
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const uint64_t count = (info->size + kPartSize - 1) / kPartSize;
  const std::string failure = Parallel(count, parallel, [&](uint64_t part) {
    const uint64_t offset = part * kPartSize;
    client.Get(bucket, key, s3::WriteToFile(fd, offset, path.string()),
               {offset, std::min(kPartSize, info->size - offset), info->etag, {}});
  });
  ::close(fd);
  return failure;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 200;
  int parallel = 4;
  int rounds = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) mib = std::stoull(argv[i + 1]);
    if (std::strcmp(argv[i], "--parallel") == 0) parallel = std::stoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::stoi(argv[i + 1]);
  }
  const std::optional<s3::StorageEntry> server = s3_bench::ServerFromEnvironment();
  if (!server) return 2;
  const s3::StorageEntry& entry = *server;
  const std::string bucket = entry.location.bucket;
  const std::string prefix = entry.location.prefix + "bench/" + std::to_string(::getpid()) + "/";
  s3::Client client(entry.settings);
  plain_s3::Target plain{entry.settings.endpoint, entry.settings.region, entry.settings.access_key,
                         entry.settings.secret_key, bucket, prefix + "plain"};

  const fs::path work = fs::temp_directory_path() / ("s3-client-bench-" + std::to_string(::getpid()));
  fs::create_directories(work);
  const fs::path source = work / "source", back = work / "back";
  s3_bench::WriteRandomFile(source, mib);
  const double megabytes = static_cast<double>(fs::file_size(source)) / 1e6;
  std::printf("%.0f MB in %llu MiB parts, %d in flight, %s\n", megabytes,
              static_cast<unsigned long long>(kPartSize >> 20), parallel, entry.settings.endpoint.c_str());

  Figure plain_up, ours_up, md5_up, plain_down, ours_down;
  const auto add = [](Figure& total, const Figure& one) {
    total.seconds += one.seconds;
    total.cpu += one.cpu;
  };
  for (int round = 0; round < rounds; ++round) {
    add(plain_up, Measure("plain upload", [&] { return plain_s3::Upload(plain, source, kPartSize, parallel); }));
    add(md5_up, Measure("client upload (MD5)",
                        [&] { return ClientUpload(client, bucket, prefix + "md5", source, parallel, false); }));
    add(ours_up, Measure("client upload (SHA-256)",
                         [&] { return ClientUpload(client, bucket, prefix + "ours", source, parallel, true); }));
    add(plain_down, Measure("plain download", [&] { return plain_s3::Download(plain, back, kPartSize, parallel); }));
    if (!SameContent(source, back)) return std::fprintf(stderr, "plain download differs\n"), 1;
    add(ours_down,
        Measure("client download", [&] { return ClientDownload(client, bucket, prefix + "ours", back, parallel); }));
    if (!SameContent(source, back)) return std::fprintf(stderr, "client download differs\n"), 1;
  }
  const auto line = [&](const char* what, const Figure& ours, const Figure& peer) {
    std::printf("%-9s client %7.1f MB/s (%.2f s CPU)   plain libcurl %7.1f MB/s (%.2f s CPU)   client/plain %.2f\n",
                what, megabytes * rounds / ours.seconds, ours.cpu, megabytes * rounds / peer.seconds, peer.cpu,
                peer.seconds / ours.seconds);
  };
  line("upload", ours_up, plain_up);
  line("up (MD5)", md5_up, plain_up);
  line("download", ours_down, plain_down);

  client.Delete(bucket, prefix + "ours");
  client.Delete(bucket, prefix + "md5");
  client.Delete(bucket, prefix + "plain");
  fs::remove_all(work);
  return 0;
}
