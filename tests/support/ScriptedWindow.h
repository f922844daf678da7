#pragma once

#include "app/Form1.h"
#include "support/ScriptedDialogs.h"

#include <memory>

// The program's window, its boxes and dialogs answered by a script.
struct ScriptedWindow {
    ScriptedDialogs* boxes;
    bq::Form1 form;
    explicit ScriptedWindow(std::unique_ptr<ScriptedDialogs> dialogs)
        : boxes(dialogs.get()), form(std::move(dialogs)) {}
};
