#pragma once
// Publishes every event to an MQTT broker under <prefix>/<event> with QoS 1, from the
// program's own message loop: the loop watches the client's socket and a timer, and no
// thread of the client library touches the dialogs. Each event first goes to the spool and
// leaves it only when the broker has acknowledged it, so a broker that is away, or a
// restart, loses nothing; after a reconnect the unacknowledged ones are sent again (a
// consumer drops the duplicates by seq). A retained <prefix>/status says "online", the
// last will "offline". Reconnects back off from 1 s, doubling to 60 s. A broker's name is
// looked up on a thread of its own: the system resolver can take many seconds while DNS is
// away, and the loop must go on reading tags meanwhile.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "events/EventStream.h"
#include "events/MqttUrl.h"
#include "events/Spool.h"
#include "platform/linux/UniqueFd.h"

struct mosquitto;

namespace events {

// The message loop's descriptor watching.
struct FdWatch {
  std::function<void(int fd, std::function<void()> onReadable)> watch;
  std::function<void(int fd)> unwatch;
};

class MqttPublisher final : public IEventOutput {
 public:
  static constexpr std::chrono::milliseconds kFirstBackoff{1000};
  static constexpr std::chrono::milliseconds kMaxBackoff{60000};
  // How often the loop looks after the connection (keep-alive, pending writes, reconnect).
  static constexpr std::chrono::milliseconds kTick{100};

  // report: one line for standard error (a refused login, a spool that cannot be used);
  // warn: an event of the stream's own (a refused login, events dropped for the bound).
  MqttPublisher(MqttUrl url, std::filesystem::path spoolPath, FdWatch loop,
                std::function<void(const std::string&)> report,
                std::function<void(const std::string& event, const Fields&)> warn);
  ~MqttPublisher() override;
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Opens the spool and begins connecting. False with the reason in error when the client
  // cannot be made.
  bool Start(std::string& error);
  void Write(const std::string& event, const std::string& line) override;
  // Sends what is still unacknowledged and waits for the broker at most timeout, then says
  // "offline" and disconnects; what is not acknowledged stays in the spool.
  void Stop(std::chrono::milliseconds timeout);

  bool Connected() const { return connected_; }

  // Looks a host name up: true with a numeric address, else false with the reason. It runs
  // on a thread of its own. The system's resolver unless another is set before Start.
  using Resolver = std::function<bool(const std::string& host, std::string& address, std::string& error)>;
  void SetResolver(Resolver resolver) { resolver_ = std::move(resolver); }
  static bool SystemResolver(const std::string& host, std::string& address, std::string& error);

 private:
  static void OnConnect(mosquitto*, void* self, int rc);
  static void OnDisconnect(mosquitto*, void* self, int rc);
  static void OnPublish(mosquitto*, void* self, int mid);

  void Tick();
  void TryConnect();
  void ConnectTo(const std::string& host);
  void StartLookup();
  void OnLookupDone();
  void Lost();
  void SendPending();
  void Flush();
  void WatchSocket();

  MqttUrl url_;
  Spool spool_;
  FdWatch loop_;
  std::function<void(const std::string&)> report_;
  std::function<void(const std::string&, const Fields&)> warn_;
  mosquitto* client_ = nullptr;
  platform::UniqueFd timer_;
  int socket_ = -1;
  bool connecting_ = false;
  bool connected_ = false;
  bool refusedSaid_ = false;
  bool warning_ = false;
  std::chrono::milliseconds backoff_{kFirstBackoff};
  std::chrono::steady_clock::time_point nextAttempt_{};
  std::map<int, uint64_t> inFlight_;  // message id -> spool entry
  Resolver resolver_ = &MqttPublisher::SystemResolver;
  struct Lookup;
  std::shared_ptr<Lookup> lookup_;  // the lookup under way, shared with its thread
  bool notFoundSaid_ = false;
};

}  // namespace events
