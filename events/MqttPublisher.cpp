#include "events/MqttPublisher.h"

#include <arpa/inet.h>
#include <mosquitto.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <mutex>
#include <thread>

namespace events {

namespace {

constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
// Published at most this many at a time; the rest follow as acknowledgements come.
constexpr size_t kMaxInFlight = 100;

void InitLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { mosquitto_lib_init(); });
}

bool IsNumericAddress(const std::string& host) {
  in6_addr address{};
  return ::inet_pton(AF_INET, host.c_str(), &address) == 1 || ::inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

}  // namespace

struct MqttPublisher::Lookup {
  platform::UniqueFd done;  // an eventfd the thread signals when it has an answer
  std::mutex mutex;
  bool found = false;
  std::string address;
  std::string error;
};

bool MqttPublisher::SystemResolver(const std::string& host, std::string& address, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_ADDRCONFIG;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) {
    error = ::gai_strerror(rc);
    return false;
  }
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw = found->ai_family == AF_INET6
                        ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr)
                        : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
  const bool ok = ::inet_ntop(found->ai_family, raw, text, sizeof text) != nullptr;
  ::freeaddrinfo(found);
  if (!ok) {
    error = "no usable address";
    return false;
  }
  address = text;
  return true;
}

MqttPublisher::MqttPublisher(MqttUrl url, std::filesystem::path spoolPath, FdWatch loop,
                             std::function<void(const std::string&)> report,
                             std::function<void(const std::string&, const Fields&)> warn)
    : url_(std::move(url)),
      spool_(std::move(spoolPath)),
      loop_(std::move(loop)),
      report_(std::move(report)),
      warn_(std::move(warn)) {}

MqttPublisher::~MqttPublisher() {
  // A lookup still under way ends on its own and finds nobody to tell.
  if (lookup_) loop_.unwatch(lookup_->done.Get());
  if (timer_) loop_.unwatch(timer_.Get());
  if (socket_ >= 0) loop_.unwatch(socket_);
  if (client_) mosquitto_destroy(client_);
}

bool MqttPublisher::Start(std::string& error) {
  InitLibrary();
  std::string spoolError;
  if (!spool_.Open(spoolError)) report_("MQTT spool not usable, events are kept in memory only: " + spoolError);
  client_ = mosquitto_new(nullptr, true, this);
  if (!client_) {
    error = "cannot make an MQTT client";
    return false;
  }
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  if (!url_.user.empty())
    mosquitto_username_pw_set(client_, url_.user.c_str(), url_.password.empty() ? nullptr : url_.password.c_str());
  const std::string status = url_.prefix + "/status";
  mosquitto_will_set(client_, status.c_str(), 7, "offline", kQos, true);
  if (url_.tls &&
      mosquitto_tls_set(client_, nullptr, "/etc/ssl/certs", nullptr, nullptr, nullptr) != MOSQ_ERR_SUCCESS) {
    error = "TLS cannot be set up";
    return false;
  }
  mosquitto_connect_callback_set(client_, &MqttPublisher::OnConnect);
  mosquitto_disconnect_callback_set(client_, &MqttPublisher::OnDisconnect);
  mosquitto_publish_callback_set(client_, &MqttPublisher::OnPublish);

  timer_.Reset(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
  if (!timer_) {
    error = "no timer for the MQTT client";
    return false;
  }
  itimerspec period{};
  period.it_interval.tv_nsec = std::chrono::duration_cast<std::chrono::nanoseconds>(kTick).count();
  period.it_value = period.it_interval;
  timerfd_settime(timer_.Get(), 0, &period, nullptr);
  loop_.watch(timer_.Get(), [this] {
    uint64_t expirations = 0;
    if (::read(timer_.Get(), &expirations, sizeof expirations) < 0) {
      // Nothing due yet.
    }
    Tick();
  });
  TryConnect();
  return true;
}

void MqttPublisher::Write(const std::string& event, const std::string& line) {
  const size_t dropped = spool_.Append(event, line);
  if (dropped && !warning_) {
    // The warning is an event itself and goes the same way; it cannot drop another warning.
    warning_ = true;
    warn_("spool_dropped", {{"dropped", static_cast<long long>(dropped)}});
    warning_ = false;
  }
  if (connected_) SendPending();
}

void MqttPublisher::SendPending() {
  for (Spool::Entry& e : spool_.Entries()) {
    if (inFlight_.size() >= kMaxInFlight) break;
    if (e.sent) continue;
    const std::string topic = url_.prefix + "/" + e.event;
    int mid = 0;
    if (mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(e.line.size()), e.line.data(), kQos, false) !=
        MOSQ_ERR_SUCCESS)
      break;
    e.sent = true;
    inFlight_[mid] = e.id;
  }
  Flush();
}

void MqttPublisher::Flush() {
  if (client_ && socket_ >= 0 && mosquitto_want_write(client_)) mosquitto_loop_write(client_, 1);
}

void MqttPublisher::WatchSocket() {
  const int fd = mosquitto_socket(client_);
  if (fd == socket_) return;
  if (socket_ >= 0) loop_.unwatch(socket_);
  socket_ = fd;
  if (socket_ < 0) return;
  loop_.watch(socket_, [this] {
    if (mosquitto_loop_read(client_, 1) != MOSQ_ERR_SUCCESS) Lost();
  });
}

void MqttPublisher::TryConnect() {
  nextAttempt_ = std::chrono::steady_clock::now() + backoff_;
  backoff_ = std::min(backoff_ * 2, kMaxBackoff);
  if (IsNumericAddress(url_.host)) {
    ConnectTo(url_.host);
  } else {
    StartLookup();
  }
}

void MqttPublisher::ConnectTo(const std::string& host) {
  if (mosquitto_connect_async(client_, host.c_str(), url_.port, kKeepAliveSeconds) != MOSQ_ERR_SUCCESS) return;
  connecting_ = true;
  WatchSocket();
  Flush();
}

void MqttPublisher::StartLookup() {
  auto lookup = std::make_shared<Lookup>();
  lookup->done.Reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!lookup->done) return;  // tried again after the back-off
  lookup_ = lookup;
  loop_.watch(lookup->done.Get(), [this] { OnLookupDone(); });
  std::thread([lookup, resolver = resolver_, host = url_.host] {
    std::string address;
    std::string error;
    const bool found = resolver(host, address, error);
    {
      std::lock_guard lock(lookup->mutex);
      lookup->found = found;
      lookup->address = std::move(address);
      lookup->error = std::move(error);
    }
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(lookup->done.Get(), &one, sizeof one);
  }).detach();
}

void MqttPublisher::OnLookupDone() {
  const std::shared_ptr<Lookup> lookup = std::move(lookup_);
  if (!lookup) return;
  loop_.unwatch(lookup->done.Get());
  std::lock_guard lock(lookup->mutex);
  if (!lookup->found) {
    if (!notFoundSaid_) {
      notFoundSaid_ = true;
      report_("MQTT broker " + url_.host + " not found: " + lookup->error + "; reads are kept in the spool");
    }
    return;
  }
  notFoundSaid_ = false;
  // With TLS the certificate is checked against the name, so the library is given the name
  // (its own lookup follows one that has just succeeded); otherwise the address found.
  ConnectTo(url_.tls ? url_.host : lookup->address);
}

void MqttPublisher::Lost() {
  connected_ = false;
  connecting_ = false;
  inFlight_.clear();
  spool_.Unsend();
  if (socket_ >= 0) {
    loop_.unwatch(socket_);
    socket_ = -1;
  }
  mosquitto_disconnect(client_);
}

void MqttPublisher::Tick() {
  if (connecting_ || connected_) {
    if (mosquitto_loop_misc(client_) != MOSQ_ERR_SUCCESS || mosquitto_socket(client_) < 0) {
      Lost();
    } else if (mosquitto_want_write(client_) && mosquitto_loop_write(client_, 1) != MOSQ_ERR_SUCCESS) {
      Lost();
    }
    return;
  }
  if (!lookup_ && std::chrono::steady_clock::now() >= nextAttempt_) TryConnect();
}

void MqttPublisher::OnConnect(mosquitto*, void* self, int rc) {
  auto* p = static_cast<MqttPublisher*>(self);
  if (rc != 0) {
    const std::string why = mosquitto_connack_string(rc);
    if (!p->refusedSaid_) {
      p->refusedSaid_ = true;
      p->report_("MQTT broker " + p->url_.host + ":" + std::to_string(p->url_.port) +
                 " refused the connection: " + why + "; reads are kept in the spool");
      p->warn_("mqtt_refused", {{"reason", why}});
    }
    p->Lost();
    return;
  }
  p->connecting_ = false;
  p->connected_ = true;
  p->refusedSaid_ = false;
  p->backoff_ = kFirstBackoff;
  const std::string status = p->url_.prefix + "/status";
  mosquitto_publish(p->client_, nullptr, status.c_str(), 6, "online", kQos, true);
  p->SendPending();
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int) {
  auto* p = static_cast<MqttPublisher*>(self);
  if (p->connected_ || p->connecting_) {
    p->connected_ = false;
    p->connecting_ = false;
    p->inFlight_.clear();
    p->spool_.Unsend();
  }
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int mid) {
  auto* p = static_cast<MqttPublisher*>(self);
  const auto it = p->inFlight_.find(mid);
  if (it == p->inFlight_.end()) return;
  p->spool_.Acknowledge(it->second);
  p->inFlight_.erase(it);
  if (p->connected_) p->SendPending();
}

void MqttPublisher::Stop(std::chrono::milliseconds timeout) {
  if (!client_) return;
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (connected_ && !inFlight_.empty() && std::chrono::steady_clock::now() < end) {
    if (mosquitto_loop(client_, 50, 1) != MOSQ_ERR_SUCCESS) break;
  }
  if (connected_) {
    const std::string status = url_.prefix + "/status";
    mosquitto_publish(client_, nullptr, status.c_str(), 7, "offline", kQos, true);
    mosquitto_loop(client_, 50, 1);
    mosquitto_disconnect(client_);
    mosquitto_loop(client_, 50, 1);
  }
  Lost();
}

}  // namespace events
