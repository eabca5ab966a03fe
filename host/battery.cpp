#include "battery.h"

#include <cstring>

#include "files.h"

namespace {

// While the emulation thread runs, changed battery RAM reaches its file within this.
constexpr int64_t BATTERY_INTERVAL_NS = 2 * NS_PER_S;

}  // namespace

BatteryWriter::BatteryWriter(const uint8_t* saved, std::size_t size, std::string path)
    : path(std::move(path)), last(saved, saved + size), pending(size) {
    next_check = now_ns() + BATTERY_INTERVAL_NS;
    thread = std::thread([this] { loop(); });
}

void BatteryWriter::poll(const uint8_t* ram) {
    const int64_t now = now_ns();
    if (now < next_check) return;
    next_check = now + BATTERY_INTERVAL_NS;
    if (std::memcmp(ram, last.data(), last.size()) == 0) return;
    std::memcpy(last.data(), ram, last.size());
    {
        std::lock_guard<std::mutex> lock(mutex);  // the writer holds it only to copy
        std::memcpy(pending.data(), last.data(), pending.size());
        dirty = true;
    }
    cv.notify_one();
}

void BatteryWriter::finish() {
    if (!thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        quit = true;
    }
    cv.notify_one();
    thread.join();
}

void BatteryWriter::loop() {
    std::vector<uint8_t> copy(pending.size());
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        cv.wait(lock, [this] { return dirty || quit; });
        if (!dirty) return;
        std::memcpy(copy.data(), pending.data(), copy.size());
        dirty = false;
        lock.unlock();
        try {
            write_file_atomically(path, copy.data(), copy.size());
        } catch (...) {
            // The next copy tries again; stop and the machine's end write it and report.
        }
        lock.lock();
    }
}
