#pragma once

#include "app/Form1.h"
#include "convert/ConversionRun.h"
#include "support/ScriptedDialogs.h"

#include <QByteArray>

#include <memory>

// The program's window, its boxes and dialogs answered by a script.
struct ScriptedWindow {
    ScriptedDialogs* boxes;
    bq::Form1 form;
    explicit ScriptedWindow(std::unique_ptr<ScriptedDialogs> dialogs)
        : boxes(dialogs.get()), form(std::move(dialogs)) {}
};

// The program's window, its boxes and dialogs answered by a script (dialogs points at it),
// converting one book at a time with the given runtime archive (a stand-in's, see
// StandinArchive.h).
inline std::unique_ptr<bq::Form1> StandinWindow(ScriptedDialogs*& dialogs,
                                                const QByteArray& archive) {
    auto scripted = std::make_unique<ScriptedDialogs>();
    dialogs = scripted.get();
    auto form = std::make_unique<bq::Form1>(std::move(scripted));
    bq::ConversionSetup setup;
    setup.archive = [archive] { return archive; };
    setup.converters = 1;
    form->SetRunSetup(setup);
    return form;
}
