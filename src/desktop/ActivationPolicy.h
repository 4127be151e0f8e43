#pragma once

// The application's activation policy. Accessory means no taskbar presence:
// every window is a tool window and closing the last window does not quit.
enum class ActivationPolicy : int {
    Regular = 0,
    Accessory = 1,
    Prohibited = 2,
};

ActivationPolicy activationPolicy();
// Returns whether the policy was applied.
bool setActivationPolicy(ActivationPolicy policy);
