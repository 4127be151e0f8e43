#pragma once

#include "platform/DefaultsStore.h"

#include <QAtomicInt>

#include <thread>
#include <vector>

// Runs write(w, i) for i = 0..each-1 on each of `writers` threads at once,
// as several programs write one settings store; returns how many writes
// threw DefaultsStoreError.
template <typename Write>
int writeConcurrently(int writers, int each, Write write)
{
    std::vector<std::thread> threads;
    QAtomicInt failures;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < each; ++i) {
                try {
                    write(w, i);
                } catch (const DefaultsStoreError &) {
                    failures.ref();
                }
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    return failures.loadRelaxed();
}
