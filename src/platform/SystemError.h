#pragma once

#include <QString>

#include <cstring>

// The system's description of an errno value, in the words strerror gives.
inline QString systemErrorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }
