#pragma once
// Simulated VISA driver: USB (and other) instrument resources that answer "*IDN?" with their
// identity and log every command written to them, with session bookkeeping so tests can see
// that every session opened was closed.
#include "generators/visa_binding.h"

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zs::sim {

struct SimVisaInstrument {
    std::string resource;
    std::string identity;
    bool silent = false;          // "*IDN?" gets no reply (the read times out)
    bool gone = false;            // unplugged: opening it, reading and writing fail
    std::string garbage;          // when set, "*IDN?" gets this instead of the identity
    std::vector<std::string> log; // every write, as written
    std::string reply;            // what the next read returns
};

class SimVisa {
  public:
    static SimVisa& instance();

    // Forgets every instrument and session.
    void reset();
    SimVisaInstrument& addInstrument(const std::string& resource, const std::string& identity);
    SimVisaInstrument* find(const std::string& resource);
    // Sessions of any kind still open.
    uint32_t openSessions() const;
    // Makes viOpenDefaultRM fail.
    void setManagerFails(bool fails);

    std::vector<std::string> log(const std::string& resource) const;
    // The resource an instrument session was opened on; empty for any other session.
    std::string resourceOf(generators::ViSession session) const;

    static const generators::VisaApi& table();

    std::recursive_mutex& mutex() const { return mutex_; }

  private:
    friend struct SimVisaCalls;
    enum class SessionKind { Manager, Instrument, FindList };
    struct Session {
        SessionKind kind;
        SimVisaInstrument* instrument = nullptr;
        std::vector<std::string> found;
        size_t next = 0;
    };
    mutable std::recursive_mutex mutex_;
    std::vector<std::unique_ptr<SimVisaInstrument>> instruments_;
    std::map<generators::ViSession, Session> sessions_;
    generators::ViSession nextSession_ = 1;
    bool managerFails_ = false;
};

} // namespace zs::sim
