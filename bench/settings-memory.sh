#!/usr/bin/env bash
# Memory of the settings window over 200 opens and closes; see SettingsWindowMemory.cpp.
set -euo pipefail
"${FW_BUILD:?}/bin/fw-bench-settings-memory"
