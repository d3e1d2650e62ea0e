// A libmosquitto client for the line's broker, set up from a broker URL.
#pragma once

#include <memory>
#include <string>
#include <string_view>

struct mosquitto;

namespace varnel {

// Every message of the line is delivered at least once, publisher and viewer alike.
inline constexpr int kMqttQos = 1;
inline constexpr int kMqttKeepAliveSeconds = 10;

struct MqttEndpoint {
    std::string strHost;
    int nPort = 0;
    std::string strUser;  // empty: no credentials
    std::string strPassword;
    bool bTls = false;
    std::string strCaFile;  // empty: the system's certificates
    std::string strCertFile;
    std::string strKeyFile;
};

// "mqtt://[user[:password]@]host[:port]" (port 1883) or "mqtts://..." (port 8883); the user and
// password may carry %XX escapes, an IPv6 host goes in brackets. False with a reason.
bool ParseMqttUrl(std::string_view url, MqttEndpoint& endpoint, std::string& error);

struct MosquittoDeleter {
    void operator()(mosquitto* client) const;
};
using MosquittoClient = std::unique_ptr<mosquitto, MosquittoDeleter>;

// A client with a session that the broker forgets when it goes, its credentials and TLS set;
// null with a reason. `context` is passed to its callbacks.
MosquittoClient MakeMosquittoClient(const MqttEndpoint& endpoint, void* context,
                                    std::string& error);

}  // namespace varnel
