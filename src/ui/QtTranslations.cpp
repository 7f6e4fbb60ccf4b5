#include "ui/QtTranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>

namespace velbrook {

std::unique_ptr<QTranslator> InstallQtTranslations() {
    auto translator = std::make_unique<QTranslator>();
    // qtbase holds what Widgets' standard dialogs and buttons say.
    if (!translator->load("qtbase_zh_CN", QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator.get())) {
        return nullptr;
    }
    return translator;
}

}  // namespace velbrook
