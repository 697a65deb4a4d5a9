#include "cli/convert/output_file.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iterator>
#include <random>
#include <unistd.h>

#include "frontend_core/reading/report_reader.hpp"

namespace profile_query {
namespace {

// The path an interrupt removes, kept where a signal handler may read it
// (no allocation, no lock): async-signal-safe calls only from here on.
char g_remove[4096];
volatile std::sig_atomic_t g_armed = 0;
constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction g_previous[std::size(kSignals)];

extern "C" void remove_and_reraise(int signal) {
  if (g_armed != 0) ::unlink(g_remove);
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

std::filesystem::path partial_beside(const std::filesystem::path& path) {
  std::random_device random;
  std::filesystem::path partial = path;
  partial += ".partial-" + std::to_string(random());
  return partial;
}

}  // namespace

RemoveOnInterrupt::RemoveOnInterrupt(const std::filesystem::path& path) {
  const std::string text = path.string();
  const std::size_t length = std::min(text.size(), sizeof(g_remove) - 1);
  std::memcpy(g_remove, text.data(), length);
  g_remove[length] = '\0';
  g_armed = 1;
  struct sigaction action {};
  action.sa_handler = remove_and_reraise;
  sigemptyset(&action.sa_mask);
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &action, &g_previous[i]);
  }
}

RemoveOnInterrupt::~RemoveOnInterrupt() {
  for (std::size_t i = 0; i < std::size(kSignals); ++i) {
    sigaction(kSignals[i], &g_previous[i], nullptr);
  }
  g_armed = 0;
}

OutputFile::OutputFile(const std::filesystem::path& path, std::string name)
    : path_(path),
      partial_(partial_beside(path)),
      name_(std::move(name)),
      guard_(partial_) {
  file_ = std::fopen(partial_.c_str(), "wbx");
  if (file_ == nullptr) {
    throw InputError(name_ + ": cannot write there: " + std::strerror(errno));
  }
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!committed_) {
    std::error_code ignored;
    std::filesystem::remove(partial_, ignored);
  }
}

void OutputFile::fail(const std::string& what) {
  throw InputError(name_ + ": " + what);
}

void OutputFile::write(std::string_view bytes) {
  if (!bytes.empty() &&
      std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
    fail(std::string("cannot write: ") + std::strerror(errno));
  }
}

void OutputFile::commit() {
  std::FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0) {
    fail(std::string("cannot write: ") + std::strerror(errno));
  }
  std::error_code error;
  std::filesystem::rename(partial_, path_, error);
  if (error) fail("cannot rename the finished file into place: " +
                  error.message());
  committed_ = true;
}

bool same_file(const std::string& input, const std::string& output) {
  if (input == "-") return false;
  std::error_code error;
  return std::filesystem::equivalent(input, output, error) && !error;
}

}  // namespace profile_query
