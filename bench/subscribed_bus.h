// An event bus as the core starts it (the core's level 25, so writes are not
// timed), with subscribers that take every event through one Write entry:
// what the throughput benchmark and the instruction count route events to.
#pragma once

#include <cstdint>
#include <utility>

#include "bench_support.h"
#include "events/event_bus.h"
#include "log/log_levels.h"

struct SubscribedBus {
    SubscribedBus(int plugins, DvrWriteFn write)
    {
        logLevels.set(LogLevelTable::kCoreIndex, 25);
        for (int i = 0; i < plugins; ++i) {
            Subscriber plugin;
            plugin.pluginId = 0x00100000u * uint32_t(i + 1);
            plugin.Write = write;
            for (uint32_t &word : plugin.subscribe)
                word = 0xFFFFFFFFu;
            plugin.writable = true;
            plugin.fileName = "bench.so";
            bus.addSubscriber(std::move(plugin));
        }
    }
    SystemClock clock;
    LogLevelTable logLevels;
    EventBus bus{clock, logLevels, noEntry};
};
