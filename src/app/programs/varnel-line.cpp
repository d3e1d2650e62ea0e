// varnel-line: the whole line from its MQTT broker, as varnel-cli --mqtt benches publish it: one
// row per bench and port with its live state, each bench's yield since the view began and the
// last failed ports; with --json one JSON object of the line per change, for a dashboard.
//
// Exit status: 0 ended by an interrupt (or after --once); 1 the broker could not be reached;
// 2 bad arguments.
#include <mosquitto.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "app/line_telemetry.h"
#include "app/program_arguments.h"
#include "app/version.h"
#include "line/line_view.h"
#include "line/mqtt_client.h"
#include "platform/system.h"

namespace {

using namespace varnel;

constexpr char kProgram[] = "varnel-line";
constexpr int kExitUnreachable = 1;
constexpr int kTurnMs = 100;
// Changes that come closer together than this are shown together.
constexpr auto kRefresh = std::chrono::milliseconds(250);
constexpr auto kReconnectPause = std::chrono::seconds(1);
// How long the first connection may take before the broker counts as unreachable.
constexpr auto kConnectLimit = std::chrono::seconds(10);

std::atomic<bool> g_bEnd{false};

void OnSignal(int) {
    g_bEnd = true;
}

struct Options {
    std::string url;
    std::string line = "line";
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    bool json = false;
    bool once = false;
    double settle = 2;
};

struct Subscription {
    LineView view;
    std::string strFilter;
    bool bConnected = false;
    bool bChanged = false;
};

void OnConnect(mosquitto* client, void* context, int result) {
    auto* subscription = static_cast<Subscription*>(context);
    if (result == 0) {
        subscription->bConnected = true;
        mosquitto_subscribe(client, nullptr, subscription->strFilter.c_str(), kMqttQos);
    } else {
        std::fprintf(stderr, "%s: the broker refused the connection: %s\n", kProgram,
                     mosquitto_connack_string(result));
    }
}

void OnMessage(mosquitto*, void* context, const mosquitto_message* message) {
    auto* subscription = static_cast<Subscription*>(context);
    const std::string payload = message->payload == nullptr || message->payloadlen <= 0
                                    ? std::string()
                                    : std::string(static_cast<const char*>(message->payload),
                                                  static_cast<size_t>(message->payloadlen));
    subscription->bChanged |= subscription->view.Apply(message->topic, payload);
}

void Show(const Options& options, const LineView& view) {
    std::string text;
    if (options.json) {
        text = view.Json().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    } else if (!options.once && IsTerminal(StandardStream::kOutput)) {
        const int columns = TerminalColumns();
        text = "\x1b[H\x1b[2J" + view.Text(columns > 0 ? static_cast<size_t>(columns) : 100);
    } else {
        text = view.Text(200) + "\n";
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app(
        "Shows a production line from its MQTT broker: each bench that publishes to it "
        "(varnel-cli --mqtt) with its ports' live state, its yield since the view began and the "
        "last failed ports.",
        kProgram);
    app.add_option("--mqtt", options.url,
                   "the line's broker: mqtt://[user[:password]@]host[:port] or mqtts://...")
        ->type_name("URL")
        ->required();
    app.add_option("--line", options.line, "the line's name (default: line)")->type_name("NAME");
    app.add_option("--mqtt-ca", options.caFile,
                   "with mqtts://: the certificates the broker's is checked against")
        ->type_name("FILE");
    app.add_option("--mqtt-cert", options.certFile, "with mqtts://: the viewer's own certificate")
        ->type_name("FILE");
    app.add_option("--mqtt-key", options.keyFile, "with mqtts://: the key of --mqtt-cert")
        ->type_name("FILE");
    app.add_flag("--json", options.json,
                 "print the line as one JSON object per line, again after each change");
    app.add_flag("--once", options.once,
                 "print the line once, --settle seconds after connecting, and exit");
    app.add_option("--settle", options.settle,
                   "with --once: how long the broker's retained states may take to arrive "
                   "(default: 2)")
        ->type_name("SECONDS")
        ->check(CLI::NonNegativeNumber);
    app.footer(
        "The JSON object: {\"schema_version\", \"line\", \"benches\": [{\"bench\", \"online\", "
        "\"job\", \"job_state\", \"result\", \"images\", \"ports\": [{\"port\", \"device\", "
        "\"state\", \"status_code\", \"percent\", \"text\"}], \"yield\": {\"finished\", "
        "\"failed\"}}], \"failures\": [newest first]} (docs/mqtt.md).\n\n"
        "Exit status: 0 ended by an interrupt or after --once; 1 the broker could not be "
        "reached; 2 bad arguments.");
    app.set_version_flag("--version", std::string(kProgram) + " " + kVersionText);
    if (const std::optional<int> status = ParseProgramArguments(app, argc, argv, kProgram)) {
        return *status;
    }
    MqttEndpoint endpoint;
    std::string error;
    if (!ParseMqttUrl(options.url, endpoint, error)) {
        std::fprintf(stderr, "%s: --mqtt: %s\n", kProgram, error.c_str());
        return kExitBadArguments;
    }
    endpoint.strCaFile = options.caFile;
    endpoint.strCertFile = options.certFile;
    endpoint.strKeyFile = options.keyFile;
    const std::string line = TopicLevel(options.line);
    Subscription subscription{LineView(line), "varnel/" + line + "/#"};
    MosquittoClient client = MakeMosquittoClient(endpoint, &subscription, error);
    if (!client) {
        std::fprintf(stderr, "%s: --mqtt: %s\n", kProgram, error.c_str());
        return kExitBadArguments;
    }
    mosquitto_connect_callback_set(client.get(), OnConnect);
    mosquitto_message_callback_set(client.get(), OnMessage);
    CatchEndRequests(OnSignal);

    const auto started = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> connected;
    auto shown = started - kRefresh;
    bool linked = mosquitto_connect_async(client.get(), endpoint.strHost.c_str(), endpoint.nPort,
                                          kMqttKeepAliveSeconds) == MOSQ_ERR_SUCCESS;
    while (!g_bEnd) {
        const auto now = std::chrono::steady_clock::now();
        if (!connected && now - started > kConnectLimit) {
            std::fprintf(stderr, "%s: cannot reach the broker at %s:%d\n", kProgram,
                         endpoint.strHost.c_str(), endpoint.nPort);
            return kExitUnreachable;
        }
        if (!linked || mosquitto_loop(client.get(), kTurnMs, 1) != MOSQ_ERR_SUCCESS) {
            subscription.bConnected = false;
            std::this_thread::sleep_for(kReconnectPause);
            linked = mosquitto_reconnect_async(client.get()) == MOSQ_ERR_SUCCESS;
            continue;
        }
        if (subscription.bConnected && !connected) {
            connected = now;
        }
        if (options.once) {
            if (connected && now - *connected >= std::chrono::duration<double>(options.settle)) {
                Show(options, subscription.view);
                break;
            }
        } else if (subscription.bChanged && now - shown >= kRefresh) {
            subscription.bChanged = false;
            shown = now;
            Show(options, subscription.view);
        }
    }
    mosquitto_disconnect(client.get());
    return kExitDone;
}
