#include "sim_visa.h"

#include <algorithm>
#include <cstring>

namespace zs::sim {

using generators::ViSession;
using generators::ViStatus;

namespace {
constexpr ViStatus kOk = 0;
constexpr ViStatus kInvalidObject = static_cast<ViStatus>(0xBFFF000E);
constexpr ViStatus kResourceNotFound = static_cast<ViStatus>(0xBFFF0011);
constexpr ViStatus kTimeout = static_cast<ViStatus>(0xBFFF0015);
constexpr ViStatus kConnectionLost = static_cast<ViStatus>(0xBFFF00A6);
constexpr ViStatus kSystemError = static_cast<ViStatus>(0xBFFF0000);

// "USB[0-9]*::?*INSTR": USB, a board number, and INSTR at the end.
bool matchesUsbInstr(const std::string& r) {
    if (r.rfind("USB", 0) != 0 || r.size() < 3 + 2 + 5) return false;
    size_t i = 3;
    while (i < r.size() && r[i] >= '0' && r[i] <= '9') ++i;
    if (r.compare(i, 2, "::") != 0) return false;
    const size_t rest = i + 2;
    return r.size() > rest + 5 && r.compare(r.size() - 5, 5, "INSTR") == 0;
}

void copyDescription(char* out, const std::string& text) {
    if (!out) return;
    const size_t n = std::min<size_t>(text.size(), generators::kVisaDescriptionLength - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}
} // namespace

struct SimVisaCalls {
    using Lock = std::lock_guard<std::recursive_mutex>;
    static SimVisa& sim() { return SimVisa::instance(); }

    static SimVisa::Session* session(ViSession s, SimVisa::SessionKind kind) {
        auto it = sim().sessions_.find(s);
        return it != sim().sessions_.end() && it->second.kind == kind ? &it->second : nullptr;
    }
    static ViSession add(SimVisa::Session s) {
        const ViSession id = sim().nextSession_++;
        sim().sessions_[id] = std::move(s);
        return id;
    }

    static ViStatus ZS_VISA_API openDefaultRM(ViSession* manager) {
        Lock lock(sim().mutex_);
        if (!manager) return kSystemError;
        if (sim().managerFails_) return kSystemError;
        *manager = add({SimVisa::SessionKind::Manager, nullptr, {}, 0});
        return kOk;
    }

    static ViStatus ZS_VISA_API open(ViSession manager, const char* resource, uint32_t, uint32_t,
                                     ViSession* instrument) {
        Lock lock(sim().mutex_);
        if (!session(manager, SimVisa::SessionKind::Manager)) return kInvalidObject;
        SimVisaInstrument* found = resource ? sim().find(resource) : nullptr;
        if (!found || !instrument || found->gone) return kResourceNotFound;
        *instrument = add({SimVisa::SessionKind::Instrument, found, {}, 0});
        return kOk;
    }

    static ViStatus ZS_VISA_API close(ViSession object) {
        Lock lock(sim().mutex_);
        return sim().sessions_.erase(object) ? kOk : kInvalidObject;
    }

    static ViStatus ZS_VISA_API read(ViSession s, uint8_t* buffer, uint32_t count,
                                     uint32_t* returned) {
        Lock lock(sim().mutex_);
        if (returned) *returned = 0;
        auto* session = SimVisaCalls::session(s, SimVisa::SessionKind::Instrument);
        if (!session) return kInvalidObject;
        if (session->instrument->gone) return kConnectionLost;
        std::string& reply = session->instrument->reply;
        if (reply.empty()) return kTimeout;
        const size_t n = std::min<size_t>(count, reply.size());
        std::memcpy(buffer, reply.data(), n);
        reply.erase(0, n);
        if (returned) *returned = static_cast<uint32_t>(n);
        return kOk;
    }

    static ViStatus ZS_VISA_API write(ViSession s, const uint8_t* buffer, uint32_t count,
                                      uint32_t* returned) {
        Lock lock(sim().mutex_);
        if (returned) *returned = 0;
        auto* session = SimVisaCalls::session(s, SimVisa::SessionKind::Instrument);
        if (!session) return kInvalidObject;
        SimVisaInstrument& in = *session->instrument;
        if (in.gone) return kConnectionLost;
        const std::string text(reinterpret_cast<const char*>(buffer), count);
        in.log.push_back(text);
        if (text == "*IDN?" && !in.silent)
            in.reply = in.garbage.empty() ? in.identity + "\n" : in.garbage;
        if (returned) *returned = count;
        return kOk;
    }

    static ViStatus ZS_VISA_API clear(ViSession s) {
        Lock lock(sim().mutex_);
        auto* session = SimVisaCalls::session(s, SimVisa::SessionKind::Instrument);
        if (!session) return kInvalidObject;
        session->instrument->reply.clear();
        return kOk;
    }

    static ViStatus ZS_VISA_API findRsrc(ViSession manager, const char* expression,
                                         ViSession* findList, uint32_t* count, char* description) {
        Lock lock(sim().mutex_);
        if (!session(manager, SimVisa::SessionKind::Manager)) return kInvalidObject;
        if (!expression || std::strcmp(expression, "USB[0-9]*::?*INSTR") != 0)
            return kResourceNotFound; // the only expression this simulator understands
        SimVisa::Session list{SimVisa::SessionKind::FindList, nullptr, {}, 0};
        for (auto& in : sim().instruments_)
            if (matchesUsbInstr(in->resource)) list.found.push_back(in->resource);
        if (list.found.empty()) return kResourceNotFound;
        if (count) *count = static_cast<uint32_t>(list.found.size());
        copyDescription(description, list.found[0]);
        list.next = 1;
        const ViSession id = add(std::move(list));
        if (findList) *findList = id;
        return kOk;
    }

    static ViStatus ZS_VISA_API findNext(ViSession findList, char* description) {
        Lock lock(sim().mutex_);
        auto* list = session(findList, SimVisa::SessionKind::FindList);
        if (!list) return kInvalidObject;
        if (list->next >= list->found.size()) return kResourceNotFound;
        copyDescription(description, list->found[list->next++]);
        return kOk;
    }
};

SimVisa& SimVisa::instance() {
    // Never destroyed: at process exit the library may unload after this module and still
    // close what it holds, as it would with the vendor's driver.
    static SimVisa& sim = *new SimVisa;
    return sim;
}

void SimVisa::reset() {
    std::lock_guard lock(mutex_);
    sessions_.clear();
    instruments_.clear();
    managerFails_ = false;
}

SimVisaInstrument& SimVisa::addInstrument(const std::string& resource,
                                          const std::string& identity) {
    std::lock_guard lock(mutex_);
    instruments_.push_back(std::make_unique<SimVisaInstrument>());
    instruments_.back()->resource = resource;
    instruments_.back()->identity = identity;
    return *instruments_.back();
}

SimVisaInstrument* SimVisa::find(const std::string& resource) {
    std::lock_guard lock(mutex_);
    for (auto& in : instruments_)
        if (in->resource == resource) return in.get();
    return nullptr;
}

uint32_t SimVisa::openSessions() const {
    std::lock_guard lock(mutex_);
    return static_cast<uint32_t>(sessions_.size());
}

void SimVisa::setManagerFails(bool fails) {
    std::lock_guard lock(mutex_);
    managerFails_ = fails;
}

std::vector<std::string> SimVisa::log(const std::string& resource) const {
    std::lock_guard lock(mutex_);
    for (auto& in : instruments_)
        if (in->resource == resource) return in->log;
    return {};
}

std::string SimVisa::resourceOf(ViSession session) const {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(session);
    return it != sessions_.end() && it->second.instrument ? it->second.instrument->resource
                                                          : std::string();
}

const generators::VisaApi& SimVisa::table() {
    using C = SimVisaCalls;
    static const generators::VisaApi api{C::openDefaultRM, C::open,  C::close,    C::read,
                                         C::write,         C::clear, C::findRsrc, C::findNext};
    return api;
}

} // namespace zs::sim
