#include "batch.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "calibration_search.hpp"
#include "chunk_check.hpp"
#include "interrupt.hpp"
#include "leftover_sweep.hpp"
#include "chunk_kind.hpp"
#include "library_log.hpp"
#include "progress.hpp"
#include "sync.hpp"
#include "tarn/file/metadata/metadata.hpp"
#include "tarn/file/prepare_report.hpp"
#include "tarn/tarn.h"
#include "units.hpp"

namespace tarn::cli {
namespace {

namespace fs = std::filesystem;

// What became of one job, printed when every job before it has been printed.
struct Outcome {
  bool ok = false;
  std::vector<std::string> out_lines;  // standard output
  std::vector<std::string> err_lines;  // standard error
  uint64_t bytes_in = 0;
  uint64_t bytes_out = 0;
  std::optional<std::string> stopped = std::nullopt;  // interrupted: what became of the output
  bool lossy = false;  // prepared images: the output does not restore the source
};

const char* Optional(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

uint64_t SizeOf(const fs::path& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  return error ? 0 : size;
}

std::string Percent(uint64_t part, uint64_t whole) {
  return whole == 0 ? "-" : fmt::format("{:.1f}%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
}

// Failing is signalled by exception inside one job, so that every step can simply stop.
struct JobFailure {
  std::string reason;
};

class Batch {
 public:
  Batch(const Arguments& arguments, const std::vector<Job>& jobs, Console& console)
      : arguments_(arguments), jobs_(jobs), console_(console), outcomes_(jobs.size()) {}

  size_t Run(size_t workers) {
    const auto start = std::chrono::steady_clock::now();
    uint64_t total = 0;
    for (const Job& job : jobs_) total += job.size;
    workers = std::clamp<size_t>(workers, 1, std::max<size_t>(jobs_.size(), 1));
    if (arguments_.command != Command::Test) swept_ = SweepDestinationFolders(jobs_, arguments_.verbosity, console_);
    {
      ProgressMeter progress(arguments_.verbosity >= 0 ? console_ : silent_console_, jobs_.size(), total);
      progress_ = &progress;
      std::vector<std::thread> threads;
      for (size_t worker = 1; worker < workers; ++worker) threads.emplace_back([this] { Work(); });
      Work();
      for (std::thread& thread : threads) thread.join();
      progress_ = nullptr;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (const int signal = InterruptSignal()) {
      if (arguments_.verbosity > -2) console_.Err(InterruptionReport(signal));
    } else if (jobs_.size() > 1 && arguments_.verbosity >= 0) {
      console_.Err(Summary(seconds));
    }
    return failures_;
  }

 private:
  void Work() {
    // Once interrupted, no file is begun.
    for (size_t index; InterruptSignal() == 0 && (index = next_job_++) < jobs_.size();) {
      const Job& job = jobs_[index];
      progress_->Begin(job.size);
      Outcome outcome = RunJob(job);
      progress_->End(job.size);
      Deliver(index, std::move(outcome));
    }
  }

  // Prints outcomes in input order, whichever worker finished first.
  void Deliver(size_t index, Outcome outcome) {
    std::lock_guard lock(deliver_mutex_);
    outcomes_[index] = std::move(outcome);
    for (; next_to_print_ < outcomes_.size() && outcomes_[next_to_print_]; ++next_to_print_) {
      Outcome& ready = *outcomes_[next_to_print_];
      for (const std::string& line : ready.out_lines) console_.Out(line);
      for (const std::string& line : ready.err_lines) console_.Err(line);
      if (ready.stopped) {
        stopped_.push_back(fmt::format("{} ({})", jobs_[next_to_print_].source, *ready.stopped));
      } else if (ready.ok) {
        ++succeeded_;
        bytes_in_ += ready.bytes_in;
        bytes_out_ += ready.bytes_out;
        if (ready.lossy) ++lossy_;
      } else {
        ++failures_;
      }
      ready.out_lines.clear();
      ready.err_lines.clear();
    }
  }

  Outcome Failed(const Job& job, const std::string& reason) const {
    Outcome outcome;
    if (arguments_.verbosity > -2) outcome.err_lines.push_back(fmt::format("tarn: {}: {}", job.source, reason));
    return outcome;
  }

  Outcome RunJob(const Job& job) {
    if (job.refusal) return Failed(job, *job.refusal);
    Outcome outcome;
    const int verbosity = arguments_.verbosity;
    FileLog log;
    try {
      FileLogScope scope(log);
      outcome = Perform(job, log);
      outcome.ok = true;
    } catch (const Interrupted&) {
      outcome = Outcome{};
      outcome.stopped = Unfinished(job);
      return outcome;
    } catch (const JobFailure& failure) {
      outcome = Failed(job, failure.reason);
    } catch (const std::exception& error) {
      outcome = Failed(job, error.what());
    }
    // Errors the library logged although the file succeeded (a chunk it had to store
    // differently) are worth seeing; its notes only when asked for.
    if (outcome.ok && verbosity > -2) {
      for (const std::string& error : log.errors) outcome.err_lines.push_back(fmt::format("tarn: {}: {}", job.source, error));
    }
    if (verbosity >= 1) {
      for (const std::string& note : log.DistinctNotes()) {
        outcome.err_lines.push_back(fmt::format("tarn: {}: {}", job.source, note));
      }
    }
    return outcome;
  }

  // The per-file line of compress and decompress: for a single file, or for each with -v.
  bool ShowFileLine() const {
    return arguments_.verbosity >= 1 || (arguments_.verbosity == 0 && jobs_.size() == 1);
  }

  Outcome Perform(const Job& job, const FileLog& log) {
    switch (arguments_.command) {
      case Command::Compress:
        return Compress(job, log);
      case Command::Decompress:
        return Decompress(job, log);
      case Command::Prepare:
        return Prepare(job, log);
      case Command::Test:
        return Test(job);
      default:
        throw JobFailure{"nothing to do"};
    }
  }

  // The library replaces destinations; refusing is this program's job.
  void PrepareDestination(const Job& job) const {
    std::error_code error;
    if (!arguments_.force && fs::exists(fs::symlink_status(*job.destination, error))) {
      throw JobFailure{fmt::format("{} already exists; use -f to replace it", job.destination->string())};
    }
    if (job.create_parent) {
      fs::create_directories(job.destination->parent_path(), error);
      if (error) {
        throw JobFailure{fmt::format("cannot create folder {}: {}", job.destination->parent_path().string(),
                                     error.message())};
      }
    }
  }

  static void Check(TarnStatus status, const FileLog& log) {
    if (status == kTarnStatusOk) return;
    if (status == kTarnStatusStopped) throw Interrupted{};
    const int code = static_cast<int>(status);
    if (log.errors.empty()) throw JobFailure{fmt::format("{} (status {})", TarnStatusDescription(status), code)};
    throw JobFailure{fmt::format("{} (status {}: {})", log.errors.back(), code, TarnStatusDescription(status))};
  }

  // A prepare that found no calibration also says what it looked for and where.
  void CheckPrepared(TarnStatus status, const FileLog& log, const Job& job) const {
    try {
      Check(status, log);
    } catch (JobFailure& failure) {
      if (status == kTarnStatusNoParametersForIdentifier) {
        failure.reason += "\n  " + MissingCalibrationHint(job.source, arguments_.calibration_id, arguments_.calibrations);
      }
      throw;
    }
  }

  // Decompress and test take compressed files only, whatever their names say.
  static void RequireCompressed(const Job& job) {
    bool compressed = false;
    try {
      compressed = Metadata::IsCompressedFile(job.source);
    } catch (const std::exception& error) {
      throw JobFailure{error.what()};
    }
    if (!compressed) throw JobFailure{"not a compressed file"};
  }

  static void MakeDurable(const fs::path& output) {
    if (auto error = SyncFileAndFolder(output)) {
      throw JobFailure{fmt::format("cannot sync {} to disk: {}; source kept", output.string(), error.message())};
    }
  }

  static void RemoveSource(const Job& job) {
    std::error_code error;
    fs::remove(job.source, error);
    if (error) throw JobFailure{fmt::format("output complete, but the source cannot be removed: {}", error.message())};
  }

  Outcome Compress(const Job& job, const FileLog& log) {
    PrepareDestination(job);
    const fs::path& destination = *job.destination;
    PrepareReport report;
    const uint32_t version = arguments_.container_version.value_or(0);
    CheckPrepared(arguments_.prepare ? PrepareAndCompressFile(job.source.c_str(), destination.c_str(),
                                                              Optional(arguments_.calibration_id),
                                                              Optional(arguments_.metadata_json), report, version)
                                     : TarnCompressFileInVersion(job.source.c_str(), destination.c_str(),
                                                                 Optional(arguments_.metadata_json), version),
                  log, job);
    Outcome outcome{true, {}, {}, SizeOf(job.source), SizeOf(destination)};
    outcome.lossy = report.prepared > 0;
    if (arguments_.remove_sources) {
      ThrowIfInterrupted();
      MakeDurable(destination);
      // The source goes only once its output is known to decode to exactly its bytes.
      const CheckReport check = CheckCompressedFile(destination, fs::path(job.source));
      progress_->Reread(outcome.bytes_in + outcome.bytes_out);
      if (!check.ok()) {
        std::error_code ignored;
        fs::remove(destination, ignored);
        throw JobFailure{fmt::format("{} failed its check, removed; source kept: {}", destination.string(),
                                     check.Describe())};
      }
      ThrowIfInterrupted();
      RemoveSource(job);
    }
    if (ShowFileLine()) {
      std::string preparing;
      if (arguments_.prepare) {
        preparing = report.nothing_to_prepare ? fmt::format(", nothing prepared ({})", *report.nothing_to_prepare)
                                              : std::string(", ") + kPreparedMark;
      }
      outcome.err_lines.push_back(fmt::format("{}: {} ({} => {}, {}){}{}", job.source, Percent(outcome.bytes_out, outcome.bytes_in),
                                              HumanSize(outcome.bytes_in), HumanSize(outcome.bytes_out),
                                              destination.string(), arguments_.remove_sources ? ", source removed" : "",
                                              preparing));
    }
    return outcome;
  }

  Outcome Decompress(const Job& job, const FileLog& log) {
    // With --json the side file is the description; the source needs none of its own.
    if (!arguments_.metadata_json) RequireCompressed(job);
    PrepareDestination(job);
    const fs::path& destination = *job.destination;
    Check(TarnDecompressFile(job.source.c_str(), destination.c_str(), Optional(arguments_.metadata_json)), log);
    Outcome outcome{true, {}, {}, SizeOf(job.source), SizeOf(destination)};
    if (arguments_.remove_sources) {
      ThrowIfInterrupted();
      MakeDurable(destination);
      RemoveSource(job);
    }
    if (ShowFileLine()) {
      outcome.err_lines.push_back(fmt::format("{}: restored {} as {}{}", job.source, HumanSize(outcome.bytes_out),
                                              destination.string(), arguments_.remove_sources ? ", source removed" : ""));
    }
    return outcome;
  }

  // A file in which nothing could be prepared gets no output, unless -f asks for the copy.
  Outcome Prepare(const Job& job, const FileLog& log) {
    PrepareDestination(job);
    PrepareReport report;
    const TarnStatus status = PrepareFile(job.source.c_str(), job.destination->c_str(),
                                          Optional(arguments_.calibration_id), report, arguments_.force);
    if (!arguments_.force && status != kTarnStatusOk && report.nothing_to_prepare) {
      throw JobFailure{"nothing to prepare: " + *report.nothing_to_prepare};
    }
    CheckPrepared(status, log, job);
    Outcome outcome{true, {}, {}, SizeOf(job.source), SizeOf(*job.destination)};
    outcome.lossy = report.prepared > 0;
    if (ShowFileLine()) {
      outcome.err_lines.push_back(
          report.nothing_to_prepare
              ? fmt::format("{}: nothing to prepare ({}); copied as {}", job.source, *report.nothing_to_prepare,
                            job.destination->string())
              : fmt::format("{}: prepared {} as {} (lossy)", job.source, Count(report.prepared, "image"),
                            job.destination->string()));
    }
    return outcome;
  }

  Outcome Test(const Job& job) const {
    RequireCompressed(job);
    const CheckReport check = CheckCompressedFile(job.source);
    if (!check.ok()) throw JobFailure{check.Describe()};
    Outcome outcome{true, {}, {}, job.size, check.decoded_bytes};
    outcome.lossy = check.prepared_chunks > 0;
    if (arguments_.verbosity >= 0) {
      const std::string lossy =
          outcome.lossy ? fmt::format("; {} {}", Count(check.prepared_chunks, "chunk"), kPreparedMark) : "";
      outcome.out_lines.push_back(fmt::format("{}: OK ({}, {} decoded{})", job.source, Count(check.chunks, "chunk"),
                                              HumanSize(check.decoded_bytes), lossy));
    }
    return outcome;
  }

  // What an interrupted output became: the library removes what it had not finished.
  std::string Unfinished(const Job& job) const {
    if (!job.destination) return "not checked to the end";
    std::error_code error;
    if (arguments_.remove_sources && fs::exists(*job.destination, error)) return "output complete, source kept";
    return "no output written";
  }

  std::string InterruptionReport(int signal) const {
    const size_t not_started = jobs_.size() - std::min(jobs_.size(), succeeded_ + failures_ + stopped_.size());
    std::string report = fmt::format("tarn: interrupted by {}: {} done", SignalName(signal), Count(succeeded_, "file"));
    if (failures_ > 0) report += fmt::format(", {} failed", failures_);
    if (!stopped_.empty()) {
      report += "; unfinished: ";
      for (size_t i = 0; i < stopped_.size(); ++i) report += (i == 0 ? "" : ", ") + stopped_[i];
    }
    if (not_started > 0) report += fmt::format("; {} not started", Count(not_started, "file"));
    return report;
  }

  std::string Summary(double seconds) const {
    std::string failed = failures_ == 0 ? "" : fmt::format("; {} failed", failures_);
    if (swept_.files > 0) {
      failed += fmt::format("; removed {} of interrupted runs ({})", Count(swept_.files, "unfinished output"),
                            HumanSize(swept_.bytes));
    }
    const std::string time = HumanDuration(seconds);
    const std::string lossy = lossy_ == 0 ? "" : fmt::format(" ({} {})", lossy_, kPreparedMark);
    switch (arguments_.command) {
      case Command::Compress:
        return fmt::format("tarn: {} compressed{}: {} => {} (ratio {}) in {}{}", Count(succeeded_, "file"), lossy,
                           HumanSize(bytes_in_),
                           HumanSize(bytes_out_),
                           bytes_out_ == 0 ? "-" : fmt::format("{:.2f}", static_cast<double>(bytes_in_) / static_cast<double>(bytes_out_)),
                           time, failed);
      case Command::Decompress:
        return fmt::format("tarn: {} restored: {} => {} in {}{}", Count(succeeded_, "file"), HumanSize(bytes_in_),
                           HumanSize(bytes_out_), time, failed);
      case Command::Test:
        return fmt::format("tarn: {} OK{}, {} decoded in {}{}", Count(succeeded_, "file"), lossy, HumanSize(bytes_out_),
                           time, failed);
      default: {
        const size_t copied = succeeded_ - lossy_;  // nothing to prepare, copied with -f
        return fmt::format("tarn: {} prepared (lossy){} in {}{}", Count(lossy_, "file"),
                           copied == 0 ? "" : fmt::format(", {} copied unchanged", copied), time, failed);
      }
    }
  }

  const Arguments& arguments_;
  const std::vector<Job>& jobs_;
  Console& console_;
  Console silent_console_{false};
  ProgressMeter* progress_ = nullptr;
  std::atomic<size_t> next_job_{0};

  std::mutex deliver_mutex_;
  std::vector<std::optional<Outcome>> outcomes_;
  size_t next_to_print_ = 0;
  size_t succeeded_ = 0;
  size_t failures_ = 0;
  std::vector<std::string> stopped_;  // interrupted files, with what became of their outputs
  SweepResult swept_;
  size_t lossy_ = 0;  // files with prepared images
  uint64_t bytes_in_ = 0;
  uint64_t bytes_out_ = 0;
};

}  // namespace

bool IsBatchCommand(Command command) {
  return command == Command::Compress || command == Command::Decompress || command == Command::Prepare ||
         command == Command::Test;
}

size_t RunBatch(const Arguments& arguments, const std::vector<Job>& jobs, size_t workers, Console& console) {
  return Batch(arguments, jobs, console).Run(workers);
}

}  // namespace tarn::cli
