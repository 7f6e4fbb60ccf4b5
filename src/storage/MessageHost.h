// How the lower layers put a fixed message in front of the person using the program.
#pragma once

#include <string>

namespace velbrook {

enum class MessageIcon { Information, Warning, Error, Question };

class MessageHost {
public:
    virtual ~MessageHost() = default;
    // Shows the text; nothing waits for the person to read it, so any handler may call this.
    virtual void ShowMessage(const std::string& text, MessageIcon icon) = 0;
};

}  // namespace velbrook
