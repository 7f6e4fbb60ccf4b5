// Everything the engine asks of a person or a window. The desktop program answers with dialogs,
// the headless one with flags and stderr, tests with a scripted fake.
#pragma once

#include "storage/MessageHost.h"

namespace velbrook {

class UiHost : public MessageHost {
public:
    ~UiHost() override = default;
};

}  // namespace velbrook
