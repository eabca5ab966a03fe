#include "battery.h"

#include <cstring>

#include "files.h"

namespace {

// While the emulation thread runs, changed battery RAM reaches its file within this.
constexpr int64_t BATTERY_INTERVAL_NS = 2 * NS_PER_S;

}  // namespace

BatteryWriter::BatteryWriter(const uint8_t* saved, std::string path) : path(std::move(path)) {
    std::memcpy(last, saved, sizeof last);
    next_check = now_ns() + BATTERY_INTERVAL_NS;
    thread = std::thread([this] { loop(); });
}

void BatteryWriter::poll(const uint8_t* ram) {
    const int64_t now = now_ns();
    if (now < next_check) return;
    next_check = now + BATTERY_INTERVAL_NS;
    if (std::memcmp(ram, last, sizeof last) == 0) return;
    std::memcpy(last, ram, sizeof last);
    {
        std::lock_guard<std::mutex> lock(mutex);  // the writer holds it only to copy
        std::memcpy(pending, last, sizeof pending);
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
    uint8_t copy[BATTERY_RAM_LEN];
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        cv.wait(lock, [this] { return dirty || quit; });
        if (!dirty) return;
        std::memcpy(copy, pending, sizeof copy);
        dirty = false;
        lock.unlock();
        try {
            write_file_atomically(path, copy, sizeof copy);
        } catch (...) {
            // The next copy tries again; stop and the machine's end write it and report.
        }
        lock.lock();
    }
}
