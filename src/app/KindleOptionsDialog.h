#pragma once

#include "convert/KindleChoices.h"

#include <QDialog>

class QCheckBox;
class QComboBox;

namespace bq {

// "Options…" of the "Save Option" frame: the Kindle choices (the kind of MOBI file, the device
// profile, keeping a library's folders, skipping books already converted), each with one line
// that says what it does. It shows the choices it is given and gives back what the person
// chose; the window saves them when the dialog is accepted.
class KindleOptionsDialog final : public QDialog {
    Q_OBJECT

  public:
    explicit KindleOptionsDialog(const KindleChoices& choices, QWidget* parent = nullptr);

    // The choices as the dialog's controls show them.
    KindleChoices Choices() const;

    QComboBox* FormatBox = nullptr;
    QComboBox* DeviceBox = nullptr;
    QCheckBox* KeepFoldersBox = nullptr;
    QCheckBox* SkipUpToDateBox = nullptr;
};

}  // namespace bq
