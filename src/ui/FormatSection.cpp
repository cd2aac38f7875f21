#include "ui/FormatSection.h"

#include <QHBoxLayout>
#include <QLabel>

#include "app/Brain.h"
#include "ui/OutputFormatSelector.h"
#include "ui/ToggleSwitch.h"

namespace vesh {

FormatSection::FormatSection(Brain& brain, QWidget* parent)
    : SectionFrame(QStringLiteral("Format"), parent), brain_(brain) {
    card()->setToolTip(
        QStringLiteral("Choose a file format for the output. Vesh processes audio in 48-kHz, 32-bit "
                       "mono, and converts the result to the chosen format."));

    QHBoxLayout* switchRow = addRow(QStringLiteral("waveform"), QString());
    QWidget* row = switchRow->parentWidget();
    auto* title = new QLabel(QStringLiteral("Same as original file"), row);
    sameAsOriginal_ = new ToggleSwitch(row);
    sameAsOriginal_->setObjectName(QStringLiteral("sameAsOriginalFile"));
    sameAsOriginal_->setAccessibleName(title->text());
    title->setBuddy(sameAsOriginal_);
    switchRow->addWidget(title, 1, Qt::AlignVCenter);
    switchRow->addWidget(sameAsOriginal_, 0, Qt::AlignVCenter);

    QHBoxLayout* selectorRow = addRow(QString(), QString());
    selector_ = new OutputFormatSelector(brain_, selectorRow->parentWidget());
    selectorRow->addWidget(selector_);

    connect(sameAsOriginal_, &QAbstractButton::toggled, this,
            [this](bool on) { brain_.setOutputFormatMatchesInput(on); });
    connect(&brain_, &Brain::outputFormatMatchesInputChanged, this,
            [this] { sameAsOriginal_->setChecked(brain_.outputFormatMatchesInput()); });
    sameAsOriginal_->setChecked(brain_.outputFormatMatchesInput());
}

QList<QWidget*> FormatSection::controls() const { return QList<QWidget*>{sameAsOriginal_} + selector_->pickers(); }

}  // namespace vesh
