#pragma once

#include <chrono>
#include <thread>

namespace QuorvexTest {

// Polls `condition` until it holds. The limit only keeps a broken build from
// hanging; no test relies on how fast anything happens.
template <typename Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = std::chrono::milliseconds(20000))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace QuorvexTest
