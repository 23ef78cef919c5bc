// The publisher's NATS and MQTT connections; see broker_link.h.
//
// NATS: natsConnection_Publish copies the message into the connection's buffer, which the
// library's flusher thread writes out at once; Drain is the library's flush (a PING answered).
// MQTT: mosquitto_publish queues the packet for the library's loop thread, which writes it;
// Drain waits until the library holds no packet to write. TCP_NODELAY is set on both ends of
// every MQTT link, as the NATS server and the relay do, so no packet waits for the one before.
#include "broker_link.h"

#include <mosquitto.h>
#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace telvanepublish {

namespace {

constexpr int64_t kConnectTimeoutMs = 5000;  // one broker's connect and acceptance
constexpr int kMqttKeepAliveSeconds = 60;    // longer than any run's silence

class TNatsLink final : public TBrokerLink {
 public:
  explicit TNatsLink(std::string sNewUrl) : sUrl(std::move(sNewUrl)) {}
  ~TNatsLink() override {
    if (pConn != nullptr) {
      natsConnection_Close(pConn);
      natsConnection_Destroy(pConn);
    }
    nats_Close();
  }

  bool Open(std::string& sError) override {
    natsOptions* pOptions = nullptr;
    natsStatus s = natsOptions_Create(&pOptions);
    if (s == NATS_OK) s = natsOptions_SetURL(pOptions, sUrl.c_str());
    if (s == NATS_OK) s = natsOptions_SetName(pOptions, "telvane-publish");
    if (s == NATS_OK) s = natsOptions_SetTimeout(pOptions, kConnectTimeoutMs);
    if (s == NATS_OK) s = natsConnection_Connect(&pConn, pOptions);
    natsOptions_Destroy(pOptions);
    if (s != NATS_OK) sError = "cannot connect to NATS at " + sUrl + ": " + natsStatus_GetText(s);
    return s == NATS_OK;
  }

  bool Publish(const std::string& sSubject, std::string_view sPayload) override {
    return natsConnection_Publish(pConn, sSubject.c_str(), sPayload.data(), static_cast<int>(sPayload.size())) ==
           NATS_OK;
  }

  bool Drain(int64_t nTimeoutMs) override { return natsConnection_FlushTimeout(pConn, nTimeoutMs) == NATS_OK; }

  std::string Subject(const std::string& sPrefix, std::string_view sFamily, std::string_view sKey) const override {
    return sPrefix + "." + std::string(sFamily) + "." + std::string(sKey);
  }

 private:
  std::string sUrl;                // as given; constant
  natsConnection* pConn = nullptr;  // after Open
};

class TMqttLink final : public TBrokerLink {
 public:
  explicit TMqttLink(const std::string& sAddress) {
    const size_t nColon = sAddress.rfind(':');
    sHost = sAddress.substr(0, nColon);
    nPort = nColon == std::string::npos ? 1883 : std::atoi(sAddress.c_str() + nColon + 1);
    mosquitto_lib_init();
  }
  ~TMqttLink() override {
    if (pMosq != nullptr) {
      mosquitto_disconnect(pMosq);
      mosquitto_loop_stop(pMosq, false);
      mosquitto_destroy(pMosq);
    }
    mosquitto_lib_cleanup();
  }

  bool Open(std::string& sError) override {
    pMosq = mosquitto_new("telvane-publish", true, this);
    if (pMosq == nullptr) {
      sError = "cannot create an MQTT client";
      return false;
    }
    mosquitto_int_option(pMosq, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(pMosq, [](mosquitto*, void* pSelf, int nRc) {
      static_cast<TMqttLink*>(pSelf)->nConnack = nRc == 0 ? 1 : -1;
    });
    int nRc = mosquitto_connect(pMosq, sHost.c_str(), nPort, kMqttKeepAliveSeconds);
    if (nRc == MOSQ_ERR_SUCCESS) nRc = mosquitto_loop_start(pMosq);
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    while (nRc == MOSQ_ERR_SUCCESS && nConnack == 0 && std::chrono::steady_clock::now() < tDeadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (nRc != MOSQ_ERR_SUCCESS || nConnack != 1) {
      sError = "cannot connect to MQTT at " + sHost + ":" + std::to_string(nPort) + ": " +
               (nRc != MOSQ_ERR_SUCCESS ? mosquitto_strerror(nRc) : "no acceptance from the broker");
      return false;
    }
    return true;
  }

  bool Publish(const std::string& sSubject, std::string_view sPayload) override {
    return mosquitto_publish(pMosq, nullptr, sSubject.c_str(), static_cast<int>(sPayload.size()), sPayload.data(), 0,
                             false) == MOSQ_ERR_SUCCESS;
  }

  // The loop thread writes the queued packets; polled, since the library offers no wait for it.
  bool Drain(int64_t nTimeoutMs) override {
    const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (mosquitto_want_write(pMosq)) {
      if (std::chrono::steady_clock::now() >= tDeadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  }

  std::string Subject(const std::string& sPrefix, std::string_view sFamily, std::string_view sKey) const override {
    return sPrefix + "/" + std::string(sFamily) + "/" + std::string(sKey);
  }

 private:
  std::string sHost;                // broker's address; constant
  int nPort = 1883;                 // broker's port; constant
  mosquitto* pMosq = nullptr;       // after Open
  std::atomic<int> nConnack{0};     // 0 waiting, 1 accepted, -1 refused; set on the loop thread
};

}  // namespace

std::unique_ptr<TBrokerLink> MakeNatsLink(const std::string& sUrl) { return std::make_unique<TNatsLink>(sUrl); }
std::unique_ptr<TBrokerLink> MakeMqttLink(const std::string& sAddress) { return std::make_unique<TMqttLink>(sAddress); }

}  // namespace telvanepublish
