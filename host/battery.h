// Battery RAM ($6000-$7FFF of a cartridge with a battery) reaching its file in
// the game folder while the emulation thread runs.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constexpr int64_t NS_PER_S = 1'000'000'000;

// Steady-clock time in ns.
inline int64_t now_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Writes a battery machine's RAM file on a thread of its own while the
// emulation thread runs, so that the emulation thread never waits for the
// disk: between two slices, at most every BATTERY_INTERVAL_NS, it hands over a
// copy of the RAM when that has changed since the last copy.
class BatteryWriter {
public:
    // saved: what the file holds now, size bytes (the board's battery RAM).
    BatteryWriter(const uint8_t* saved, std::size_t size, std::string path);
    ~BatteryWriter() { finish(); }
    BatteryWriter(const BatteryWriter&) = delete;
    BatteryWriter& operator=(const BatteryWriter&) = delete;

    // On the emulation thread between two slices, with the battery RAM as
    // the board shows it now; allocates nothing.
    void poll(const uint8_t* ram);
    // Ends the writer once a copy it holds is written.
    void finish();

private:
    void loop();

    std::string path;
    std::vector<uint8_t> last;  // the last copy handed over (emulation thread)
    int64_t next_check = 0;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<uint8_t> pending;
    bool dirty = false;
    bool quit = false;
};
