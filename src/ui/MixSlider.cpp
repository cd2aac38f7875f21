#include "ui/MixSlider.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>

#include <cmath>

#include "app/Brain.h"

namespace vesh {

MixSlider::MixSlider(Brain& brain, const QString& name, QWidget* parent)
    : QWidget(parent), brain_(brain), slider_(new QSlider(Qt::Horizontal, this)), valueLabel_(new QLabel(this)) {
    slider_->setObjectName(name);
    slider_->setAccessibleName(QStringLiteral("Mix"));
    slider_->setRange(0, sliderSteps);
    slider_->setPageStep(sliderSteps / 10);
    slider_->setSingleStep(sliderSteps / 100);
    valueLabel_->setObjectName(name + QStringLiteral("Value"));
    valueLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // As wide as the widest value, so that the slider keeps its length while it moves.
    valueLabel_->setFixedWidth(QFontMetrics(valueLabel_->font()).horizontalAdvance(percentText(1.0, QLocale())) + 2);
    setFocusProxy(slider_);

    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    layout->addWidget(slider_, 1, Qt::AlignVCenter);
    layout->addWidget(valueLabel_, 0, Qt::AlignVCenter);

    connect(slider_, &QSlider::valueChanged, this,
            [this](int value) { brain_.setWetDryMix(static_cast<double>(value) / sliderSteps); });
    connect(&brain_, &Brain::wetDryMixChanged, this, &MixSlider::updateFromBrain);
    updateFromBrain();
}

QString MixSlider::percentText(double value, const QLocale& locale) {
    return locale.toString(value * 100.0, 'f', 0) + locale.percent();
}

void MixSlider::updateFromBrain() {
    const double mix = brain_.wetDryMix();
    const int position = static_cast<int>(std::lround(mix * sliderSteps));
    if (slider_->value() != position) {
        const QSignalBlocker blocker(slider_);
        slider_->setValue(position);
    }
    valueLabel_->setText(percentText(mix, QLocale()));
}

}  // namespace vesh
