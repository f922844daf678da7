#include "app/KindleOptionsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace bq {

namespace {

// One line under a choice that says what it does.
QLabel* Explanation(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setBold(false);
    label->setFont(font);
    return label;
}

}  // namespace

KindleOptionsDialog::KindleOptionsDialog(const KindleChoices& choices, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("KindleOptions"));
    setWindowTitle(QStringLiteral("Options"));
    setAccessibleName(QStringLiteral("Options for the books made"));

    FormatBox = new QComboBox(this);
    FormatBox->setObjectName(QStringLiteral("FormatBox"));
    FormatBox->setAccessibleName(QStringLiteral("Format"));
    FormatBox->addItem(QStringLiteral("MOBI 6"), KindleFormatText(KindleFormat::Mobi6));
    FormatBox->addItem(QStringLiteral("MOBI 6 and KF8 in one file"),
                       KindleFormatText(KindleFormat::Joint));
    FormatBox->setCurrentIndex(choices.format == KindleFormat::Joint ? 1 : 0);

    DeviceBox = new QComboBox(this);
    DeviceBox->setObjectName(QStringLiteral("DeviceBox"));
    DeviceBox->setAccessibleName(QStringLiteral("Device"));
    DeviceBox->addItem(QStringLiteral("Any device (calibre's default profile)"), QString());
    for (const KindleProfile& profile : KindleProfiles()) {
        DeviceBox->addItem(QString::fromUtf8(profile.title), QString::fromLatin1(profile.name));
    }
    DeviceBox->setCurrentIndex(std::max(0, DeviceBox->findData(choices.deviceProfile)));

    KeepFoldersBox = new QCheckBox(QStringLiteral("Keep the folders of a folder added"), this);
    KeepFoldersBox->setObjectName(QStringLiteral("KeepFoldersBox"));
    KeepFoldersBox->setAccessibleName(QStringLiteral("Keep the folders of a folder added"));
    KeepFoldersBox->setChecked(choices.keepFolders);

    SkipUpToDateBox = new QCheckBox(QStringLiteral("Skip books already converted"), this);
    SkipUpToDateBox->setObjectName(QStringLiteral("SkipUpToDateBox"));
    SkipUpToDateBox->setAccessibleName(QStringLiteral("Skip books already converted"));
    SkipUpToDateBox->setChecked(choices.skipUpToDate);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("Buttons"));
    buttons->button(QDialogButtonBox::Ok)->setAccessibleName(QStringLiteral("OK"));
    buttons->button(QDialogButtonBox::Cancel)->setAccessibleName(QStringLiteral("Cancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* form = new QFormLayout;
    auto* formatLabel = new QLabel(QStringLiteral("&Format:"), this);
    formatLabel->setBuddy(FormatBox);
    form->addRow(formatLabel, FormatBox);
    form->addRow(QString(), Explanation(QStringLiteral("MOBI 6 and KF8 in one file shows its "
                                                       "cover and newer layout on every Kindle."),
                                        this));
    auto* deviceLabel = new QLabel(QStringLiteral("&Device:"), this);
    deviceLabel->setBuddy(DeviceBox);
    form->addRow(deviceLabel, DeviceBox);
    form->addRow(QString(),
                 Explanation(QStringLiteral("Lays the book out for this Kindle's screen."), this));
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(KeepFoldersBox);
    layout->addWidget(Explanation(QStringLiteral("With \"Save results to this folder:\", a book "
                                                 "added from a folder goes to its sub-folder "
                                                 "there."),
                                  this));
    layout->addWidget(SkipUpToDateBox);
    layout->addWidget(Explanation(QStringLiteral("A book whose MOBI file is newer than the book "
                                                 "is left alone."),
                                  this));
    layout->addWidget(buttons);

    setTabOrder(FormatBox, DeviceBox);
    setTabOrder(DeviceBox, KeepFoldersBox);
    setTabOrder(KeepFoldersBox, SkipUpToDateBox);
    setTabOrder(SkipUpToDateBox, buttons->button(QDialogButtonBox::Ok));
    setTabOrder(buttons->button(QDialogButtonBox::Ok), buttons->button(QDialogButtonBox::Cancel));
    FormatBox->setFocus();
}

KindleChoices KindleOptionsDialog::Choices() const {
    KindleChoices choices;
    choices.format =
        KindleFormatFromText(FormatBox->currentData().toString()).value_or(KindleFormat::Mobi6);
    choices.deviceProfile = DeviceBox->currentData().toString();
    choices.keepFolders = KeepFoldersBox->isChecked();
    choices.skipUpToDate = SkipUpToDateBox->isChecked();
    return choices;
}

}  // namespace bq
