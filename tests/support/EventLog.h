#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace QuorvexTest {

// Order of lifecycle calls across the fake sensor and device. Per-frame
// calls are counted, never logged: logging would allocate on the capture
// path.
class EventLog {
public:
    void add(const std::string& event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(event);
    }
    std::vector<std::string> take()
    {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        out.swap(events);
        return out;
    }

private:
    std::mutex mutex;
    std::vector<std::string> events;
};

} // namespace QuorvexTest
