// Drains the bench's outbox to the line's broker on a thread of its own: QoS 1, in the outbox's
// order, each message marked published only when the broker acknowledges it. A retained presence
// marker says online on every connection and offline when the publisher ends; the connection's
// last will says offline when the broker loses the bench.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/line_publisher.h"
#include "app/telemetry_outbox.h"
#include "line/mqtt_client.h"

namespace varnel {

struct Presence {
    std::string strTopic;
    std::function<std::string(bool online)> payload;
};

class MqttPublisher : public LinePublisher {
  public:
    MqttPublisher(MqttEndpoint endpoint, TelemetryOutbox& outbox, Presence presence);
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    size_t Drain(std::chrono::milliseconds limit) override;
    std::string Problem() override;

  private:
    void Run();
    bool Connect();
    void Disconnected();
    void PublishPending();
    void PublishPresence(bool online, int* mid);
    void SayOffline();
    void SetProblem(std::string problem);

    static void OnConnect(mosquitto* client, void* context, int result);
    static void OnPublish(mosquitto* client, void* context, int mid);

    MqttEndpoint m_endpoint;
    TelemetryOutbox& m_outbox;
    Presence m_presence;
    std::atomic<bool> m_bStop{false};
    std::mutex m_problemMutex;
    std::string m_strProblem;
    // The rest belongs to the publishing thread alone.
    MosquittoClient m_client;
    bool m_bConnected = false;
    bool m_bRefused = false;         // the broker answered this connection with a refusal
    bool m_bAnnounceOnline = false;  // connected: the presence goes out before anything else
    std::chrono::steady_clock::time_point m_attempted;
    std::chrono::milliseconds m_backOff{0};
    std::map<int, int64_t> m_inFlight;  // message id of the connection -> outbox id
    int64_t m_nLastHanded = 0;          // the newest outbox id given to this connection
    int m_nOfflineMid = -1;
    bool m_bOfflineAcknowledged = false;
    std::thread m_thread;
};

}  // namespace varnel
