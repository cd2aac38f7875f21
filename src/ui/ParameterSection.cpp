#include "ui/ParameterSection.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSlider>

#include "ui/MixSlider.h"

namespace vesh {

ParameterSection::ParameterSection(Brain& brain, QWidget* parent) : SectionFrame(QStringLiteral("Parameters"), parent) {
    QHBoxLayout* row =
        addRow(QStringLiteral("dial.max"),
               QStringLiteral("Control the balance between the original input and the processed result."));
    QWidget* rowWidget = row->parentWidget();
    auto* title = new QLabel(QStringLiteral("Mix"), rowWidget);
    mix_ = new MixSlider(brain, QStringLiteral("mix"), rowWidget);
    title->setBuddy(mix_->slider());
    row->addWidget(title, 0, Qt::AlignVCenter);
    row->addWidget(mix_, 1, Qt::AlignVCenter);
}

QList<QWidget*> ParameterSection::controls() const { return {mix_->slider()}; }

}  // namespace vesh
