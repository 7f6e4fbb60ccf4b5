// Everything the engine asks of a person or a window. The desktop program answers with dialogs,
// the headless one with flags and stderr, tests with a scripted fake.
#pragma once

#include <string>

#include "persist/Settings.h"
#include "storage/MessageHost.h"

namespace velbrook {

class UiHost : public MessageHost {
public:
    ~UiHost() override = default;
    // "Save this file as", proposing `proposedName` in `startFolder`. False when cancelled.
    virtual bool ChooseSaveFile(const std::string& startFolder, const std::string& proposedName,
                                std::string& chosenPath) = 0;
    // "Choose a folder", starting at `startFolder`. False when cancelled.
    virtual bool ChooseFolder(const std::string& startFolder, std::string& chosenFolder) = 0;
    // The options dialog, filled from `values`; false when cancelled, else `values` holds the
    // edited values.
    virtual bool EditOptions(SettingsValues& values) = 0;
    // Redraw every view soon; never waited for.
    virtual void PostUpdateAllViews() = 0;
};

}  // namespace velbrook
