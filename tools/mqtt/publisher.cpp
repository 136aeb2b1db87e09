#include "publisher.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <stdexcept>
#include <vector>

namespace zs::mqtt {
namespace {

constexpr size_t kWindow = 64; // messages in flight at once
constexpr int kKeepAliveSeconds = 10;
constexpr int kLoopMs = 20; // how long one turn waits on the socket
constexpr auto kFirstBackoff = std::chrono::milliseconds(250);

std::once_flag g_libraryReady;

std::string problem(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

std::string urlText(const BrokerUrl& url) {
    return (url.tls ? "mqtts://" : "mqtt://") + url.host + ":" + std::to_string(url.port);
}

} // namespace

BrokerUrl parseBrokerUrl(const std::string& url) {
    BrokerUrl out;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        out.tls = true;
        rest = url.substr(8);
    } else {
        throw std::invalid_argument("a broker URL starts with mqtt:// or mqtts://: " + url);
    }
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    out.port = out.tls ? 8883 : 1883;
    size_t hostEnd = rest.size();
    if (!rest.empty() && rest.front() == '[') { // [IPv6]:port
        hostEnd = rest.find(']');
        if (hostEnd == std::string::npos) throw std::invalid_argument("unclosed [ in " + url);
        out.host = rest.substr(1, hostEnd - 1);
        ++hostEnd;
    } else {
        hostEnd = std::min(rest.find(':'), rest.size());
        out.host = rest.substr(0, hostEnd);
    }
    if (out.host.empty() || out.host.find('/') != std::string::npos)
        throw std::invalid_argument("no broker host in " + url);
    if (hostEnd < rest.size()) {
        if (rest[hostEnd] != ':')
            throw std::invalid_argument("unexpected text after the host in " + url);
        const std::string port = rest.substr(hostEnd + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
            std::stoi(port) > 65535)
            throw std::invalid_argument("the port of " + url + " is not 1..65535");
        out.port = std::stoi(port);
    }
    return out;
}

Publisher::Publisher(PublisherOptions options)
    : options_(std::move(options)),
      spool_(options_.spoolPath, options_.spoolBytes, options_.memoryBytes) {
    std::call_once(g_libraryReady, [] { mosquitto_lib_init(); });
    states_[options_.statusTopic].payload = statusPayload(true);
    thread_ = std::thread([this] { run(); });
}

Publisher::~Publisher() {
    {
        std::lock_guard<std::mutex> lk(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void Publisher::publish(std::string topic, std::string payload) {
    std::lock_guard<std::mutex> lk(lock_);
    spool_.push({std::move(topic), std::move(payload)});
}

void Publisher::setState(const std::string& topic, std::string payload) {
    std::lock_guard<std::mutex> lk(lock_);
    State& s = states_[topic];
    if (s.payload == payload && s.sent) return;
    s.payload = std::move(payload);
    s.sent = false;
    s.mid = -1;
}

bool Publisher::allAcknowledged() const {
    if (!spool_.empty() || !inFlight_.empty() || droppedReported_ != spool_.dropped()) return false;
    return std::all_of(states_.begin(), states_.end(),
                       [](const auto& s) { return s.second.sent && s.second.mid < 0; });
}

bool Publisher::flush(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lk(lock_);
    return changed_.wait_for(lk, limit, [this] { return allAcknowledged(); });
}

void Publisher::close(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    {
        std::lock_guard<std::mutex> lk(lock_);
        closing_ = true; // the status stays off line from here on
        State& s = states_[options_.statusTopic];
        s.payload = statusPayload(false);
        s.sent = false;
        s.mid = -1;
    }
    flush(std::chrono::duration_cast<std::chrono::milliseconds>(
        std::max(end - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration{})));
    {
        std::lock_guard<std::mutex> lk(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

PublisherCounts Publisher::counts() const {
    std::lock_guard<std::mutex> lk(lock_);
    return {acknowledged_, spool_.dropped(), spool_.count() + inFlight_.size(), connected_};
}

std::string Publisher::statusPayload(bool online) const {
    return std::string("{\"online\":") + (online ? "true" : "false") +
           ",\"dropped\":" + std::to_string(spool_.dropped()) + "}";
}

void Publisher::run() {
    std::unique_lock<std::mutex> lk(lock_);
    while (!stopping_) {
        if (!mosq_) {
            if (std::chrono::steady_clock::now() < nextAttempt_) {
                changed_.wait_until(lk, nextAttempt_);
                continue;
            }
            if (!connect()) continue;
        }
        if (connected_) sendWaiting();
        lk.unlock();
        const int rc = mosquitto_loop(mosq_, kLoopMs, 1);
        lk.lock();
        if (rc != MOSQ_ERR_SUCCESS)
            dropConnection(problem(rc));
        else if (broken_ || (!connected_ && !connecting_))
            dropConnection(lastProblem_);
    }
    if (mosq_) {
        // A clean disconnect keeps the broker from sending the last will: close() has just
        // published the off-line status itself.
        if (connected_ && closing_) {
            lk.unlock(); // the disconnect calls onDisconnect at once
            mosquitto_disconnect(mosq_);
            mosquitto_loop(mosq_, kLoopMs, 1);
            lk.lock();
        }
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        connected_ = false;
    }
}

bool Publisher::connect() {
    // A new client for every connection: libmosquitto then holds no messages of its own
    // from an earlier one, and the spool alone decides what is sent again.
    mosq_ = mosquitto_new(options_.clientId.c_str(), true, this);
    if (!mosq_) throw std::runtime_error("cannot make an MQTT client: out of memory");
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, static_cast<int>(kWindow));
    const std::string will = "{\"online\":false}";
    mosquitto_will_set(mosq_, options_.statusTopic.c_str(), static_cast<int>(will.size()),
                       will.data(), 1, true);
    if (!options_.username.empty())
        mosquitto_username_pw_set(mosq_, options_.username.c_str(),
                                  options_.password.empty() ? nullptr : options_.password.c_str());
    int rc = MOSQ_ERR_SUCCESS;
    if (options_.broker.tls) {
        if (options_.caFile.empty())
            rc = mosquitto_int_option(mosq_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        else
            rc = mosquitto_tls_set(mosq_, options_.caFile.c_str(), nullptr, nullptr, nullptr,
                                   nullptr);
    }
    mosquitto_connect_callback_set(mosq_, onConnect);
    mosquitto_disconnect_callback_set(mosq_, onDisconnect);
    mosquitto_publish_callback_set(mosq_, onPublish);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect(mosq_, options_.broker.host.c_str(), options_.broker.port,
                               kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        dropConnection(problem(rc));
        return false;
    }
    connecting_ = true;
    return true;
}

void Publisher::dropConnection(const std::string& why) {
    const bool wasConnected = connected_;
    if (mosq_) mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    connected_ = connecting_ = broken_ = false;
    // What was in flight goes back in front, in its order, to be sent again.
    std::vector<std::pair<uint64_t, Message>> back;
    for (auto& [mid, entry] : inFlight_) back.push_back(std::move(entry));
    inFlight_.clear();
    std::sort(back.begin(), back.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<Message> messages;
    for (auto& entry : back) messages.push_back(std::move(entry.second));
    spool_.pushFront(std::move(messages));
    for (auto& [topic, s] : states_) {
        s.sent = false;
        s.mid = -1;
    }
    // Repeated failures to connect are reported once, not at every attempt.
    if (options_.report && (wasConnected || why != lastProblem_))
        options_.report((wasConnected ? "connection to " + urlText(options_.broker) + " lost: "
                                      : "cannot connect to " + urlText(options_.broker) + ": ") +
                        why + "; " + std::to_string(spool_.count()) + " messages wait");
    lastProblem_ = why;
    nextAttempt_ = std::chrono::steady_clock::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, std::max(options_.reconnectMax, kFirstBackoff));
}

void Publisher::sendWaiting() {
    if (droppedReported_ != spool_.dropped() && !closing_) {
        State& s = states_[options_.statusTopic];
        s.payload = statusPayload(true);
        s.sent = false;
        s.mid = -1;
    }
    droppedReported_ = spool_.dropped();
    for (auto& [topic, s] : states_) {
        if (s.sent) continue;
        int mid = 0;
        if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(s.payload.size()),
                              s.payload.data(), 1, true) != MOSQ_ERR_SUCCESS)
            return;
        s.sent = true;
        s.mid = mid;
    }
    while (inFlight_.size() < kWindow) {
        auto m = spool_.pop();
        if (!m) break;
        int mid = 0;
        if (mosquitto_publish(mosq_, &mid, m->topic.c_str(), static_cast<int>(m->payload.size()),
                              m->payload.data(), 1, false) != MOSQ_ERR_SUCCESS) {
            std::vector<Message> back;
            back.push_back(std::move(*m));
            spool_.pushFront(std::move(back));
            break;
        }
        inFlight_[mid] = {nextOrder_++, std::move(*m)};
    }
}

void Publisher::onConnect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<Publisher*>(self);
    {
        std::lock_guard<std::mutex> lk(p->lock_);
        p->connecting_ = false;
        if (rc != 0) {
            p->lastProblem_ = std::string("refused: ") + mosquitto_connack_string(rc);
            if (p->options_.report)
                p->options_.report("broker " + urlText(p->options_.broker) + " " + p->lastProblem_);
            return;
        }
        p->connected_ = true;
        p->backoff_ = kFirstBackoff;
        p->lastProblem_.clear();
        // Sent again below: the broker may have lost what it retained.
        for (auto& [topic, s] : p->states_) {
            s.sent = false;
            s.mid = -1;
        }
    }
    if (p->options_.report) p->options_.report("connected to " + urlText(p->options_.broker));
}

void Publisher::onDisconnect(mosquitto*, void* self, int rc) {
    auto* p = static_cast<Publisher*>(self);
    std::lock_guard<std::mutex> lk(p->lock_);
    p->broken_ = true; // dropConnection tells whether it was connected
    if (rc != 0) p->lastProblem_ = problem(rc);
}

void Publisher::onPublish(mosquitto*, void* self, int mid) {
    auto* p = static_cast<Publisher*>(self);
    {
        std::lock_guard<std::mutex> lk(p->lock_);
        if (p->inFlight_.erase(mid)) {
            ++p->acknowledged_;
        } else {
            for (auto& [topic, s] : p->states_)
                if (s.mid == mid) s.mid = -1;
        }
    }
    p->changed_.notify_all();
}

} // namespace zs::mqtt
