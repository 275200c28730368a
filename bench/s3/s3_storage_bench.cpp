// Upload and download MB/s of whole transfers (compress, prove, send; fetch, check,
// restore) to an S3 storage on the server named by TARN_S3_TEST_ENV, next to the same
// transfers to a file:// storage and a plain libcurl multipart copy of the same file,
// alternating in one run, with the CPU time each spent in this process. The file is
// random, so the stored object is about as large as the source and the S3 and plain
// copies move the same bytes.
//
// s3_storage_bench [--mib N] [--rounds R]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_setup.hpp"
#include "manager.hpp"
#include "plain_s3_copy.hpp"
#include "s3/s3_client.hpp"
#include "s3/s3_storage_entry.hpp"
#include "transfers.hpp"

namespace fs = std::filesystem;
namespace s3 = caddistransfer::s3;
using Clock = std::chrono::steady_clock;
using s3_bench::CpuSeconds;
using s3_bench::Figure;
using s3_bench::SameContent;

namespace {

constexpr uint64_t kPartSize = 8 << 20;

// Adds one run of `work` (which returns "" or what failed) to `total`.
template <class Work>
void Measure(Figure& total, const char* what, Work&& work) {
  const auto start = Clock::now();
  const double cpu = CpuSeconds();
  std::string failure;
  try {
    failure = work();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  if (!failure.empty()) {
    std::fprintf(stderr, "%s failed: %s\n", what, failure.c_str());
    std::exit(1);
  }
  total.seconds += std::chrono::duration<double>(Clock::now() - start).count();
  total.cpu += CpuSeconds() - cpu;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

int main(int argc, char** argv) {
  uint64_t mib = 64;
  int rounds = 2;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--mib") == 0) mib = std::stoull(argv[i + 1]);
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::stoi(argv[i + 1]);
  }
  const std::optional<s3::StorageEntry> server = s3_bench::ServerFromEnvironment();
  if (!server) return 2;
  const s3::StorageEntry& entry = *server;
  const std::string bucket = entry.location.bucket;
  const std::string prefix = entry.location.prefix + "storage-bench/" + std::to_string(::getpid());

  const fs::path work = fs::temp_directory_path() / ("s3-storage-bench-" + std::to_string(::getpid()));
  fs::create_directories(work / "disk");
  const fs::path source = work / "source.raw", back = work / "plain-back";
  s3_bench::WriteRandomFile(source, mib);
  const fs::path credentials = work / "credentials.json";
  std::ofstream(credentials) << "{\"organizations\": {\"bench\": {\"storages\": {\"disk\": "
                             << Quoted("file://" + (work / "disk").string()) << ", \"s3\": {\"url\": "
                             << Quoted("s3://" + bucket + "/" + prefix) << ", \"endpoint\": "
                             << Quoted(entry.settings.endpoint) << ", \"region\": " << Quoted(entry.settings.region)
                             << ", \"access_key\": " << Quoted(entry.settings.access_key)
                             << ", \"secret_key\": " << Quoted(entry.settings.secret_key) << "}}}}}";
  fs::permissions(credentials, fs::perms::owner_read | fs::perms::owner_write);
  caddistransfer::Manager manager(1);
  manager.LoadCredentials("bench", credentials);
  const int parallel = static_cast<int>(manager.settings().concurrency);
  plain_s3::Target plain{entry.settings.endpoint, entry.settings.region, entry.settings.access_key,
                         entry.settings.secret_key, bucket, prefix + "/plain"};

  const double megabytes = static_cast<double>(fs::file_size(source)) / 1e6;
  std::printf("%.0f MB of random bytes, %llu MiB parts, %d in flight, %s\n", megabytes,
              static_cast<unsigned long long>(kPartSize >> 20), parallel, entry.settings.endpoint.c_str());

  Figure plain_up, s3_up, disk_up, plain_down, s3_down, disk_down;
  for (int round = 0; round < rounds; ++round) {
    const std::string name = "round" + std::to_string(round) + "/source.raw";
    Measure(plain_up, "plain upload", [&] { return plain_s3::Upload(plain, source, kPartSize, parallel); });
    Measure(s3_up, "S3 storage upload", [&] {
      caddistransfer::UploadFile(manager, source, name, std::nullopt, {"s3"});
      return std::string();
    });
    Measure(disk_up, "file storage upload", [&] {
      caddistransfer::UploadFile(manager, source, name, std::nullopt, {"disk"});
      return std::string();
    });
    Measure(plain_down, "plain download", [&] { return plain_s3::Download(plain, back, kPartSize, parallel); });
    if (!SameContent(source, back)) return std::fprintf(stderr, "plain download differs\n"), 1;
    for (const char* storage : {"s3", "disk"}) {
      const fs::path into = work / ("back-" + std::string(storage) + std::to_string(round));
      fs::create_directories(into);
      Measure(std::string(storage) == "s3" ? s3_down : disk_down, storage, [&] {
        caddistransfer::DownloadFile(manager, name, into, {storage});
        return std::string();
      });
      if (!SameContent(source, into / "source.raw")) return std::fprintf(stderr, "%s download differs\n", storage), 1;
      fs::remove_all(into);
    }
  }
  const auto rate = [&](const Figure& figure) { return megabytes * rounds / figure.seconds; };
  const auto line = [&](const char* what, const Figure& ours, const Figure& disk, const Figure& peer) {
    std::printf("%-9s S3 storage %6.1f MB/s (%5.2f s CPU)  file storage %6.1f MB/s (%5.2f s CPU)  plain libcurl "
                "%6.1f MB/s (%5.2f s CPU)  S3 storage/plain %.2f\n",
                what, rate(ours), ours.cpu, rate(disk), disk.cpu, rate(peer), peer.cpu, peer.seconds / ours.seconds);
  };
  line("upload", s3_up, disk_up, plain_up);
  line("download", s3_down, disk_down, plain_down);

  s3::Client client(entry.settings);
  for (const auto& object : client.ListObjects(bucket, prefix + "/")) client.Delete(bucket, object.key);
  fs::remove_all(work);
  return 0;
}
