// zsig watch --mqtt: every record of every listed instrument (or of one) as a JSON message to
// an MQTT broker, through the publisher of tools/mqtt, which spools what the broker cannot take.
#include "output.h"
#include "publisher.h"
#include "watch_command.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zsig {
namespace {

constexpr auto kPoll = std::chrono::milliseconds(10);
constexpr auto kStateCheck = std::chrono::milliseconds(200);
constexpr auto kFlushLimit = std::chrono::seconds(4);
// The spool holds an hour of four instruments at 10 records a second (what the library shows
// of a stream) of about 9 KiB each; memory takes the first seconds of an outage.
constexpr uint64_t kDefaultSpoolBytes = 4ull * 10 * 3600 * 9 * 1024;
constexpr uint64_t kMemoryBytes = 8ull << 20;

struct Instrument {
    int32_t index = 0;
    int32_t serial = -1; // -1 until its first record says it
    int32_t type = 0;
    uint64_t records = 0;
    int online = -1; // last published state; -1: none yet
};

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == 0) return "localhost";
    return name;
}

// A credential from env:VARIABLE or file:PATH (the file's first line).
std::string credential(const std::string& source, const char* variable) {
    if (source.empty()) {
        const char* v = std::getenv(variable);
        return v ? v : "";
    }
    if (source.rfind("env:", 0) == 0) {
        const char* v = std::getenv(source.c_str() + 4);
        if (!v) throw Failure("the environment has no " + source.substr(4));
        return v;
    }
    std::ifstream in(source.substr(5), std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) throw Failure("cannot read " + source.substr(5));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string instrumentFields(const Instrument& in, const char* link) {
    return "\"serial\":" + std::to_string(in.serial) + ",\"type\":" + std::to_string(in.type) +
           ",\"link\":" + jsonString(link);
}

// One record: the cells of each channel, band set and averaging as two arrays indexed by band,
// the labels and the values (null where the record wrote none), which keeps a message a fifth
// of the size of one object per value.
std::string recordMessage(const Instrument& in, const char* link, const std::string& time,
                          double recordTime, const std::vector<Cell>& cells) {
    std::string out = "{" + instrumentFields(in, link) + ",\"seq\":" + std::to_string(in.records) +
                      ",\"time\":\"" + time + "\"";
    const std::string stamp = isoTime(recordTime);
    if (!stamp.empty()) out += ",\"record_time\":\"" + stamp + "\"";
    out += ",\"sets\":[";
    bool firstSet = true;
    for (size_t begin = 0, end = 0; begin < cells.size(); begin = end) {
        const Cell& head = cells[begin];
        bool written = false;
        for (end = begin; end < cells.size() && cells[end].channel == head.channel &&
                          cells[end].group == head.group && cells[end].averaging == head.averaging;
             ++end)
            written = written || cells[end].value != kNoValue;
        if (!written) continue;
        out += firstSet ? "{" : ",{";
        firstSet = false;
        out += "\"channel\":" + std::to_string(head.channel) +
               ",\"band_set\":" + std::to_string(head.group + 1) +
               ",\"averaging\":" + std::to_string(head.averaging) +
               ",\"averaging_name\":" + jsonString(head.averagingName) + ",\"bands\":[";
        for (size_t i = begin; i < end; ++i)
            out += (i == begin ? "" : ",") + jsonString(cells[i].bandLabel);
        out += "],\"values\":[";
        for (size_t i = begin; i < end; ++i)
            out += (i == begin ? "" : ",") +
                   (cells[i].value == kNoValue ? std::string("null") : jsonNumber(cells[i].value));
        out += "]}";
    }
    return out + "]}";
}

std::string statusMessage(const Instrument& in, const char* link, bool online) {
    return "{" + instrumentFields(in, link) + ",\"online\":" + (online ? "true" : "false") + "}";
}

void reportDropped(uint64_t dropped, uint64_t& shown) {
    if (dropped == shown) return;
    shown = dropped;
    std::fprintf(stderr, "zsig: spool full: %llu oldest records dropped\n",
                 static_cast<unsigned long long>(dropped));
}

} // namespace

int runWatchMqtt(const zs::host::Library& lib, const WatchRequest& request) {
    using Clock = std::chrono::steady_clock;
    const MqttRequest& mq = request.mqtt;
    zs::mqtt::PublisherOptions options;
    try {
        options.broker = zs::mqtt::parseBrokerUrl(mq.url);
    } catch (const std::invalid_argument& e) {
        throw UsageError(e.what());
    }
    if (!mq.caFile.empty() && !options.broker.tls)
        throw UsageError("--cafile is for mqtts:// brokers");
    options.caFile = mq.caFile;
    options.username = credential(mq.usernameSource, "ZSIG_MQTT_USERNAME");
    options.password = credential(mq.passwordSource, "ZSIG_MQTT_PASSWORD");
    const std::string host = hostName();
    const std::string prefix = mq.topicPrefix.empty() ? "zentrel/" + host : mq.topicPrefix;
    options.clientId = "zsig-" + host + "-" + std::to_string(getpid());
    options.statusTopic = prefix + "/status";
    options.spoolPath = !mq.spoolPath.empty()
                            ? mq.spoolPath
                            : (std::filesystem::temp_directory_path() /
                               ("zsig-mqtt-" + std::to_string(getpid()) + ".spool"))
                                  .string();
    options.spoolBytes = mq.spoolBytes > 0 ? mq.spoolBytes : kDefaultSpoolBytes;
    options.memoryBytes = std::min(kMemoryBytes, options.spoolBytes / 4);
    options.reconnectMax =
        std::chrono::milliseconds(static_cast<int64_t>(mq.reconnectMaxSeconds * 1000));
    options.report = [](const std::string& text) {
        std::fprintf(stderr, "zsig: %s\n", text.c_str());
    };

    const int count = buildDeviceList(lib, request.list);
    const auto freeList = ZS_HOST_GET(lib, K427_FreeFList);
    std::vector<Instrument> instruments;
    for (int i = 0; i < count; ++i)
        if (request.index < 0 || request.index == i) instruments.push_back({i});
    if (instruments.empty()) {
        freeList();
        throw Failure(request.index < 0 ? std::string("no instruments found")
                                        : "no device " + std::to_string(request.index) + " (" +
                                              std::to_string(count) + " found)");
    }
    const auto wait = ZS_HOST_GET(lib, K427_WaitForTelePacket);
    const auto serialOf = ZS_HOST_GET(lib, K427_GetDeviceVIN);
    const auto typeOf = ZS_HOST_GET(lib, K427_GetDeviceType);
    const auto isOnLine = ZS_HOST_GET(lib, K427_IsDeviceOnLine);
    const auto recordTime = ZS_HOST_GET(lib, K427_GetDateTime);
    const char* link = linkName(request.list);

    uint64_t records = 0, droppedShown = 0;
    {
        zs::mqtt::Publisher publisher(options);
        std::printf("publishing %zu instrument%s to %s under %s/ (Ctrl-C ends)\n",
                    instruments.size(), instruments.size() == 1 ? "" : "s", mq.url.c_str(),
                    prefix.c_str());
        std::fflush(stdout);
        const auto updateStates = [&](bool ending) {
            for (Instrument& in : instruments) {
                if (in.serial < 0) continue;
                const int online = ending ? 0 : isOnLine(in.index) ? 1 : 0;
                if (online == in.online) continue;
                in.online = online;
                publisher.setState(prefix + "/" + std::to_string(in.serial) + "/status",
                                   statusMessage(in, link, online == 1));
            }
        };
        watchInterrupts(true);
        const auto start = Clock::now();
        auto lastCheck = start;
        while (!interrupted()) {
            const auto now = Clock::now();
            if (request.durationSeconds > 0 &&
                std::chrono::duration<double>(now - start).count() >= request.durationSeconds)
                break;
            bool any = false;
            for (Instrument& in : instruments) {
                if (!wait(in.index, 0)) continue;
                any = true;
                const std::string time = isoNow(true);
                const auto cells = readCells(lib, in.index);
                in.serial = serialOf(in.index);
                in.type = typeOf(in.index);
                if (in.serial < 0) continue; // not identified yet: no topic to publish under
                ++in.records;
                ++records;
                publisher.publish(prefix + "/" + std::to_string(in.serial) + "/values",
                                  recordMessage(in, link, time, recordTime(in.index), cells));
            }
            if (now - lastCheck >= kStateCheck) {
                lastCheck = now;
                updateStates(false);
                reportDropped(publisher.counts().dropped, droppedShown);
            }
            if (!any) std::this_thread::sleep_for(kPoll);
        }
        watchInterrupts(false);
        updateStates(true);
        if (publisher.counts().waiting > 0)
            std::fprintf(stderr, "zsig: sending what waits (at most %lld s)\n",
                         static_cast<long long>(kFlushLimit.count()));
        publisher.close(kFlushLimit);
        freeList();
        const auto counts = publisher.counts();
        reportDropped(counts.dropped, droppedShown);
        std::printf("%llu records from %zu instrument%s: %llu published, %llu dropped, %llu not "
                    "sent\n",
                    static_cast<unsigned long long>(records), instruments.size(),
                    instruments.size() == 1 ? "" : "s",
                    static_cast<unsigned long long>(counts.acknowledged),
                    static_cast<unsigned long long>(counts.dropped),
                    static_cast<unsigned long long>(counts.waiting));
        if (counts.waiting > 0)
            throw Failure(std::to_string(counts.waiting) +
                          " records could not be sent before the end");
    }
    return 0;
}

void addMqttOptions(CLI::App& command, MqttRequest& request, CLI::Option* csv) {
    command
        .add_option("--mqtt", request.url,
                    "Publish every record to this MQTT broker (mqtt://HOST[:PORT], "
                    "mqtts://HOST[:PORT]); without INDEX every instrument's")
        ->excludes(csv);
    command.add_option("--topic", request.topicPrefix,
                       "Topic prefix: PREFIX/SERIAL/values, PREFIX/SERIAL/status and "
                       "PREFIX/status (default zentrel/HOSTNAME)");
    command
        .add_option("--cafile", request.caFile,
                    "mqtts: the certificate authorities to trust (default: the system's)")
        ->check(CLI::ExistingFile);
    const auto source = [](const std::string& text) {
        if (text.rfind("env:", 0) == 0 || text.rfind("file:", 0) == 0) return std::string();
        return std::string("give env:VARIABLE or file:PATH, never the text itself");
    };
    command
        .add_option("--username", request.usernameSource,
                    "env:VARIABLE or file:PATH holding the user name (default: "
                    "ZSIG_MQTT_USERNAME when set)")
        ->check(source);
    command
        .add_option("--password", request.passwordSource,
                    "env:VARIABLE or file:PATH holding the password (default: "
                    "ZSIG_MQTT_PASSWORD when set)")
        ->check(source);
    command.add_option("--spool", request.spoolPath,
                       "The spool file for records the broker cannot take yet, removed at the end "
                       "(default: one in the temporary folder)");
    command
        .add_option(
            "--spool-size", request.spoolBytes,
            "Bytes of the spool file; when full the oldest records are dropped and "
            "counted: bytes, or with k, M, G (default about an hour of four instruments, 1.3G)")
        ->transform(CLI::AsSizeValue(false));
    command
        .add_option("--reconnect-max", request.reconnectMaxSeconds,
                    "Longest wait between attempts to reach the broker, seconds (default 10)")
        ->check(CLI::Range(0.25, 3600.0));
}

} // namespace zsig
