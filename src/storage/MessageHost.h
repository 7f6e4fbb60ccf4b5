// How the lower layers put a fixed message in front of the person using the program.
#pragma once

#include <string>

namespace velbrook {

enum class MessageIcon { Information, Warning, Error, Question };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

class MessageHost {
public:
    virtual ~MessageHost() = default;
    // Shows the text and waits for the answer.
    virtual MessageAnswer ShowMessage(const std::string& text, MessageIcon icon,
                                      MessageButtons buttons) = 0;
};

}  // namespace velbrook
