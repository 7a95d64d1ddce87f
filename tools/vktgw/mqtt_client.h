// The gateway's one broker connection (MQTT 5), on a network thread of its own. The library
// reconnects by itself with backoff; after the failures it gives up on (a TLS handshake, for
// one) the thread waits with the same backoff and tries again. The callbacks here only hand
// over what arrived.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

struct mosquitto;

namespace vktgw {

struct IncomingMessage {
  std::string topic;
  std::string payload;
  std::string responseTopic;  // MQTT 5 response topic, empty when none was given
  std::string correlation;    // MQTT 5 correlation data (binary), empty when none
};

struct MqttSettings {
  std::string host;
  int port = 1883;
  std::string clientId;
  int qos = 1;
  std::string willTopic;
  std::string willPayload;
  int keepaliveS = 10;
  std::string subscription;  // subscribed on every connection, before anything is published
  bool tls = false;
  std::string caFile, certFile, keyFile;  // cert and key both empty: no client certificate
  std::string username, password;         // username empty: none sent
};

class MqttClient {
 public:
  // Both run on the network thread.
  using ConnectHandler = std::function<void()>;
  using MessageHandler = std::function<void(IncomingMessage&&)>;
  // Message `mid` was acknowledged (QoS 1 and 2) or sent (QoS 0); on the network thread.
  using AckHandler = std::function<void(int mid)>;

  MqttClient(MqttSettings settings, ConnectHandler onConnect, MessageHandler onMessage);
  ~MqttClient();
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Starts the network thread and the first connection attempt; false when the client
  // cannot be made at all (a broker that is not there yet is retried, not an error).
  bool Start(std::string& error);
  // Before Start.
  void SetAckHandler(AckHandler onAck) { onAck_ = std::move(onAck); }

  // Returns the message id (> 0) or 0 when it could not be queued.
  int Publish(const std::string& topic, const std::string& payload, bool retain,
              const std::string& correlation = {});
  bool connected() const;

  // Waits up to `timeoutMs` until every message handed to Publish so far has left (QoS 0)
  // or been acknowledged, then disconnects cleanly (no will) and stops the thread.
  void Stop(int timeoutMs);

 private:
  static void OnConnect(mosquitto*, void* self, int rc, int flags, const void* props);
  static void OnDisconnect(mosquitto*, void* self, int rc, const void* props);
  static void OnPublish(mosquitto*, void* self, int mid, int reason, const void* props);
  static void OnMessage(mosquitto*, void* self, const void* msg, const void* props);
  void Run();

  MqttSettings settings_;
  ConnectHandler onConnect_;
  MessageHandler onMessage_;
  AckHandler onAck_;
  mosquitto* mosq_ = nullptr;
  struct Shared;
  Shared* shared_;
  std::thread thread_;
};

}  // namespace vktgw
