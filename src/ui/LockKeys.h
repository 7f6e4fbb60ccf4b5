// Which of the lock keys are on, for the status bar's indicator panes.
#pragma once

namespace velbrook {

enum LockKey : unsigned { kCapsLock = 1, kNumLock = 2, kScrollLock = 4 };

// The lock keys that are on, as a mask of LockKey; 0 where the display does not tell (no X11).
unsigned LockKeysOn();

}  // namespace velbrook
