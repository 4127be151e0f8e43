#pragma once

#include <QString>

#include <chrono>

// A limit in the words the journal and the messages use: "1 minute",
// "2 minutes", "30 seconds", "2.5 seconds".
QString describeDuration(std::chrono::milliseconds limit);
