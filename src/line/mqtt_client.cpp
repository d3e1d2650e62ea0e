#include "line/mqtt_client.h"

#include <mosquitto.h>

#include <charconv>
#include <mutex>

namespace varnel {

namespace {

constexpr int kPlainPort = 1883;
constexpr int kTlsPort = 8883;
constexpr char kSystemCertificates[] = "/etc/ssl/certs";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool Unescape(std::string_view text, std::string& out) {
    out.clear();
    for (size_t index = 0; index < text.size(); ++index) {
        if (text[index] != '%') {
            out += text[index];
            continue;
        }
        if (index + 2 >= text.size()) {
            return false;
        }
        const int high = HexDigit(text[index + 1]);
        const int low = HexDigit(text[index + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        out += static_cast<char>(high * 16 + low);
        index += 2;
    }
    return true;
}

}  // namespace

bool ParseMqttUrl(std::string_view url, MqttEndpoint& endpoint, std::string& error) {
    const std::string given(url);
    error = "'" + given + "' is not mqtt://[user[:password]@]host[:port] or mqtts://...";
    MqttEndpoint parsed;
    if (url.starts_with("mqtt://")) {
        url.remove_prefix(7);
    } else if (url.starts_with("mqtts://")) {
        url.remove_prefix(8);
        parsed.bTls = true;
    } else {
        return false;
    }
    parsed.nPort = parsed.bTls ? kTlsPort : kPlainPort;
    if (!url.empty() && url.back() == '/') {
        url.remove_suffix(1);
    }
    if (const size_t at = url.rfind('@'); at != std::string_view::npos) {
        const std::string_view credentials = url.substr(0, at);
        const size_t colon = credentials.find(':');
        if (!Unescape(credentials.substr(0, colon), parsed.strUser) || parsed.strUser.empty() ||
            (colon != std::string_view::npos &&
             !Unescape(credentials.substr(colon + 1), parsed.strPassword))) {
            return false;
        }
        url.remove_prefix(at + 1);
    }
    std::string_view port;
    if (url.starts_with('[')) {
        const size_t close = url.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        parsed.strHost = url.substr(1, close - 1);
        url.remove_prefix(close + 1);
        if (!url.empty() && !url.starts_with(':')) {
            return false;
        }
        port = url.empty() ? url : url.substr(1);
    } else {
        const size_t colon = url.find(':');
        parsed.strHost = url.substr(0, colon);
        port = colon == std::string_view::npos ? std::string_view() : url.substr(colon + 1);
    }
    if (parsed.strHost.empty() || parsed.strHost.find_first_of("/?#") != std::string::npos) {
        return false;
    }
    if (!port.empty()) {
        int number = 0;
        const auto [end, code] = std::from_chars(port.data(), port.data() + port.size(), number);
        if (code != std::errc() || end != port.data() + port.size() || number < 1 ||
            number > 65535) {
            error = "'" + given + "': the port is not a number from 1 to 65535";
            return false;
        }
        parsed.nPort = number;
    }
    endpoint = std::move(parsed);
    error.clear();
    return true;
}

void MosquittoDeleter::operator()(mosquitto* client) const {
    mosquitto_destroy(client);
}

MosquittoClient MakeMosquittoClient(const MqttEndpoint& endpoint, void* context,
                                    std::string& error) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { mosquitto_lib_init(); });
    MosquittoClient client(mosquitto_new(nullptr, true, context));
    if (!client) {
        error = "cannot make an MQTT client";
        return nullptr;
    }
    int result = MOSQ_ERR_SUCCESS;
    if (!endpoint.strUser.empty()) {
        result = mosquitto_username_pw_set(
            client.get(), endpoint.strUser.c_str(),
            endpoint.strPassword.empty() ? nullptr : endpoint.strPassword.c_str());
    }
    if (result == MOSQ_ERR_SUCCESS && endpoint.bTls) {
        const auto optional = [](const std::string& text) {
            return text.empty() ? nullptr : text.c_str();
        };
        result = mosquitto_tls_set(client.get(), optional(endpoint.strCaFile),
                                   endpoint.strCaFile.empty() ? kSystemCertificates : nullptr,
                                   optional(endpoint.strCertFile), optional(endpoint.strKeyFile),
                                   nullptr);
    }
    if (result != MOSQ_ERR_SUCCESS) {
        error = std::string("MQTT client set-up: ") + mosquitto_strerror(result);
        return nullptr;
    }
    return client;
}

}  // namespace varnel
