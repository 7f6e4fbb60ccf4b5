// Qt's own texts (the buttons of message boxes, the file and folder dialogs) in the language of
// the program's labels.
#pragma once

#include <QTranslator>

#include <memory>

namespace velbrook {

// Loads Qt's Simplified Chinese texts and installs them in the running application until the
// translator returned is destroyed. Null, leaving Qt's English, when they are not installed.
std::unique_ptr<QTranslator> InstallQtTranslations();

}  // namespace velbrook
