#include "ui/ParameterSection.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QSlider>

#include <cmath>

#include "app/Brain.h"

namespace vesh {

ParameterSection::ParameterSection(Brain& brain, QWidget* parent)
    : SectionFrame(QStringLiteral("Parameters"), parent), brain_(brain) {
    QHBoxLayout* row =
        addRow(QStringLiteral("dial.max"),
               QStringLiteral("Control the balance between the original input and the processed result."));
    QWidget* rowWidget = row->parentWidget();
    auto* title = new QLabel(QStringLiteral("Mix"), rowWidget);
    slider_ = new QSlider(Qt::Horizontal, rowWidget);
    slider_->setObjectName(QStringLiteral("mix"));
    slider_->setAccessibleName(QStringLiteral("Mix"));
    slider_->setRange(0, sliderSteps);
    slider_->setPageStep(sliderSteps / 10);
    slider_->setSingleStep(sliderSteps / 100);
    title->setBuddy(slider_);
    valueLabel_ = new QLabel(rowWidget);
    valueLabel_->setObjectName(QStringLiteral("mixValue"));
    valueLabel_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    // As wide as the widest value, so that the slider keeps its length while it moves.
    valueLabel_->setFixedWidth(QFontMetrics(valueLabel_->font()).horizontalAdvance(percentText(1.0, QLocale())) + 2);
    row->addWidget(title, 0, Qt::AlignVCenter);
    row->addWidget(slider_, 1, Qt::AlignVCenter);
    row->addWidget(valueLabel_, 0, Qt::AlignVCenter);

    connect(slider_, &QSlider::valueChanged, this,
            [this](int value) { brain_.setWetDryMix(static_cast<double>(value) / sliderSteps); });
    connect(&brain_, &Brain::wetDryMixChanged, this, &ParameterSection::updateFromBrain);
    updateFromBrain();
}

QList<QWidget*> ParameterSection::controls() const { return {slider_}; }

QString ParameterSection::percentText(double value, const QLocale& locale) {
    return locale.toString(value * 100.0, 'f', 0) + locale.percent();
}

void ParameterSection::updateFromBrain() {
    const double mix = brain_.wetDryMix();
    const int position = static_cast<int>(std::lround(mix * sliderSteps));
    if (slider_->value() != position) {
        const QSignalBlocker blocker(slider_);
        slider_->setValue(position);
    }
    valueLabel_->setText(percentText(mix, QLocale()));
}

}  // namespace vesh
