#include "line/mqtt_publisher.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>

namespace varnel {

namespace {

// How long one turn of the thread waits on the socket: also how soon a new message leaves.
constexpr int kTurnMs = 20;
// Messages given to the connection before their acknowledgements.
constexpr size_t kWindow = 64;
constexpr auto kFirstBackOff = std::chrono::milliseconds(250);
constexpr auto kLongestBackOff = std::chrono::seconds(10);
// A connection that has not been accepted by then is given up and tried again.
constexpr auto kConnectLimit = std::chrono::seconds(10);
// At the end, how long the offline marker may take.
constexpr auto kOfflineLimit = std::chrono::seconds(1);
constexpr auto kDrainPoll = std::chrono::milliseconds(10);

}  // namespace

MqttPublisher::MqttPublisher(MqttEndpoint endpoint, TelemetryOutbox& outbox, Presence presence)
    : m_endpoint(std::move(endpoint)),
      m_outbox(outbox),
      m_presence(std::move(presence)),
      m_thread([this] { Run(); }) {}

MqttPublisher::~MqttPublisher() {
    m_bStop = true;
    m_thread.join();
}

size_t MqttPublisher::Drain(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!m_outbox.Pending(1).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kDrainPoll);
    }
    return m_outbox.Pending(std::numeric_limits<size_t>::max()).size();
}

std::string MqttPublisher::Problem() {
    std::lock_guard lock(m_problemMutex);
    return m_strProblem;
}

void MqttPublisher::SetProblem(std::string problem) {
    std::lock_guard lock(m_problemMutex);
    m_strProblem = std::move(problem);
}

void MqttPublisher::Run() {
    while (!m_bStop) {
        const auto now = std::chrono::steady_clock::now();
        if (!m_client) {
            if (now < m_attempted + m_backOff) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kTurnMs));
            } else if (!Connect()) {
                Disconnected();
            }
            continue;
        }
        if (const int result = mosquitto_loop(m_client.get(), kTurnMs, 1);
            result != MOSQ_ERR_SUCCESS) {
            // A refusal has said why already.
            if (!m_bRefused) {
                SetProblem(result == MOSQ_ERR_ERRNO ? std::strerror(errno)
                                                    : mosquitto_strerror(result));
            }
            Disconnected();
            continue;
        }
        if (!m_bConnected && now - m_attempted > kConnectLimit) {
            SetProblem("no answer to the connection");
            Disconnected();
            continue;
        }
        if (m_bAnnounceOnline) {
            m_bAnnounceOnline = false;
            PublishPresence(true, nullptr);
        }
        PublishPending();
    }
    SayOffline();
}

bool MqttPublisher::Connect() {
    m_attempted = std::chrono::steady_clock::now();
    m_bRefused = false;
    std::string error;
    m_client = MakeMosquittoClient(m_endpoint, this, error);
    if (!m_client) {
        SetProblem(error);
        return false;
    }
    mosquitto_connect_callback_set(m_client.get(), OnConnect);
    mosquitto_publish_callback_set(m_client.get(), OnPublish);
    const std::string offline = m_presence.payload(false);
    int result =
        mosquitto_will_set(m_client.get(), m_presence.strTopic.c_str(),
                           static_cast<int>(offline.size()), offline.data(), kMqttQos, true);
    if (result == MOSQ_ERR_SUCCESS) {
        result = mosquitto_connect_async(m_client.get(), m_endpoint.strHost.c_str(),
                                         m_endpoint.nPort, kMqttKeepAliveSeconds);
    }
    if (result != MOSQ_ERR_SUCCESS) {
        SetProblem(result == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(result));
    }
    return result == MOSQ_ERR_SUCCESS;
}

// What the lost connection had not had acknowledged is offered again, in order, on the next.
void MqttPublisher::Disconnected() {
    m_client.reset();
    m_bConnected = false;
    m_bAnnounceOnline = false;
    m_inFlight.clear();
    m_nLastHanded = 0;
    m_backOff =
        std::clamp<std::chrono::milliseconds>(m_backOff * 2, kFirstBackOff, kLongestBackOff);
}

void MqttPublisher::PublishPending() {
    if (!m_bConnected || m_inFlight.size() >= kWindow) {
        return;
    }
    for (const OutboxMessage& message : m_outbox.Pending(m_inFlight.size() + kWindow)) {
        if (message.nId <= m_nLastHanded) {
            continue;
        }
        if (m_inFlight.size() >= kWindow) {
            return;
        }
        int mid = 0;
        const int result =
            mosquitto_publish(m_client.get(), &mid, message.strTopic.c_str(),
                              static_cast<int>(std::min<size_t>(message.strPayload.size(),
                                                                std::numeric_limits<int>::max())),
                              message.strPayload.data(), kMqttQos, message.bRetain);
        if (result == MOSQ_ERR_PAYLOAD_SIZE || result == MOSQ_ERR_INVAL ||
            result == MOSQ_ERR_MALFORMED_UTF8) {
            // No broker takes it: it would hold up every message behind it for good.
            std::fprintf(stderr, "varnel: MQTT: a message to %s cannot be published (%s); left\n",
                         message.strTopic.c_str(), mosquitto_strerror(result));
            m_outbox.MarkPublished(message.nId);
            m_nLastHanded = message.nId;
            continue;
        }
        if (result != MOSQ_ERR_SUCCESS) {
            return;  // the connection is going; the next turn finds out
        }
        m_inFlight[mid] = message.nId;
        m_nLastHanded = message.nId;
    }
}

void MqttPublisher::PublishPresence(bool online, int* mid) {
    const std::string payload = m_presence.payload(online);
    mosquitto_publish(m_client.get(), mid, m_presence.strTopic.c_str(),
                      static_cast<int>(payload.size()), payload.data(), kMqttQos, true);
}

void MqttPublisher::SayOffline() {
    if (!m_bConnected) {
        return;
    }
    PublishPresence(false, &m_nOfflineMid);
    const auto deadline = std::chrono::steady_clock::now() + kOfflineLimit;
    while (!m_bOfflineAcknowledged && std::chrono::steady_clock::now() < deadline &&
           mosquitto_loop(m_client.get(), kTurnMs, 1) == MOSQ_ERR_SUCCESS) {
    }
    mosquitto_disconnect(m_client.get());
    m_client.reset();
}

void MqttPublisher::OnConnect(mosquitto*, void* context, int result) {
    auto* self = static_cast<MqttPublisher*>(context);
    if (result != 0) {
        // Refused: the loop loses the connection and tries again later.
        self->SetProblem(mosquitto_connack_string(result));
        self->m_bRefused = true;
        return;
    }
    self->SetProblem({});
    self->m_bConnected = true;
    self->m_backOff = std::chrono::milliseconds(0);
    // Published from the loop, not here: the library calls back holding a lock of its own that
    // its publishing takes in the other order.
    self->m_bAnnounceOnline = true;
}

void MqttPublisher::OnPublish(mosquitto*, void* context, int mid) {
    auto* self = static_cast<MqttPublisher*>(context);
    if (mid == self->m_nOfflineMid) {
        self->m_bOfflineAcknowledged = true;
        return;
    }
    const auto found = self->m_inFlight.find(mid);
    if (found != self->m_inFlight.end()) {
        self->m_outbox.MarkPublished(found->second);
        self->m_inFlight.erase(found);
    }
}

}  // namespace varnel
