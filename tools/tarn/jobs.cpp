#include "jobs.hpp"

#include <algorithm>
#include <cctype>
#include <map>
#include <system_error>

#include <fmt/format.h>

#include "tarn/file/temporary_name.hpp"
#include "tarn/file/metadata/metadata.hpp"

namespace tarn::cli {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kSuffix = ".nivra";

// A file that cannot be read is left to the job, which names the reason.
bool LooksCompressed(const fs::path& path) {
  try {
    return Metadata::IsCompressedFile(path);
  } catch (const std::exception&) {
    return true;
  }
}

struct Found {
  fs::path path;
  fs::path relative;  // below the folder named on the command line
};

// Regular files below `folder`, sorted; symbolic links are not followed.
void Walk(const fs::path& folder, const fs::path& relative, std::vector<Found>& found, std::vector<Job>& failures) {
  std::error_code error;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(folder / relative, error), end; !error && it != end; it.increment(error)) {
    entries.push_back(*it);
  }
  if (error) {
    failures.push_back(Job{(folder / relative).string(), {}, false, 0, "cannot read folder: " + error.message()});
    return;
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
  for (const fs::directory_entry& entry : entries) {
    const fs::path inner = relative / entry.path().filename();
    const fs::file_status status = entry.symlink_status(error);
    if (error) continue;
    if (fs::is_directory(status)) {
      Walk(folder, inner, found, failures);
    } else if (fs::is_regular_file(status)) {
      found.push_back({entry.path(), inner});
    }
  }
}

class Planner {
 public:
  explicit Planner(const Arguments& arguments) : arguments_(arguments) {}

  std::vector<Job> Plan() {
    for (const std::string& input : arguments_.files) AddInput(input);
    RefuseSharedDestinations();
    return std::move(jobs_);
  }

 private:
  bool Compressing() const { return arguments_.command == Command::Compress; }
  bool Decompressing() const { return arguments_.command == Command::Decompress; }
  bool OutputIsFile() const { return arguments_.output && !arguments_.recursive; }

  void Refuse(const std::string& source, std::string reason) {
    jobs_.push_back(Job{source, {}, false, 0, std::move(reason)});
  }

  void AddInput(const std::string& input) {
    std::error_code error;
    const fs::file_status status = fs::status(input, error);
    if (!fs::exists(status)) {
      Refuse(input, error && error != std::errc::no_such_file_or_directory ? error.message() : "no such file");
      return;
    }
    if (fs::is_directory(status)) {
      if (!arguments_.recursive) {
        Refuse(input, "is a folder -- ignored (use -r)");
        return;
      }
      std::vector<Found> found;
      Walk(input, {}, found, jobs_);
      for (const Found& file : found) {
        if (Wanted(file.path)) Add(file.path.string(), file.relative);
      }
      return;
    }
    if (!fs::is_regular_file(status)) {
      Refuse(input, "not a regular file -- ignored");
      return;
    }
    if (Compressing() && HasCompressedSuffix(input) && !OutputIsFile()) {
      Refuse(input, "already has .nivra suffix -- unchanged");
      return;
    }
    if (Decompressing() && !HasCompressedSuffix(input) && !OutputIsFile()) {
      // Only a compressed file that lost its suffix needs -o; a plain file is refused as such.
      Refuse(input, arguments_.metadata_json || LooksCompressed(input) ? "unknown suffix -- ignored (use -o)"
                                                                       : "not a compressed file");
      return;
    }
    Add(input, fs::path(input).filename());
  }

  // What a folder walk takes: compress every file not yet compressed, the others every
  // compressed file.
  bool Wanted(const fs::path& path) const {
    // An output in progress, or one an interrupted run left behind.
    if (IsTemporaryName(path.filename().string())) return false;
    return Compressing() ? !HasCompressedSuffix(path) : HasCompressedSuffix(path);
  }

  void Add(const std::string& source, const fs::path& relative) {
    Job job;
    job.source = source;
    std::error_code error;
    job.size = fs::file_size(source, error);
    if (error) job.size = 0;
    job.destination = Destination(source, relative);
    job.create_parent = arguments_.output && arguments_.recursive;
    jobs_.push_back(std::move(job));
  }

  std::optional<fs::path> Destination(const std::string& source, const fs::path& relative) const {
    const Command command = arguments_.command;
    if (command == Command::Test || command == Command::Info) return std::nullopt;
    fs::path destination;
    if (OutputIsFile()) {
      destination = *arguments_.output;
    } else if (arguments_.output) {
      destination = fs::path(*arguments_.output) / relative;
      if (Compressing()) destination += kSuffix;
      if (Decompressing()) destination.replace_extension();
    } else if (Compressing()) {
      destination = source + std::string(kSuffix);
    } else if (command == Command::Prepare) {
      const fs::path path(source);
      destination = path.parent_path() / (path.stem().string() + ".prepared" + path.extension().string());
    } else {
      destination = fs::path(source).replace_extension();
    }
    // The library takes the suffix off whatever name a restored file is given.
    if (Decompressing() && destination.extension() == kSuffix) destination.replace_extension();
    return destination;
  }

  // Two inputs of one batch must never race for the same output.
  void RefuseSharedDestinations() {
    std::map<fs::path, std::string> writers;
    for (Job& job : jobs_) {
      if (job.refusal || !job.destination) continue;
      const fs::path key = fs::absolute(*job.destination).lexically_normal();
      const auto [first, inserted] = writers.emplace(key, job.source);
      if (!inserted) {
        job.refusal = fmt::format("{} is also the output of {} -- ignored", job.destination->string(), first->second);
      }
    }
  }

  const Arguments& arguments_;
  std::vector<Job> jobs_;
};

}  // namespace

bool HasCompressedSuffix(const fs::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == kSuffix;
}

std::vector<Job> PlanJobs(const Arguments& arguments) { return Planner(arguments).Plan(); }

}  // namespace tarn::cli
