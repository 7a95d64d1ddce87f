// A real mosquitto broker on a free loopback port, started and stopped by the test, and a
// small MQTT 5 client that records what it receives.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

namespace vktgw::test {

// A loopback TCP port that is free now (0 if none could be found).
int FreePort();

class Broker {
 public:
  // Picks a free port; `dir` holds the broker's config and log.
  explicit Broker(std::string dir);
  ~Broker() { Stop(); }
  // Starts mosquitto and waits until it takes connections; false (with `failure`) if not.
  bool Start();
  void Stop();
  int port() const { return port_; }
  // Replaces what follows the listener line in the broker's config (TLS, passwords).
  void set_listener_settings(std::string text) { settings_ = std::move(text); }
  // Keeps the sessions of persistent clients, and what waits for them, across a restart.
  void set_persistent() { persistent_ = true; }
  const std::string& failure() const { return failure_; }

 private:
  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  std::string failure_;
  std::string settings_ = "allow_anonymous true\n";
  bool persistent_ = false;
};

// TLS and credentials of a test client; empty: plain and anonymous.
struct ClientAuth {
  std::string caFile;
  std::string username, password;
};

struct Received {
  std::string topic;
  std::string payload;
  bool retained = false;
  std::string correlation;
};

class TestClient {
 public:
  // `persistent`: an MQTT 3.1.1 session that is not clean, so the broker keeps the
  // subscriptions and queues QoS 1 messages while the client is away; the client reconnects
  // by itself.
  explicit TestClient(int port, std::string id, const ClientAuth& auth = {}, bool persistent = false);
  ~TestClient();
  bool connected() const { return connected_; }
  void Subscribe(const std::string& filter);
  // `responseTopic` and `correlation` become MQTT 5 properties when not empty.
  void Publish(const std::string& topic, const std::string& payload,
               const std::string& responseTopic = {}, const std::string& correlation = {});

  // Waits up to `timeout` for a message that `match` accepts, looking at those received
  // since index `from`; returns its index or -1.
  int WaitFor(const std::function<bool(const Received&)>& match, int from = 0,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));
  std::vector<Received> Snapshot();
  int Count();

 private:
  static void OnMessage(mosquitto*, void*, const void*, const void*);
  mosquitto* mosq_ = nullptr;
  bool connected_ = false;
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Received> messages_;
};

}  // namespace vktgw::test
