// vktsim: VKT controller stations on a serial line, for tests and benchmarks of the driver.
// One thread, one poll() loop: received bytes go to the modem (when emulated) or straight to
// the stations; responses leave through the line's output queue.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "line.h"
#include "modem.h"
#include "options.h"
#include "report.h"
#include "station_memory.h"
#include "station_server.h"

namespace {

using vktsim::NowUs;

// How often a closed pseudo-terminal is looked at again for a new client.
constexpr std::int64_t kReopenCheckUs = 5000;

bool MakeLink(const std::string& target, const std::string& link, std::string& error) {
  struct stat st{};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = link + " exists and is not a symlink";
      return false;
    }
    unlink(link.c_str());
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    error = "cannot make symlink " + link + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void SaveMemory(const vktsim::Options& options, const vktsim::StationMemory& memory) {
  if (options.memoryFile.empty()) return;
  std::string error;
  if (!memory.SaveWritten(options.memoryFile, error))
    std::fprintf(stderr, "vktsim: %s\n", error.c_str());
}

std::int64_t Earliest(std::int64_t a, std::int64_t b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

// The signals are taken through the poll loop, so a stop never interrupts a half-done frame.
// The descriptor they arrive on, or -1.
int TakeSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR1);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);
}

// The poll loop over the signals and the line, until a stop signal or a line error.
class EventLoop {
 public:
  EventLoop(const vktsim::Options& options, int signalFd, vktsim::StationMemory& memory,
            vktsim::Report& report, vktsim::Line& line, vktsim::StationServer& stations,
            vktsim::Modem& modem, vkt::serial::CaptureRecorder& capture)
      : options_(options), signalFd_(signalFd), memory_(memory), report_(report), line_(line),
        stations_(stations), modem_(modem), capture_(capture),
        // A pseudo-terminal nobody has open reports a hang-up until a client opens it.
        lineClosed_(line.isPty()) {}

  // The exit code: 0 after a stop signal, 1 after an error.
  int Run() {
    while (running_) Step();
    return exitCode_;
  }

 private:
  void Step() {
    std::int64_t now = NowUs();
    std::int64_t due = -1;
    if (!lineClosed_) {
      due = Earliest(due, line_.NextDueUs());
    }
    due = Earliest(due, stations_.NextDueUs());
    if (options_.modem) due = Earliest(due, modem_.NextDueUs());
    if (lineClosed_) due = Earliest(due, nextReopenCheckUs_);

    pollfd fds[2];
    fds[0] = {signalFd_, POLLIN, 0};
    int nfds = 1;
    const bool watchLine = !lineClosed_ || now >= nextReopenCheckUs_;
    if (watchLine) {
      short events = POLLIN;
      if (line_.wantsWritable()) events |= POLLOUT;
      fds[1] = {line_.fd(), events, 0};
      nfds = 2;
    }
    timespec timeout{};
    timespec* timeoutPtr = nullptr;
    if (due >= 0) {
      const std::int64_t wait = due > now ? due - now : 0;
      timeout.tv_sec = static_cast<time_t>(wait / 1000000);
      timeout.tv_nsec = static_cast<long>((wait % 1000000) * 1000);
      timeoutPtr = &timeout;
    }
    if (lineClosed_ && watchLine) {
      timeout = {};
      timeoutPtr = &timeout;
    }
    const int ready = ppoll(fds, static_cast<nfds_t>(nfds), timeoutPtr, nullptr);
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "vktsim: poll: %s\n", std::strerror(errno));
      exitCode_ = 1;
      running_ = false;
      return;
    }
    now = NowUs();

    if (ready > 0 && (fds[0].revents & POLLIN)) ReadSignals();
    if (nfds == 2) {
      const short revents = fds[1].revents;
      bool hangUp = (revents & POLLHUP) != 0;
      if (revents & (POLLIN | POLLERR | POLLHUP)) hangUp = ReadLine(now) || hangUp;
      if (line_.isPty()) TrackClient(hangUp, now);
    }

    stations_.Poll(now);
    if (options_.modem) modem_.Poll(now);
    if (!lineClosed_ && !line_.Flush(NowUs())) {
      std::fprintf(stderr, "vktsim: write: %s\n", std::strerror(errno));
      exitCode_ = 1;
      running_ = false;
    }
  }

  void ReadSignals() {
    signalfd_siginfo info{};
    while (read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      if (info.ssi_signo == SIGUSR1) {
        SaveMemory(options_, memory_);
        report_.Trace("memory file written (SIGUSR1)");
      } else {
        running_ = false;
      }
    }
  }

  // Hands every byte waiting on the line to the modem or the stations; true when the other
  // side of a pseudo-terminal has closed it.
  bool ReadLine(std::int64_t now) {
    for (;;) {
      const ssize_t n = read(line_.fd(), input_, sizeof input_);
      if (n > 0) {
        if (capture_.Running())
          capture_.Data(vkt::serial::kEventReceived, 0, input_, static_cast<std::size_t>(n));
        if (lineClosed_) {
          lineClosed_ = false;
          ++report_.counters.lineOpens;
        }
        for (ssize_t i = 0; i < n; ++i) {
          if (options_.modem)
            modem_.Receive(input_[i], now);
          else
            stations_.Receive(input_[i], now);
        }
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return false;
      if (line_.isPty() && (n == 0 || errno == EIO)) return true;
      std::fprintf(stderr, "vktsim: read: %s\n", n == 0 ? "end of file" : std::strerror(errno));
      exitCode_ = 1;
      running_ = false;
      return false;
    }
  }

  // A pseudo-terminal's client comes and goes: a hang-up closes the line until it is back.
  void TrackClient(bool hangUp, std::int64_t now) {
    if (hangUp) {
      if (!lineClosed_) {
        report_.Trace("line closed by the other side");
        if (capture_.Running()) capture_.Note(vkt::serial::kEventStatus, 0, "line closed by the other side");
        lineClosed_ = true;
        line_.Discard();
        stations_.Reset();
        if (options_.modem) modem_.LineClosed(now);
      }
      nextReopenCheckUs_ = now + kReopenCheckUs;
    } else if (lineClosed_) {
      lineClosed_ = false;
      ++report_.counters.lineOpens;
      report_.Trace("line opened by the other side");
      if (capture_.Running()) capture_.Note(vkt::serial::kEventStatus, 0, "line opened by the other side");
    }
  }

  const vktsim::Options& options_;
  const int signalFd_;
  vktsim::StationMemory& memory_;
  vktsim::Report& report_;
  vktsim::Line& line_;
  vktsim::StationServer& stations_;
  vktsim::Modem& modem_;
  vkt::serial::CaptureRecorder& capture_;
  bool lineClosed_;
  std::int64_t nextReopenCheckUs_ = 0;
  int exitCode_ = 0;
  bool running_ = true;
  std::uint8_t input_[512];
};

}  // namespace

int main(int argc, char** argv) {
  vktsim::Options options;
  std::string error;
  switch (vktsim::ParseOptions(argc, argv, options, error)) {
    case vktsim::ParseOutcome::kHelp:
      std::fputs(vktsim::HelpText(), stdout);
      return 0;
    case vktsim::ParseOutcome::kError:
      std::fprintf(stderr, "vktsim: %s\n", error.c_str());
      return 2;
    case vktsim::ParseOutcome::kRun:
      break;
  }

  const int signalFd = TakeSignals();
  if (signalFd < 0) {
    std::fprintf(stderr, "vktsim: signalfd: %s\n", std::strerror(errno));
    return 1;
  }

  vktsim::StationMemory memory(options.stations, options.pattern);
  if (!options.initFile.empty() && !memory.LoadInitFile(options.initFile, error)) {
    std::fprintf(stderr, "vktsim: %s\n", error.c_str());
    return 2;
  }

  vktsim::Report report(options.trace, NowUs());
  vktsim::Line line(options, report);
  std::string path;
  if (!line.Open(path, error)) {
    std::fprintf(stderr, "vktsim: %s\n", error.c_str());
    return 1;
  }
  if (!options.link.empty() && !MakeLink(path, options.link, error)) {
    std::fprintf(stderr, "vktsim: %s\n", error.c_str());
    return 1;
  }
  vkt::serial::CaptureRecorder capture;
  if (!options.captureFile.empty()) {
    if (!capture.Start(options.captureFile, "vktsim " + path, 0, error)) {
      std::fprintf(stderr, "vktsim: %s\n", error.c_str());
      return 1;
    }
    line.SetCapture(&capture);
    capture.Note(vkt::serial::kEventStatus, 0, "vktsim listening on %s", path.c_str());
  }
  vktsim::Replay replay;
  if (!options.replayFile.empty() && !replay.Load(options.replayFile, error)) {
    std::fprintf(stderr, "vktsim: %s\n", error.c_str());
    return 2;
  }
  vktsim::StationServer stations(options, memory, line, report);
  if (!options.replayFile.empty()) stations.SetReplay(&replay);
  vktsim::Modem modem(options, line, stations, report);

  std::printf("vktsim: listening on %s\n", path.c_str());
  std::fflush(stdout);

  const int exitCode =
      EventLoop(options, signalFd, memory, report, line, stations, modem, capture).Run();

  SaveMemory(options, memory);
  line.SetCapture(nullptr);
  capture.Stop();
  report.PrintCounters();
  if (!options.link.empty()) unlink(options.link.c_str());
  return exitCode;
}
