#pragma once
// For tests and benchmarks of publishing to MQTT: a Mosquitto broker started on a free
// loopback port with its own configuration, a libmosquitto subscriber, and child processes
// (zsig) with their output in files. Waits are bounded and look at conditions.
#include <atomic>
#include <chrono>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mosquitto.h>
#include <mutex>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace zs::mqtt::harness {

namespace fs = std::filesystem;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

inline constexpr auto kPatience = std::chrono::seconds(15); // the most any condition is waited for

inline std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits for `done` up to kPatience, looking every 20 ms.
inline bool eventually(const std::function<bool()>& done) {
    const auto end = Clock::now() + kPatience;
    while (!done()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

inline int freeLoopbackPort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    close(s);
    return ntohs(a.sin_port);
}

inline bool portAnswers(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

// A child process with its output in files; killed if still running at the end.
class Child {
  public:
    Child(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err,
          const std::vector<std::string>& extraEnv = {}) {
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) env.emplace_back(*e);
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> args, envp;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        args.push_back(nullptr);
        envp.push_back(nullptr);
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        if (posix_spawnp(&pid_, args[0], &files, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&files);
    }
    ~Child() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    void signal(int sig) { kill(pid_, sig); }
    // The exit status, or -1 when it has not ended within kPatience.
    int wait() {
        const auto end = Clock::now() + kPatience;
        while (!exited_) {
            int raw = 0;
            if (wait4(pid_, &raw, WNOHANG, &usage_) == pid_) {
                exited_ = true;
                status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            } else if (Clock::now() > end) {
                return -1;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        return status_;
    }

    // The CPU time it used, user and system, once it has ended.
    double cpuSeconds() const {
        return static_cast<double>(usage_.ru_utime.tv_sec + usage_.ru_stime.tv_sec) +
               static_cast<double>(usage_.ru_utime.tv_usec + usage_.ru_stime.tv_usec) / 1e6;
    }

  private:
    pid_t pid_ = -1;
    rusage usage_{};
    bool exited_ = false;
    int status_ = -1;
};

// A scratch folder per test, removed at its end.
struct Scratch {
    fs::path dir;
    explicit Scratch(const std::string& name)
        : dir(fs::temp_directory_path() / ("zsig-mqtt-" + name + "-" + std::to_string(getpid()))) {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    ~Scratch() { fs::remove_all(dir); }
};

// Mosquitto on 127.0.0.1, on a free port, with the configuration lines given; keeps its
// sessions across a restart (in the test's folder) so a subscriber misses nothing.
class Broker {
  public:
    Broker(fs::path dir, std::string extra = {}) : dir_(std::move(dir)), port_(freeLoopbackPort()) {
        std::ofstream conf(dir_ / "mosquitto.conf");
        conf << "listener " << port_ << " 127.0.0.1\n"
             << "persistence true\npersistence_location " << dir_.string() << "/\n"
             << "max_queued_messages 0\nlog_dest stderr\n"
             << (extra.empty() ? "allow_anonymous true\n" : extra);
        if (getuid() == 0)
            conf << "user root\n"; // else it would run as a user who cannot read our files
    }
    ~Broker() {
        if (process_) process_->signal(SIGTERM);
    }
    int port() const { return port_; }
    std::string url(const char* scheme = "mqtt") const {
        return std::string(scheme) + "://127.0.0.1:" + std::to_string(port_);
    }
    void start() {
        process_ = std::make_unique<Child>(
            std::vector<std::string>{"mosquitto", "-c", (dir_ / "mosquitto.conf").string()},
            dir_ / "broker.out", dir_ / "broker.log");
        if (!process_->started())
            throw std::runtime_error(
                "cannot start mosquitto (scripts/install-deps.sh installs it)");
        if (!eventually([&] { return portAnswers(port_); }))
            throw std::runtime_error("mosquitto does not listen: " + slurp(dir_ / "broker.log"));
    }
    void stop() {
        if (!process_) return;
        process_->signal(SIGTERM); // saves the sessions
        const int status = process_->wait();
        process_.reset();
        if (status != 0 && !std::uncaught_exceptions())
            throw std::runtime_error("mosquitto ended with " + std::to_string(status));
    }

  private:
    fs::path dir_;
    int port_;
    std::unique_ptr<Child> process_;
};

struct Received {
    std::string topic;
    std::string payload;
    bool retained;
    Clock::time_point at;
};

// A libmosquitto subscriber to PREFIX/# at QoS 1 with a session the broker keeps.
class Subscriber {
  public:
    struct Tls {
        std::string caFile, username, password;
    };
    Subscriber(int port, std::string filter, const Tls* tls = nullptr, bool keepSession = true)
        : filter_(std::move(filter)) {
        mosquitto_lib_init();
        // A kept session is found again by its name; the others have names of their own.
        static std::atomic<int> made{0};
        std::string id = "zsig-test-" + std::to_string(port);
        if (!keepSession) id.append("-").append(std::to_string(++made));
        mosq_ = mosquitto_new(id.c_str(), !keepSession, this);
        if (tls) {
            mosquitto_tls_set(mosq_, tls->caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
            mosquitto_username_pw_set(mosq_, tls->username.c_str(), tls->password.c_str());
        }
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->subscribed_ = true;
        });
        mosquitto_message_callback_set(
            mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto* s = static_cast<Subscriber*>(self);
                std::lock_guard<std::mutex> lk(s->lock_);
                s->messages_.push_back({m->topic,
                                        std::string(static_cast<const char*>(m->payload),
                                                    static_cast<size_t>(m->payloadlen)),
                                        m->retain, Clock::now()});
            });
        mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    bool waitSubscribed() {
        return eventually([&] { return subscribed_.load(); });
    }
    std::vector<Received> messages() const {
        std::lock_guard<std::mutex> lk(lock_);
        return messages_;
    }
    // The values messages of each serial number, parsed.
    std::map<int, std::vector<json>> records() const {
        std::map<int, std::vector<json>> out;
        for (const auto& m : messages())
            if (m.topic.ends_with("/values")) {
                json j = json::parse(m.payload);
                out[j.at("serial").get<int>()].push_back(std::move(j));
            }
        return out;
    }
    size_t recordCount() const {
        size_t n = 0;
        for (const auto& m : messages()) n += m.topic.ends_with("/values");
        return n;
    }
    // The last payload on a topic.
    std::string last(const std::string& topic) const {
        std::string out;
        for (const auto& m : messages())
            if (m.topic == topic) out = m.payload;
        return out;
    }

  private:
    std::string filter_;
    mosquitto* mosq_;
    std::atomic<bool> subscribed_{false};
    mutable std::mutex lock_;
    std::vector<Received> messages_;
};

// zsig from the folder of the running program (the build's bin folder).
struct Zsig {
    fs::path out, err;
    std::unique_ptr<Child> process;

    Zsig(const fs::path& dir, std::vector<std::string> args, std::vector<std::string> env) {
        out = dir / "zsig.out";
        err = dir / "zsig.err";
        args.insert(args.begin(),
                    (fs::read_symlink("/proc/self/exe").parent_path() / "zsig").string());
        process = std::make_unique<Child>(args, out, err, env);
    }
    std::string stderrText() const { return slurp(err); }
};

} // namespace zs::mqtt::harness
