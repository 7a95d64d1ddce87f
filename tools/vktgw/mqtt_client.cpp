#include "mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace vktgw {

struct MqttClient::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  bool connected = false;
  // Messages handed over and not yet acknowledged (or, for QoS 0, not yet sent), and
  // acknowledgements that came before Publish could note their message.
  std::set<int> unacknowledged;
  std::set<int> early;
  bool stopping = false;
  bool freshBackoff = false;  // a connection was made: the next wait starts short again
};

namespace {

std::once_flag g_libInit;

}  // namespace

MqttClient::MqttClient(MqttSettings settings, ConnectHandler onConnect, MessageHandler onMessage)
    : settings_(std::move(settings)),
      onConnect_(std::move(onConnect)),
      onMessage_(std::move(onMessage)),
      shared_(new Shared) {}

MqttClient::~MqttClient() {
  if (mosq_ != nullptr) {
    {
      std::lock_guard<std::mutex> lock(shared_->mutex);
      shared_->stopping = true;
    }
    shared_->changed.notify_all();
    mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    if (thread_.joinable()) thread_.join();
    mosquitto_destroy(mosq_);
  }
  delete shared_;
}

void MqttClient::Run() {
  int delayS = 1;
  for (;;) {
    mosquitto_loop_forever(mosq_, 1000, 1);
    std::unique_lock<std::mutex> lock(shared_->mutex);
    if (shared_->freshBackoff) delayS = 1;
    shared_->freshBackoff = false;
    if (shared_->changed.wait_for(lock, std::chrono::seconds(delayS),
                                  [this] { return shared_->stopping; }))
      return;
    lock.unlock();
    delayS = delayS * 2 > 30 ? 30 : delayS * 2;
    const int rc = mosquitto_reconnect(mosq_);
    if (rc != MOSQ_ERR_SUCCESS)
      std::fprintf(stderr, "vktgw: mqtt: broker %s:%d: %s; retrying\n", settings_.host.c_str(),
                   settings_.port,
                   rc == MOSQ_ERR_ERRNO ? "not reachable" : mosquitto_strerror(rc));
  }
}

bool MqttClient::Start(std::string& error) {
  std::call_once(g_libInit, [] { mosquitto_lib_init(); });
  mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
  if (mosq_ == nullptr) {
    error = "cannot make an MQTT client";
    return false;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  if (!settings_.willTopic.empty() &&
      mosquitto_will_set_v5(mosq_, settings_.willTopic.c_str(),
                            static_cast<int>(settings_.willPayload.size()),
                            settings_.willPayload.data(), settings_.qos, true,
                            nullptr) != MOSQ_ERR_SUCCESS) {
    error = "cannot set the will";
    return false;
  }
  if (settings_.tls) {
    const char* cert = settings_.certFile.empty() ? nullptr : settings_.certFile.c_str();
    const char* key = settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str();
    const int rc = mosquitto_tls_set(mosq_, settings_.caFile.c_str(), nullptr, cert, key, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      error = std::string("TLS settings refused: ") + mosquitto_strerror(rc);
      return false;
    }
  }
  if (!settings_.username.empty() &&
      mosquitto_username_pw_set(mosq_, settings_.username.c_str(),
                                settings_.password.c_str()) != MOSQ_ERR_SUCCESS) {
    error = "cannot set the user name";
    return false;
  }
  // The library tells why a TLS handshake failed only through its log.
  mosquitto_log_callback_set(mosq_, [](mosquitto*, void*, int level, const char* text) {
    if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr && std::strstr(text, "OpenSSL") != nullptr)
      std::fprintf(stderr, "vktgw: mqtt: TLS handshake failed: %s\n", text);
  });
  mosquitto_threaded_set(mosq_, true);
  mosquitto_reconnect_delay_set(mosq_, 1, 30, true);
  mosquitto_connect_v5_callback_set(mosq_, [](mosquitto* m, void* s, int rc, int f,
                                              const mosquitto_property* p) {
    OnConnect(m, s, rc, f, p);
  });
  mosquitto_disconnect_v5_callback_set(mosq_, [](mosquitto* m, void* s, int rc,
                                                 const mosquitto_property* p) {
    OnDisconnect(m, s, rc, p);
  });
  mosquitto_publish_v5_callback_set(mosq_, [](mosquitto* m, void* s, int mid, int reason,
                                              const mosquitto_property* p) {
    OnPublish(m, s, mid, reason, p);
  });
  mosquitto_message_v5_callback_set(mosq_, [](mosquitto* m, void* s, const mosquitto_message* msg,
                                              const mosquitto_property* p) {
    OnMessage(m, s, msg, p);
  });
  const int rc = mosquitto_connect_bind_async(mosq_, settings_.host.c_str(), settings_.port,
                                                 settings_.keepaliveS, nullptr);
  if (rc != MOSQ_ERR_SUCCESS)
    std::fprintf(stderr, "vktgw: mqtt: broker %s:%d: %s; retrying\n", settings_.host.c_str(),
                 settings_.port, rc == MOSQ_ERR_ERRNO ? "not reachable" : mosquitto_strerror(rc));
  thread_ = std::thread([this] { Run(); });
  return true;
}

int MqttClient::Publish(const std::string& topic, const std::string& payload, bool retain,
                        const std::string& correlation) {
  mosquitto_property* props = nullptr;
  if (!correlation.empty())
    mosquitto_property_add_binary(&props, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                  static_cast<std::uint16_t>(correlation.size()));
  int mid = 0;
  // No lock of ours is held across a library call: its thread calls back with its own held.
  const int rc = mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                      payload.data(), settings_.qos, retain, props);
  mosquitto_property_free_all(&props);
  if (rc != MOSQ_ERR_SUCCESS) return 0;
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->early.erase(mid) == 0) shared_->unacknowledged.insert(mid);
  return mid;
}

bool MqttClient::connected() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->connected;
}

void MqttClient::Stop(int timeoutMs) {
  if (mosq_ == nullptr) return;
  {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] {
      return shared_->unacknowledged.empty() || !shared_->connected;
    });
  }
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->stopping = true;
  }
  shared_->changed.notify_all();
  mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
  if (thread_.joinable()) thread_.join();
  mosquitto_destroy(mosq_);
  mosq_ = nullptr;
}

void MqttClient::OnConnect(mosquitto* m, void* self, int rc, int, const void*) {
  auto* c = static_cast<MqttClient*>(self);
  if (rc != 0) {
    std::fprintf(stderr, "vktgw: mqtt: connection refused: %s\n", mosquitto_reason_string(rc));
    return;
  }
  // Before the session counts as connected: a consumer that sees a value may write at once.
  if (!c->settings_.subscription.empty())
    mosquitto_subscribe_v5(m, nullptr, c->settings_.subscription.c_str(), c->settings_.qos, 0,
                           nullptr);
  {
    std::lock_guard<std::mutex> lock(c->shared_->mutex);
    c->shared_->connected = true;
    c->shared_->freshBackoff = true;
    // a new session: what was not acknowledged is published again by the gateway itself
    c->shared_->unacknowledged.clear();
    c->shared_->early.clear();
  }
  c->shared_->changed.notify_all();
  c->onConnect_();
}

void MqttClient::OnDisconnect(mosquitto*, void* self, int rc, const void*) {
  auto* c = static_cast<MqttClient*>(self);
  {
    std::lock_guard<std::mutex> lock(c->shared_->mutex);
    if (c->shared_->connected && rc != 0)
      std::fprintf(stderr, "vktgw: lost the broker; reconnecting\n");
    else if (!c->shared_->connected && rc != 0 && rc != MOSQ_ERR_CONN_REFUSED)
      std::fprintf(stderr, "vktgw: mqtt: broker %s:%d: %s; retrying\n", c->settings_.host.c_str(),
                   c->settings_.port, mosquitto_strerror(rc));
    c->shared_->connected = false;
  }
  c->shared_->changed.notify_all();
}

void MqttClient::OnPublish(mosquitto*, void* self, int mid, int, const void*) {
  auto* c = static_cast<MqttClient*>(self);
  {
    std::lock_guard<std::mutex> lock(c->shared_->mutex);
    if (c->shared_->unacknowledged.erase(mid) == 0) c->shared_->early.insert(mid);
  }
  c->shared_->changed.notify_all();
  if (c->onAck_) c->onAck_(mid);
}

void MqttClient::OnMessage(mosquitto*, void* self, const void* m, const void* p) {
  auto* c = static_cast<MqttClient*>(self);
  const auto* msg = static_cast<const mosquitto_message*>(m);
  const auto* props = static_cast<const mosquitto_property*>(p);
  IncomingMessage in;
  in.topic = msg->topic != nullptr ? msg->topic : "";
  if (msg->payload != nullptr && msg->payloadlen > 0)
    in.payload.assign(static_cast<const char*>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
  char* response = nullptr;
  if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &response, false) != nullptr &&
      response != nullptr) {
    in.responseTopic = response;
    free(response);
  }
  void* data = nullptr;
  std::uint16_t len = 0;
  if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &len, false) != nullptr &&
      data != nullptr) {
    in.correlation.assign(static_cast<const char*>(data), len);
    free(data);
  }
  c->onMessage_(std::move(in));
}

}  // namespace vktgw
