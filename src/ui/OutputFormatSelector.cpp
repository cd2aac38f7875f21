#include "ui/OutputFormatSelector.h"

#include <QComboBox>
#include <QHBoxLayout>

#include <algorithm>

#include "app/Brain.h"

namespace vesh {

namespace {

QComboBox* makePicker(const QString& title, QWidget* parent) {
    auto* picker = new QComboBox(parent);
    picker->setObjectName(title);
    picker->setAccessibleName(title);
    picker->setToolTip(title);
    picker->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    picker->setMinimumContentsLength(4);
    return picker;
}

// Each picker lists the cases of its value in order, with their labels.
template <typename Value>
void addCases(QComboBox& picker, const std::vector<Value>& cases) {
    for (const Value value : cases) picker.addItem(QString::fromStdString(label(value)));
}

// Shows `value`, or no choice for a rate outside the listed ones.
template <typename Value>
void select(QComboBox& picker, const std::vector<Value>& cases, Value value) {
    const auto found = std::find(cases.begin(), cases.end(), value);
    const int index = found == cases.end() ? -1 : static_cast<int>(found - cases.begin());
    if (index != picker.currentIndex()) picker.setCurrentIndex(index);
}

// The chosen case, or `value` when the picker shows no choice.
template <typename Value>
Value chosen(const QComboBox& picker, const std::vector<Value>& cases, Value value) {
    const int index = picker.currentIndex();
    return index >= 0 && index < static_cast<int>(cases.size()) ? cases[static_cast<std::size_t>(index)] : value;
}

}  // namespace

OutputFormatSelector::OutputFormatSelector(Brain& brain, QWidget* parent)
    : QWidget(parent), brain_(brain), sampleRate_(makePicker(QStringLiteral("Sample rate"), this)),
      bitDepth_(makePicker(QStringLiteral("Bit depth"), this)),
      encodingFormat_(makePicker(QStringLiteral("Encoding format"), this)) {
    addCases(*sampleRate_, sampleRates_);
    addCases(*bitDepth_, bitDepths_);
    addCases(*encodingFormat_, fileFormats_);
    // Capitals at the full size of the neighbouring pickers' text: small
    // capitals would be drawn smaller than their digits and letters.
    QFont capitals = encodingFormat_->font();
    capitals.setCapitalization(QFont::AllUppercase);
    encodingFormat_->setFont(capitals);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(sampleRate_);
    layout->addWidget(bitDepth_);
    layout->addWidget(encodingFormat_);

    for (QComboBox* picker : {sampleRate_, bitDepth_, encodingFormat_}) {
        connect(picker, &QComboBox::activated, this, &OutputFormatSelector::storeChoices);
    }
    connect(&brain_, &Brain::outputFormatChanged, this, &OutputFormatSelector::updateFromBrain);
    connect(&brain_, &Brain::outputFormatMatchesInputChanged, this, &OutputFormatSelector::updateFromBrain);
    updateFromBrain();
}

QList<QWidget*> OutputFormatSelector::pickers() const { return {sampleRate_, bitDepth_, encodingFormat_}; }

void OutputFormatSelector::updateFromBrain() {
    const AudioFormat format = brain_.outputFormat();
    select(*sampleRate_, sampleRates_, format.sampleRate);
    select(*bitDepth_, bitDepths_, format.bitDepth);
    select(*encodingFormat_, fileFormats_, format.fileFormat);
    const bool editable = !brain_.outputFormatMatchesInput();
    for (QComboBox* picker : {sampleRate_, bitDepth_, encodingFormat_}) {
        picker->setEnabled(editable);
    }
}

void OutputFormatSelector::storeChoices() {
    const AudioFormat current = brain_.outputFormat();
    brain_.setOutputFormat({chosen(*bitDepth_, bitDepths_, current.bitDepth),
                            chosen(*sampleRate_, sampleRates_, current.sampleRate),
                            chosen(*encodingFormat_, fileFormats_, current.fileFormat)});
}

}  // namespace vesh
