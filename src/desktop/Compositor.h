#pragma once

// Whether a compositing manager runs on the X screen, that is, whether
// translucent windows are blended (otherwise their clear pixels show black).
namespace Compositor {

// Asks the X server and waits for the answer.
bool isRunning();

// The same question without a wait on the way to the screen: answers with
// the reply to the question sent at the previous call (long arrived by now)
// and sends the next one. The first call asks and waits. A compositor that
// starts or stops between two calls is noticed one call late.
bool isRunningPrefetched();

} // namespace Compositor
