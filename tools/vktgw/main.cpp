// vktgw: the stations of one serial line on an MQTT broker. A host of the driver library like
// vkthost: it loads the library at run time and reaches the line only through its exports.
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <httplib.h>
#include <systemd/sd-daemon.h>

#include "backlog.h"
#include "config.h"
#include "driver.h"
#include "gateway.h"
#include "inbox.h"
#include "line.h"
#include "metrics.h"
#include "mqtt_client.h"
#include "payloads.h"

namespace {

const char kUsage[] =
    "usage: vktgw [--driver PATH] CONFIG.toml\n"
    "       vktgw --check-config CONFIG.toml\n"
    "\n"
    "Polls the stations of one serial line as CONFIG.toml says and publishes their values\n"
    "and health to an MQTT broker; takes writes from <prefix>/<station>/<kind>/<address>/set.\n"
    "  --check-config FILE  report every problem of FILE with its line and column; exit 0\n"
    "                       when there is none, 2 otherwise\n"
    "  --driver PATH        the driver library (default: next to vktgw, the installed one,\n"
    "                       then the build tree's)\n"
    "SIGTERM or SIGINT: the current request finishes, the offline status is published and\n"
    "the driver stopped; exit 0.\n";

int CheckConfig(const std::string& path, vktgw::GatewayConfig& config) {
  std::vector<vktgw::ConfigProblem> problems;
  if (vktgw::LoadConfig(path, config, problems)) return 0;
  for (const vktgw::ConfigProblem& p : problems)
    std::fprintf(stderr, "%s\n", vktgw::FormatProblem(path, p).c_str());
  return 2;
}

bool FindDriver(const std::string& given, vkthost::DriverApi& api) {
  std::string error;
  if (!given.empty()) {
    if (vkthost::LoadDriver(given, api, error)) return true;
    std::fprintf(stderr, "vktgw: %s\n", error.c_str());
    return false;
  }
  for (const std::string& path : vkthost::DriverCandidates(vkthost::ExecutableDir())) {
    if (access(path.c_str(), F_OK) != 0) continue;
    if (vkthost::LoadDriver(path, api, error)) return true;
    std::fprintf(stderr, "vktgw: %s\n", error.c_str());
    return false;
  }
  std::fprintf(stderr, "vktgw: no driver library found; pass --driver PATH/libvktjx.so\n");
  return false;
}

std::string Absolute(const std::string& path) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) != nullptr) return buffer;
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  std::string configPath, driverPath;
  bool check = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--check-config" && i + 1 < argc && configPath.empty()) {
      check = true;
      configPath = argv[++i];
    } else if (a == "--driver" && i + 1 < argc) {
      driverPath = Absolute(argv[++i]);
    } else if (!a.empty() && a[0] != '-' && configPath.empty()) {
      configPath = a;
    } else {
      std::fprintf(stderr, "vktgw: unexpected argument %s\n\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (configPath.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  vktgw::GatewayConfig config;
  const int checked = CheckConfig(configPath, config);
  if (check || checked != 0) {
    if (check && checked == 0) std::printf("%s: ok\n", configPath.c_str());
    return checked;
  }

  vkthost::DriverApi api{};
  if (!FindDriver(driverPath, api)) return 1;
  if (config.portNumber != 0)
    setenv(("VKTJX_COM" + std::to_string(config.portNumber)).c_str(), config.portDevice.c_str(), 1);
  if (chdir(config.dir.c_str()) != 0) {
    std::fprintf(stderr, "vktgw: settings directory %s: %s\n", config.dir.c_str(),
                 std::strerror(errno));
    return 1;
  }

  // Stop signals are taken by one thread of their own; every other thread blocks them, so a
  // signal never cuts into a request on the line.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  vktgw::Inbox inbox;
  std::thread([&inbox, stopSignals] {
    int sig = 0;
    sigwait(&stopSignals, &sig);
    inbox.RequestStop();
  }).detach();

  vktgw::MqttSettings ms;
  ms.host = config.host;
  ms.port = config.port;
  ms.clientId = config.clientId;
  ms.qos = config.qos;
  ms.willTopic = config.prefix + "/status";
  ms.willPayload = vktgw::GatewayStatusPayload(false, "");
  ms.subscription = config.prefix + "/+/+/+/set";
  ms.tls = config.tls;
  ms.caFile = config.caFile;
  ms.certFile = config.certFile;
  ms.keyFile = config.keyFile;
  ms.username = config.username;
  ms.password = config.password;
  std::vector<int> stations;
  std::vector<std::string> polls;
  for (const vktgw::PollGroup& p : config.polls) {
    stations.push_back(p.station);
    polls.push_back(p.name);
  }
  vktgw::Metrics metrics(stations, polls);
  vktgw::Backlog* backlogInUse = nullptr;
  vktgw::MqttClient mqtt(
      ms,
      [&inbox, &backlogInUse] {
        inbox.PostConnected();
        if (backlogInUse != nullptr) backlogInUse->Wake();
      },
      [&inbox](vktgw::IncomingMessage&& m) { inbox.PostWrite(std::move(m)); });
  std::string error;
  vktgw::Backlog backlog(mqtt);
  if (!config.backlogDir.empty()) {
    if (!backlog.Start(config.backlogDir, static_cast<std::uint64_t>(config.backlogMaxMb) << 20,
                       &metrics, error)) {
      std::fprintf(stderr, "vktgw: backlog: %s\n", error.c_str());
      return 1;
    }
    backlogInUse = &backlog;
    mqtt.SetAckHandler([&backlog](int mid) { backlog.OnAcknowledged(mid); });
  }
  if (!mqtt.Start(error)) {
    std::fprintf(stderr, "vktgw: %s\n", error.c_str());
    return 1;
  }
  httplib::Server http;
  std::thread httpThread;
  if (config.metricsPort != 0) {
    http.Get("/metrics", [&metrics](const httplib::Request&, httplib::Response& res) {
      res.set_content(metrics.Render(), "text/plain; version=0.0.4; charset=utf-8");
    });
    if (!http.bind_to_port(config.metricsHost, config.metricsPort)) {
      std::fprintf(stderr, "vktgw: cannot listen for metrics on %s:%d\n", config.metricsHost.c_str(),
                   config.metricsPort);
      backlog.Stop(0);
      mqtt.Stop(0);
      return 1;
    }
    httpThread = std::thread([&http] { http.listen_after_bind(); });
  }
  vktgw::DriverLine line(api);
  vktgw::Gateway gateway(config, line, mqtt, inbox);
  gateway.SetMetrics(&metrics);
  gateway.SetBacklog(backlogInUse);
  // Under systemd with Type=notify: NOTIFY_SOCKET set; WatchdogSec= gives WATCHDOG_USEC. The
  // loop pings at half the watchdog time.
  if (getenv("NOTIFY_SOCKET") != nullptr) {
    uint64_t watchdogUs = 0;
    if (sd_watchdog_enabled(0, &watchdogUs) <= 0) watchdogUs = 0;
    gateway.SetNotify([](const std::string& m) { sd_notify(0, m.c_str()); },
                      static_cast<std::int64_t>(watchdogUs / 2000));
  }
  gateway.Run();
  if (httpThread.joinable()) {
    http.stop();
    httpThread.join();
  }
  return 0;
}
