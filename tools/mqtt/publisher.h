#pragma once
// Publishes messages to an MQTT broker through libmosquitto, at QoS 1 and in order, losing none
// while the broker is away: they wait in a Spool and go out once a connection is back. A
// message leaves the queue only when the broker acknowledged it; a connection that breaks
// returns its unacknowledged messages to the queue's front, so the broker may see one twice
// (QoS 1 is "at least once") but never misses one the spool kept.
#include "spool.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct mosquitto;

namespace zs::mqtt {

// mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883).
struct BrokerUrl {
    bool tls = false;
    std::string host;
    int port = 0;
};
// std::invalid_argument naming what is wrong.
BrokerUrl parseBrokerUrl(const std::string& url);

struct PublisherOptions {
    BrokerUrl broker;
    std::string caFile; // mqtts: the certificate authorities to trust
    std::string username, password;
    std::string clientId;
    // Retained {"online":true,"dropped":N} while connected; the broker's last will sets it to
    // {"online":false} if this process dies or its connection breaks.
    std::string statusTopic;
    std::string spoolPath;
    uint64_t spoolBytes = 0;
    uint64_t memoryBytes = 0;
    std::chrono::milliseconds reconnectMax{10000}; // backoff doubles from 250 ms up to this
    // What happens to the connection ("connected to ...", "connection lost: ..."); called on
    // the publisher's thread.
    std::function<void(const std::string&)> report;
};

struct PublisherCounts {
    uint64_t acknowledged = 0; // queued messages the broker acknowledged
    uint64_t dropped = 0;      // the oldest, dropped while the spool was full
    uint64_t waiting = 0;      // queued or in flight
    bool connected = false;
};

class Publisher {
  public:
    explicit Publisher(PublisherOptions options); // starts connecting at once
    ~Publisher();                                 // as close() with no wait
    Publisher(const Publisher&) = delete;
    Publisher& operator=(const Publisher&) = delete;

    // Queues a message (QoS 1, not retained) after every one queued before.
    void publish(std::string topic, std::string payload);
    // A retained state: only its latest payload matters; sent now and again on every new
    // connection.
    void setState(const std::string& topic, std::string payload);

    // Waits until every queued message and state is acknowledged, or the time is up: whether
    // all was.
    bool flush(std::chrono::milliseconds limit);
    // Marks this host off line, disconnects cleanly (so the last will is not sent) and stops.
    void close(std::chrono::milliseconds limit);

    PublisherCounts counts() const;

  private:
    struct State {
        std::string payload;
        bool sent = false;
        int mid = -1; // the message id while unacknowledged
    };

    void run();
    bool connect();
    void dropConnection(const std::string& why);
    void sendWaiting(); // with lock_ held
    std::string statusPayload(bool online) const;
    bool allAcknowledged() const;

    static void onConnect(mosquitto*, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onPublish(mosquitto*, void* self, int mid);

    PublisherOptions options_;
    mosquitto* mosq_ = nullptr; // only the publisher's thread touches it
    mutable std::mutex lock_;
    std::condition_variable changed_;
    Spool spool_;
    std::map<int, std::pair<uint64_t, Message>> inFlight_; // mid -> (queue order, message)
    uint64_t nextOrder_ = 0;
    std::map<std::string, State> states_;
    uint64_t acknowledged_ = 0;
    uint64_t droppedReported_ = UINT64_MAX;
    bool connected_ = false;  // CONNACK accepted
    bool connecting_ = false; // socket open, CONNACK awaited
    bool broken_ = false;     // the connection ended inside the last loop turn
    bool stopping_ = false;
    bool closing_ = false; // close(): the last states go out, then the clean disconnect
    std::chrono::milliseconds backoff_{250};
    std::chrono::steady_clock::time_point nextAttempt_{};
    std::string lastProblem_;
    std::thread thread_;
};

} // namespace zs::mqtt
