#!/usr/bin/env bash
# A card on every screen against one: on an Xorg server of its own with two
# monitors (the dummy driver), started by the benchmark itself.
set -euo pipefail
"$FW_BUILD/bin/fw-bench-screens"
