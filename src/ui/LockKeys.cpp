#include "ui/LockKeys.h"

#include <QGuiApplication>

#ifdef VELBROOK_HAVE_X11
// After Qt's headers: X11's macros (None, Bool, Status, ...) would break them.
#include <X11/XKBlib.h>
#endif

namespace velbrook {

unsigned LockKeysOn() {
    unsigned on = 0;
#ifdef VELBROOK_HAVE_X11
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->display()) {
        return 0;
    }
    Display* display = x11->display();
    // By name, not by position: keymaps number their indicators differently.
    const std::pair<const char*, LockKey> keys[] = {
        {"Caps Lock", kCapsLock}, {"Num Lock", kNumLock}, {"Scroll Lock", kScrollLock}};
    for (const auto& [name, key] : keys) {
        int state = 0;
        const Atom atom = XInternAtom(display, name, True);
        if (atom != 0 && XkbGetNamedIndicator(display, atom, nullptr, &state, nullptr, nullptr) &&
            state) {
            on |= key;
        }
    }
#endif
    return on;
}

}  // namespace velbrook
