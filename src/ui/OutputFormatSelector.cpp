#include "ui/OutputFormatSelector.h"

#include <QComboBox>
#include <QHBoxLayout>

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

void selectData(QComboBox& picker, const QVariant& data) {
    const int index = picker.findData(data);
    if (index >= 0 && index != picker.currentIndex()) {
        picker.setCurrentIndex(index);
    }
}

}  // namespace

OutputFormatSelector::OutputFormatSelector(Brain& brain, QWidget* parent)
    : QWidget(parent), brain_(brain), sampleRate_(makePicker(QStringLiteral("Sample rate"), this)),
      bitDepth_(makePicker(QStringLiteral("Bit depth"), this)),
      encodingFormat_(makePicker(QStringLiteral("Encoding format"), this)) {
    for (const SampleRate rate : {SampleRate::fortyFourPointOne, SampleRate::fortyEight, SampleRate::ninetySix,
                                  SampleRate::oneHundredNinetyTwo}) {
        sampleRate_->addItem(QString::fromStdString(label(rate)), QVariant::fromValue(rawValue(rate)));
    }
    for (const BitDepth depth : {BitDepth::sixteen, BitDepth::twentyFour, BitDepth::thirtyTwo}) {
        bitDepth_->addItem(QString::fromStdString(label(depth)), QVariant::fromValue(rawValue(depth)));
    }
    for (const AudioFileFormat format : {AudioFileFormat::wav, AudioFileFormat::aiff, AudioFileFormat::flac}) {
        const QString raw = QString::fromStdString(rawValue(format));
        encodingFormat_->addItem(raw, raw);
    }
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
    selectData(*sampleRate_, QVariant::fromValue(rawValue(format.sampleRate)));
    selectData(*bitDepth_, QVariant::fromValue(rawValue(format.bitDepth)));
    selectData(*encodingFormat_, QString::fromStdString(rawValue(format.fileFormat)));
    const bool editable = !brain_.outputFormatMatchesInput();
    for (QComboBox* picker : {sampleRate_, bitDepth_, encodingFormat_}) {
        picker->setEnabled(editable);
    }
}

void OutputFormatSelector::storeChoices() {
    AudioFormat format = brain_.outputFormat();
    if (const auto rate = sampleRateFromRawValue(sampleRate_->currentData().toLongLong())) {
        format.sampleRate = *rate;
    }
    if (const auto depth = bitDepthFromRawValue(bitDepth_->currentData().toLongLong())) {
        format.bitDepth = *depth;
    }
    if (const auto fileFormat = audioFileFormatFromRawValue(encodingFormat_->currentData().toString().toStdString())) {
        format.fileFormat = *fileFormat;
    }
    brain_.setOutputFormat(format);
}

}  // namespace vesh
