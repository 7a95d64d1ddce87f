#include "mqtt_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>

namespace vktgw::test {

namespace {

bool Connectable(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  close(s);
  return ok;
}

}  // namespace

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

Broker::Broker(std::string dir) : dir_(std::move(dir)), port_(FreePort()) {}

bool Broker::Start() {
  const std::string conf = dir_ + "/mosquitto.conf";
  std::ofstream out(conf);
  out << "listener " << port_ << " 127.0.0.1\n" << settings_;
  if (persistent_) {
    // a broker started as root writes its database as its own unprivileged user
    const std::string db = dir_ + "/broker-db";
    mkdir(db.c_str(), 0777);
    chmod(db.c_str(), 0777);
    chmod(dir_.c_str(), 0755);
    out << "persistence true\npersistence_location " << db << "/\nmax_queued_messages 0\n";
  }
  else
    out << "persistence false\n";
  out.close();
  const std::string log = dir_ + "/mosquitto.log";
  pid_ = fork();
  if (pid_ == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    execlp("mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 500; ++i) {
    if (Connectable(port_)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      failure_ = "mosquitto ended at start; see " + log;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  failure_ = "mosquitto took no connection within 5 s";
  return false;
}

void Broker::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

TestClient::TestClient(int port, std::string id, const ClientAuth& auth, bool persistent) {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(id.c_str(), !persistent, this);
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION,
                       persistent ? MQTT_PROTOCOL_V311 : MQTT_PROTOCOL_V5);
  mosquitto_message_v5_callback_set(mosq_, [](mosquitto* m, void* s, const mosquitto_message* msg,
                                              const mosquitto_property* p) {
    OnMessage(m, s, msg, p);
  });
  if (!auth.caFile.empty()) mosquitto_tls_set(mosq_, auth.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
  if (!auth.username.empty())
    mosquitto_username_pw_set(mosq_, auth.username.c_str(), auth.password.c_str());
  connected_ = mosquitto_connect(mosq_, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS &&
               mosquitto_loop_start(mosq_) == MOSQ_ERR_SUCCESS;
}

TestClient::~TestClient() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
}

void TestClient::Subscribe(const std::string& filter) {
  mosquitto_subscribe_v5(mosq_, nullptr, filter.c_str(), 1, 0, nullptr);
}

void TestClient::Publish(const std::string& topic, const std::string& payload,
                         const std::string& responseTopic, const std::string& correlation) {
  mosquitto_property* props = nullptr;
  if (!responseTopic.empty())
    mosquitto_property_add_string(&props, MQTT_PROP_RESPONSE_TOPIC, responseTopic.c_str());
  if (!correlation.empty())
    mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                  static_cast<std::uint16_t>(correlation.size()));
  mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                       payload.data(), 1, false, props);
  mosquitto_property_free_all(&props);
}

void TestClient::OnMessage(mosquitto*, void* self, const void* m, const void* p) {
  auto* c = static_cast<TestClient*>(self);
  const auto* msg = static_cast<const mosquitto_message*>(m);
  Received r;
  r.topic = msg->topic;
  if (msg->payloadlen > 0)
    r.payload.assign(static_cast<const char*>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
  r.retained = msg->retain;
  void* data = nullptr;
  std::uint16_t len = 0;
  if (mosquitto_property_read_binary(static_cast<const mosquitto_property*>(p),
                                     MQTT_PROP_CORRELATION_DATA, &data, &len, false) != nullptr) {
    r.correlation.assign(static_cast<const char*>(data), len);
    free(data);
  }
  {
    std::lock_guard<std::mutex> lock(c->mutex_);
    c->messages_.push_back(std::move(r));
  }
  c->arrived_.notify_all();
}

int TestClient::WaitFor(const std::function<bool(const Received&)>& match, int from,
                        std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::size_t next = static_cast<std::size_t>(from);
  for (;;) {
    for (; next < messages_.size(); ++next)
      if (match(messages_[next])) return static_cast<int>(next);
    if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout) {
      for (; next < messages_.size(); ++next)
        if (match(messages_[next])) return static_cast<int>(next);
      return -1;
    }
  }
}

std::vector<Received> TestClient::Snapshot() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

int TestClient::Count() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(messages_.size());
}

}  // namespace vktgw::test
