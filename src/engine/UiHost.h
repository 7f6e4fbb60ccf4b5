// Everything the engine asks of a person or a window. The desktop program answers with dialogs,
// the headless one with flags and stderr, tests with a scripted fake.
//
// Nothing waits for a person. A question returns at once and its answer arrives through the
// callback: later, from the front end's own loop (the desktop program always answers so), or
// before the asking call returns (the headless program answers from its flags at once). Either
// way the answer runs exactly once, unless the question is withdrawn first. So an engine
// handler asks as the last thing it does, touching nothing of itself afterwards, and a callback
// first checks that whatever asked still exists.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "persist/Settings.h"
#include "storage/MessageHost.h"

namespace velbrook {

class UiHost : public MessageHost {
public:
    using YesNoAnswer = std::function<void(bool yes)>;
    // The chosen path, or nothing when the person cancelled.
    using PathAnswer = std::function<void(std::optional<std::string> path)>;
    // The edited values, or nothing when the person cancelled.
    using OptionsAnswer = std::function<void(std::optional<SettingsValues> values)>;

    ~UiHost() override = default;

    // `asker` names who asks, so that its questions can be withdrawn together (Withdraw).
    // A Yes/No question.
    virtual void AskYesNo(const void* asker, const std::string& text, YesNoAnswer answered) = 0;
    // "Save this file as", proposing `proposedName` in `startFolder`.
    virtual void ChooseSaveFile(const void* asker, const std::string& startFolder,
                                const std::string& proposedName, PathAnswer chosen) = 0;
    // "Choose a folder", starting at `startFolder`.
    virtual void ChooseFolder(const void* asker, const std::string& startFolder,
                              PathAnswer chosen) = 0;
    // The options dialog, filled from `values`.
    virtual void EditOptions(const void* asker, const SettingsValues& values,
                             OptionsAnswer edited) = 0;
    // The questions of `asker` that are still open are dropped: their answers never come, and
    // a dialog that shows one goes away. Called by an asker that ends (a removed torrent, the
    // document at exit).
    virtual void Withdraw(const void* asker) = 0;

    // Redraw every view soon; never waited for.
    virtual void PostUpdateAllViews() = 0;
};

}  // namespace velbrook
