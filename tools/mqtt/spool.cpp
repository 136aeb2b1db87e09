#include "spool.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace zs::mqtt {
namespace {

void put32(char* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>(v >> (8 * i));
}

uint32_t get32(const char* in) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<unsigned char>(in[i])) << (8 * i);
    return v;
}

} // namespace

Spool::Spool(std::string path, uint64_t diskBytes, uint64_t memoryBytes)
    : path_(std::move(path)), diskBytes_(diskBytes), memoryBytes_(memoryBytes) {}

Spool::~Spool() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

void Spool::push(Message m) {
    const uint64_t size = cost(m);
    if (size > memoryBytes_ && size > diskBytes_) {
        ++dropped_;
        return;
    }
    for (;;) {
        if (diskUsed() == 0 && memoryUsed_ + size <= memoryBytes_) {
            memoryUsed_ += size;
            memory_.push_back(std::move(m));
            return;
        }
        if (size <= diskBytes_ - diskUsed()) break;
        dropOldest();
    }
    if (fd_ < 0) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd_ < 0)
            throw std::runtime_error("cannot write the spool " + path_ + ": " +
                                     std::strerror(errno));
    }
    char header[kHeader];
    put32(header, static_cast<uint32_t>(m.topic.size()));
    put32(header + 4, static_cast<uint32_t>(m.payload.size()));
    writeRing(tail_, header, kHeader);
    writeRing(tail_ + kHeader, m.topic.data(), m.topic.size());
    writeRing(tail_ + kHeader + m.topic.size(), m.payload.data(), m.payload.size());
    tail_ += size;
    ++diskCount_;
}

std::optional<Message> Spool::pop() {
    if (memory_.empty()) refill();
    if (memory_.empty()) {
        // Only a message larger than the memory part is left at the file's head.
        if (diskUsed() == 0) return std::nullopt;
        Message m = readDiskHead();
        head_ += cost(m);
        --diskCount_;
        return m;
    }
    Message m = std::move(memory_.front());
    memory_.pop_front();
    memoryUsed_ -= cost(m);
    refill();
    return m;
}

void Spool::pushFront(std::vector<Message> messages) {
    for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
        memoryUsed_ += cost(*it);
        memory_.push_front(std::move(*it));
    }
}

void Spool::dropOldest() {
    if (pop()) ++dropped_;
}

void Spool::refill() {
    while (diskUsed() > 0 && diskHeadFits()) {
        Message m = readDiskHead();
        const uint64_t size = cost(m);
        head_ += size;
        --diskCount_;
        memoryUsed_ += size;
        memory_.push_back(std::move(m));
    }
    if (diskUsed() == 0) head_ = tail_ = 0; // the next outage writes from the file's start
}

bool Spool::diskHeadFits() const {
    char header[kHeader];
    readRing(head_, header, kHeader);
    return memoryUsed_ + kHeader + get32(header) + get32(header + 4) <= memoryBytes_;
}

Message Spool::readDiskHead() const {
    char header[kHeader];
    readRing(head_, header, kHeader);
    Message m;
    m.topic.resize(get32(header));
    m.payload.resize(get32(header + 4));
    readRing(head_ + kHeader, m.topic.data(), m.topic.size());
    readRing(head_ + kHeader + m.topic.size(), m.payload.data(), m.payload.size());
    return m;
}

void Spool::writeRing(uint64_t at, const char* data, uint64_t size) {
    while (size > 0) {
        const uint64_t offset = at % diskBytes_;
        const uint64_t part = std::min(size, diskBytes_ - offset);
        const ssize_t n = ::pwrite(fd_, data, part, static_cast<off_t>(offset));
        if (n <= 0)
            throw std::runtime_error("cannot write the spool " + path_ + ": " +
                                     std::strerror(errno));
        at += static_cast<uint64_t>(n);
        data += n;
        size -= static_cast<uint64_t>(n);
    }
}

void Spool::readRing(uint64_t at, char* data, uint64_t size) const {
    while (size > 0) {
        const uint64_t offset = at % diskBytes_;
        const uint64_t part = std::min(size, diskBytes_ - offset);
        const ssize_t n = ::pread(fd_, data, part, static_cast<off_t>(offset));
        if (n <= 0)
            throw std::runtime_error("cannot read the spool " + path_ + ": " +
                                     std::strerror(errno));
        at += static_cast<uint64_t>(n);
        data += n;
        size -= static_cast<uint64_t>(n);
    }
}

} // namespace zs::mqtt
